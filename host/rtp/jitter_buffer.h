// The receive side's jitter buffer: decoded samples placed by their RTP
// timestamp into a ring and played out one 10 ms frame per media tick, a fixed
// depth behind the first packet, so that packets arriving out of order within
// the depth are played in order and a missing packet plays as silence.
//
// Plain state, no socket and no clock of its own: the media thread's ticks
// are the clock (Take), the packets arrive in between (Put). Bounded whatever
// the timestamps: the ring never grows, and the playout re-anchors on an
// underrun or a timestamp jump instead of waiting for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vantor {

class JitterBuffer {
  public:
    // Timestamps count samples; a frame is frame_samples, the depth
    // depth_samples; the ring holds depth plus capacity_samples ahead.
    JitterBuffer(size_t frame_samples, size_t depth_samples, size_t capacity_samples);

    enum class PutResult {
        kStored,      // placed for playout (partly late samples dropped)
        kLate,        // its time has been played: dropped
        kReanchored,  // underrun or timestamp jump: playout restarted a depth behind it
        kDiscarded    // far from the playout and not (yet) confirmed as a jump: dropped
    };
    PutResult Put(uint32_t timestamp, const int16_t *samples, size_t count);

    // Plays the next frame into out (frame_samples): the received samples of
    // its time, silence elsewhere. frame_timestamp receives its timestamp.
    // False when none of its samples was received (or nothing ever was).
    bool Take(int16_t *out, uint32_t *frame_timestamp);

    bool started() const { return started_; }
    // Anchors the playout on timestamp when nothing did yet: a stream that
    // opens with (or only has) telephone events plays them all the same.
    void AnchorIfIdle(uint32_t timestamp) {
        if (!started_) Anchor(timestamp);
    }
    // Timestamp of the next frame Take plays.
    uint32_t playout() const { return playout_; }
    // Forgets everything: the next packet anchors the playout again.
    void Reset();

  private:
    void Anchor(uint32_t timestamp);

    const size_t frame_;
    const size_t depth_;
    const size_t ahead_;
    std::vector<int16_t> ring_;
    std::vector<uint8_t> filled_;
    bool started_ = false;
    uint32_t playout_ = 0;    // timestamp of ring_[read_]
    size_t read_ = 0;         // ring index of the next sample played
    uint32_t newest_ = 0;     // timestamp just past the newest sample stored
    unsigned far_count_ = 0;  // consecutive packets far from the playout
};

}  // namespace vantor
