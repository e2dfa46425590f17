// Drives a detector frame by frame and records what it reports: callbacks,
// log lines, and a reference voice detector fed the same audio.
#pragma once

#include <apr_pools.h>

#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "KoralTest/AprPool.h"
#include "KoralTest/LogCapture.h"
#include "apt_log.h"
#include "mpf_sdi_detector.h"

namespace KoralTest {

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
    std::vector<uint8_t> Audio() const {
        std::vector<uint8_t> all;
        for (const SpeechCall &call : speech)
            all.insert(all.end(), call.data.begin(), call.data.end());
        return all;
    }
    // The call that carried state COMPLETE, or null.
    const SpeechCall *Last() const {
        for (const SpeechCall &call : speech)
            if (call.state == MPF_SDI_STATE_COMPLETE) return &call;
        return nullptr;
    }
    static Recorder *Of(mpf_sdi_detector_t *detector) {
        return static_cast<Recorder *>(mpf_sdi_obj_get(detector));
    }
};

// Callback table that records into the Recorder given as the owner.
inline mpf_sdi_event_handlers_t RecordingHandlers() {
    mpf_sdi_event_handlers_t handlers;
    mpf_sdi_event_handlers_init(&handlers);
    handlers.on_noinput = [](mpf_sdi_detector_t *d) {
        Recorder::Of(d)->noinput.push_back(Recorder::Of(d)->frame);
    };
    handlers.on_stop_complete = [](mpf_sdi_detector_t *d, const mpf_sdi_stats_t *stats) {
        Recorder::Of(d)->stops.emplace_back(Recorder::Of(d)->frame, *stats);
    };
    handlers.on_start_of_input = [](mpf_sdi_detector_t *d, mpf_sdi_mode_e mode) {
        Recorder::Of(d)->starts.emplace_back(Recorder::Of(d)->frame, mode);
    };
    handlers.on_speech_input = [](mpf_sdi_detector_t *d, const void *data, apr_size_t size,
                                  mpf_sdi_state_e state, const mpf_sdi_stats_t *stats) {
        const uint8_t *bytes = static_cast<const uint8_t *>(data);
        Recorder::Of(d)->speech.push_back({Recorder::Of(d)->frame,
                                           std::vector<uint8_t>(bytes, bytes + size), data, state,
                                           stats != nullptr, stats ? *stats : mpf_sdi_stats_t{}});
    };
    handlers.on_dtmf_input = [](mpf_sdi_detector_t *d, const char *digits, apr_size_t count,
                                int success, mpf_sdi_state_e state, const mpf_sdi_stats_t *stats) {
        Recorder::Of(d)->dtmf.push_back({Recorder::Of(d)->frame, digits, count, success, state,
                                         stats ? *stats : mpf_sdi_stats_t{}});
    };
    return handlers;
}

// Harmonic buzz that the voice detector takes for voice; the phase runs on
// from frame to frame.
class VoiceSource {
  public:
    explicit VoiceSource(uint32_t rate) : rate_(rate) {}
    std::vector<int16_t> Next() {
        std::vector<int16_t> samples(rate_ / 100);
        for (int16_t &s : samples) {
            const double t = static_cast<double>(sample_++) / rate_;
            double v = 0;
            for (int h = 1; h <= 20; ++h) v += (3000.0 / h) * std::sin(2 * M_PI * 120 * h * t);
            s = static_cast<int16_t>(v);
        }
        return samples;
    }

  private:
    uint32_t rate_;
    uint64_t sample_ = 0;
};

