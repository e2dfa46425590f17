// Drives a detector frame by frame and records what it reports: callbacks,
// log lines, and a reference voice detector fed the same audio.
#pragma once

#include <apr_pools.h>

#include <cstdint>
#include <string>
#include <vector>

#include "KoralTest/AprPool.h"
#include "KoralTest/LogCapture.h"
#include "apt_log.h"
#include "mpf_sdi_detector.h"

namespace KoralTest {

using KoralTest::LogCapture;
using KoralTest::LogLine;

struct SpeechCall {
    size_t frame;  // frames fed before the call returned + 1
    std::vector<uint8_t> data;
    const void *pointer;
    mpf_sdi_state_e state;
    bool has_stats;
    mpf_sdi_stats_t stats;
};

struct DtmfCall {
    size_t frame;
    std::string digits;
    size_t count;
    int success;
    mpf_sdi_state_e state;
    mpf_sdi_stats_t stats;
};

struct Recorder {
    size_t frame = 0;  // number of the frame being processed, from 1
    std::vector<size_t> noinput;
    std::vector<std::pair<size_t, mpf_sdi_stats_t>> stops;
    std::vector<std::pair<size_t, mpf_sdi_mode_e>> starts;
    std::vector<SpeechCall> speech;
    std::vector<DtmfCall> dtmf;

    // Audio bytes handed out, in order.
    std::vector<uint8_t> Audio() const;
    // The call that carried state COMPLETE, or null.
    const SpeechCall *Last() const;
};

// Harmonic buzz that the voice detector takes for voice; the phase runs on
// from frame to frame.
class VoiceSource {
  public:
    explicit VoiceSource(uint32_t rate) : rate_(rate) {}
    std::vector<int16_t> Next();

  private:
    uint32_t rate_;
    uint64_t sample_ = 0;
};

// Reference voice detector, reset with the detector and fed the same audio.
class VadOracle {
  public:
    VadOracle();
    ~VadOracle();
    void Reset(int mode);
    int Judge(const std::vector<int16_t> &samples, uint32_t rate);

  private:
    VadInst *vad_;
};

// A detector on its own pool with a recorder and an oracle.
class Harness {
  public:
    explicit Harness(const mpf_sdi_params_t *params = nullptr, const char *name = "ch-1");
    ~Harness();
    Harness(const Harness &) = delete;
    Harness &operator=(const Harness &) = delete;

    mpf_sdi_detector_t *detector() const { return detector_; }
    Recorder &rec() { return rec_; }
    // Audio frames fed since the last Init, in order (the detector's write order).
    const std::vector<std::vector<int16_t>> &tape() const { return tape_; }
    // The oracle's verdict for each taped frame.
    const std::vector<int> &verdicts() const { return verdicts_; }

    void Init(mpf_sdi_mode_e mode, uint32_t rate, bool start_timers = false, bool interim = true,
              int vad_mode = 2);
    // One audio frame; returns the oracle's verdict.
    int Audio(const std::vector<int16_t> &samples);
    int Voice() { return Audio(voice_.Next()); }
    int Silence() { return Audio(std::vector<int16_t>(rate_ / 100, 0)); }
    // A frame with no audio and no event.
    void Empty();
    // A named event frame (no audio).
    void Event(uint32_t id, int marker, uint32_t duration = 0);
    // A whole key press: start of event, then end of event one frame later.
    void Key(char digit);
    // Feeds silence until the oracle says no voice; returns frames fed.
    size_t SilenceUntilUnvoiced(size_t limit = 100);

    size_t FrameSize() const { return size_t{rate_} / 100 * 2; }
    // Bytes of taped frames [from, to).
    std::vector<uint8_t> TapeBytes(size_t from, size_t to) const;

  private:
    void Feed(const mpf_frame_t &frame);

    KoralTest::AprPool apr_;
    mpf_sdi_detector_t *detector_ = nullptr;
    Recorder rec_;
    VoiceSource voice_;
    VadOracle oracle_;
    uint32_t rate_ = 8000;
    std::vector<std::vector<int16_t>> tape_;
    std::vector<int> verdicts_;
};

// Callback table that records into the Recorder given as the owner.
mpf_sdi_event_handlers_t RecordingHandlers();

}  // namespace KoralTest
