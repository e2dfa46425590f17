// DTMF on the receive side, turned into the host's named-event frames as
// queued input builds them: a digit is a run of frames carrying its event id,
// the first marked start of event, the last end of event, each with the
// duration so far. One run per digit whatever the network repeats.
//
//  - TelephoneEvents: RFC 4733 packets, placed by their timestamp on the same
//    playout timeline as the audio (the jitter buffer's), so a digit reaches
//    the channel where it sat in the stream.
//  - InbandDtmf: tones in the played audio, detected by spandsp, for offers
//    without telephone-event; the tone is muted so only the digit goes on.
//
// Media thread only; bounded whatever the packets say.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "mpf_frame.h"
#include "rtp_packet.h"

struct dtmf_rx_state_s;

namespace vantor {

// The run of frames of the digit in progress.
class DigitRun {
  public:
    explicit DigitRun(size_t frame_samples) : frame_(frame_samples) {}
    bool active() const { return active_; }
    // Marks frame as the next of a digit: the first as start, with end as
    // the last (a run has a start and an end frame at least).
    void Mark(uint32_t event_id, bool end, mpf_frame_t *frame);

  private:
    const size_t frame_;
    bool active_ = false;
    uint32_t event_id_ = 0;
    unsigned frames_ = 0;
};

class TelephoneEvents {
  public:
    // frame_samples: timestamp units in one 10 ms frame; horizon: how far
    // (in units) from the playout an event may lie and still be kept.
    TelephoneEvents(size_t frame_samples, uint32_t horizon);

    enum class Result { kAccepted, kRepeat, kLate, kDropped };
    // One telephone-event packet. playout: timestamp of the next frame played
    // (valid when playing). kRepeat for the packets of a digit already played
    // out (the redundant end packets), kLate for an event whose time has
    // passed, kDropped for non-DTMF events or those beyond the horizon.
    Result Put(uint32_t timestamp, const TelephoneEvent &event, bool playing, uint32_t playout);
    // Marks the frame starting at timestamp playout if a digit covers it;
    // true when a digit started on it.
    bool Annotate(uint32_t playout, mpf_frame_t *frame);
    void Reset();

  private:
    struct Pending {
        uint32_t timestamp;
        uint8_t event;
        uint32_t duration;
        bool end;
        bool started;
    };
    bool Done(uint32_t timestamp) const;
    void Finish(size_t index);

    const size_t frame_;
    const uint32_t horizon_;
    DigitRun run_;
    std::vector<Pending> pending_;  // by timestamp; a few at most
    std::vector<uint32_t> done_;    // timestamps of digits played, newest last
};

class InbandDtmf {
  public:
    explicit InbandDtmf(unsigned sampling_rate);
    ~InbandDtmf();
    InbandDtmf(const InbandDtmf &) = delete;
    InbandDtmf &operator=(const InbandDtmf &) = delete;

    // Runs the detector over one played frame (samples), marking and muting
    // it while a digit sounds; true when a digit started on it.
    bool Process(int16_t *samples, mpf_frame_t *frame);

  private:
    static void OnTone(void *data, int code, int level, int delay);

    const size_t frame_;
    const int decimation_;  // the detector runs at 8000 Hz
    dtmf_rx_state_s *rx_ = nullptr;
    DigitRun run_;
    std::vector<int16_t> narrow_;
    int tone_ = 0;            // digit sounding (ASCII), 0 for none: the detector's view
    uint32_t run_event_ = 0;  // event id of the digit being marked
};

}  // namespace vantor