// A detector on its own pool with a recorder, and a reference voice
// detector (the oracle) reset with it and fed the same audio.
class Harness {
  public:
    explicit Harness(const mpf_sdi_params_t *params = nullptr, const char *name = "ch-1")
        : voice_(8000), oracle_(WebRtcVad_Create()) {
        mpf_sdi_event_handlers_t handlers = RecordingHandlers();
        detector_ = mpf_sdi_detector_create(name, &handlers, &rec_, params, apr_.get());
        if (!detector_ || !oracle_) throw std::runtime_error("detector not created");
    }
    ~Harness() {
        mpf_sdi_destroy(detector_);
        WebRtcVad_Free(oracle_);
    }
    Harness(const Harness &) = delete;
    Harness &operator=(const Harness &) = delete;

    mpf_sdi_detector_t *detector() const { return detector_; }
    Recorder &rec() { return rec_; }
    // Audio frames fed since the last Init, in order (the detector's write order).
    const std::vector<std::vector<int16_t>> &tape() const { return tape_; }

    void Init(mpf_sdi_mode_e mode, uint32_t rate, bool start_timers = false, bool interim = true) {
        rate_ = rate;
        voice_ = VoiceSource(rate);
        WebRtcVad_Init(oracle_);
        WebRtcVad_set_mode(oracle_, 2);
        tape_.clear();
        mpf_sdi_init(detector_, mode, rate, start_timers ? TRUE : FALSE, interim ? TRUE : FALSE);
    }
    // One audio frame; returns the oracle's verdict.
    int Audio(const std::vector<int16_t> &samples) {
        tape_.push_back(samples);
        const int verdict =
            WebRtcVad_Process(oracle_, static_cast<int>(rate_), samples.data(), samples.size());
        mpf_frame_t frame = mpf_frame_t();
        frame.type = MEDIA_FRAME_TYPE_AUDIO;
        frame.codec_frame.buffer = const_cast<int16_t *>(samples.data());
        frame.codec_frame.size = samples.size() * 2;
        Feed(frame);
        return verdict;
    }
    int Voice() { return Audio(voice_.Next()); }
    int Silence() { return Audio(std::vector<int16_t>(rate_ / 100, 0)); }
    // A frame with no audio and no event.
    void Empty() { Feed(mpf_frame_t()); }
    // A named event frame (no audio).
    void Event(uint32_t id, int marker, uint32_t duration = 0) {
        mpf_frame_t frame = mpf_frame_t();
        frame.type = MEDIA_FRAME_TYPE_EVENT;
        frame.marker = marker;
        frame.event_frame.event_id = id;
        frame.event_frame.duration = duration;
        Feed(frame);
    }
    // A whole key press: start of event, then end of event one frame later.
    void Key(char digit) {
        const uint32_t id = mpf_dtmf_char_to_event_id(digit);
        Event(id, MPF_MARKER_START_OF_EVENT);
        Event(id, MPF_MARKER_END_OF_EVENT, 800);
    }
    // Feeds silence until the oracle says no voice; returns frames fed.
    size_t SilenceUntilUnvoiced(size_t limit = 100) {
        for (size_t n = 1; n <= limit; ++n)
            if (Silence() == 0) return n;
        throw std::runtime_error("voice detector never settled");
    }

    size_t FrameSize() const { return size_t{rate_} / 100 * 2; }
    // Bytes of taped frames [from, to).
    std::vector<uint8_t> TapeBytes(size_t from, size_t to) const {
        std::vector<uint8_t> bytes;
        for (size_t i = from; i < to && i < tape_.size(); ++i) {
            const uint8_t *p = reinterpret_cast<const uint8_t *>(tape_[i].data());
            bytes.insert(bytes.end(), p, p + tape_[i].size() * 2);
        }
        return bytes;
    }

  private:
    void Feed(const mpf_frame_t &frame) {
        rec_.frame++;
        mpf_sdi_process(detector_, &frame);
    }

    KoralTest::AprPool apr_;
    mpf_sdi_detector_t *detector_ = nullptr;
    Recorder rec_;
    VoiceSource voice_;
    VadInst *oracle_;
    uint32_t rate_ = 8000;
    std::vector<std::vector<int16_t>> tape_;
};

}  // namespace KoralTest
