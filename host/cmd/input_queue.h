// Input queued for one channel's media stream: 10 ms frames of audio, silence and
// RFC 4733 DTMF events, taken one per media-clock tick.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "frame_source.h"
#include "mpf_frame.h"

namespace vantor {

class InputQueue : public FrameSource {
  public:
    explicit InputQueue(unsigned sampling_rate);

    unsigned sampling_rate() const override { return sampling_rate_; }
    // Samples in one 10 ms frame.
    size_t frame_samples() const { return frame_samples_; }

    // Queues audio cut into 10 ms frames; the last one is padded with silence.
    void PushAudio(const int16_t *samples, size_t count);
    // Queues ms of silence (rounded up to whole frames).
    void PushSilence(unsigned ms);
    // Queues each digit as a named event lasting on_ms (a start frame, middle
    // frames and an end frame, with silent audio) followed by off_ms of silence.
    // False, queuing nothing, when a digit is not one of 0-9 * # A-D.
    bool PushDtmf(const std::string &digits, unsigned on_ms, unsigned off_ms);

    // Fills frame with the next queued frame, or with silence when nothing is
    // queued; buffer holds frame_samples() samples and receives the audio.
    // True when the frame came from the queue.
    bool Next(mpf_frame_t *frame, int16_t *buffer) override;
    // Frames still queued.
    size_t Pending() const;
    // Waits until the queue is empty; false after timeout_ms of wall-clock time.
    bool WaitEmpty(long timeout_ms);

  private:
    struct Item {
        int type = MEDIA_FRAME_TYPE_AUDIO;
        int marker = MPF_MARKER_NONE;
        apr_uint32_t event_id = 0;
        apr_uint32_t duration = 0;
        std::vector<int16_t> audio;  // empty: silence
    };

    unsigned sampling_rate_;
    size_t frame_samples_;
    mutable std::mutex mutex_;
    std::condition_variable drained_;
    std::deque<Item> items_;
};

}  // namespace vantor
