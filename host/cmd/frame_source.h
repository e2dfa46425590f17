// Where a channel's media stream takes its 10 ms frames from: the queued input
// of a script (InputQueue) or the packets of a call (RtpReceiver).
#pragma once

#include <cstdint>

#include "mpf_frame.h"

namespace vantor {

class FrameSource {
  public:
    virtual ~FrameSource() = default;

    // Rate of the frames' audio; a frame holds sampling_rate() / 100 samples.
    virtual unsigned sampling_rate() const = 0;
    // Called on the media thread once per 10 ms tick. Fills frame (audio in
    // buffer, which holds sampling_rate() / 100 samples, and any named event);
    // silence when nothing is there. True when the frame carried input.
    virtual bool Next(mpf_frame_t *frame, int16_t *buffer) = 0;
};

}  // namespace vantor
