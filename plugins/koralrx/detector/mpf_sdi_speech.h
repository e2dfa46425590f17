// Speech detection of one frame: voice probation, framing with leading and
// trailing silence, and the chunks handed out from the cyclic frame buffer.
#pragma once

#include "mpf_sdi_detector.h"

// Empties the frame buffer: every marker and counter 0.
void mpf_sdi_frames_reset(mpf_sdi_frame_buffer_t *frames);

// The speech part of one frame (speech detection active).
void mpf_sdi_speech_process(mpf_sdi_detector_t *detector, const mpf_frame_t *frame);

// Ends speech input on the input timer: everything stored and not yet
// handed out goes as the last chunk, with stats (cause timed out).
void mpf_sdi_speech_timeout(mpf_sdi_detector_t *detector, mpf_sdi_stats_t *stats);

// Size and duration of the audio handed out so far, for a stop.
void mpf_sdi_speech_stats_get(mpf_sdi_detector_t *detector, mpf_sdi_stats_t *stats);
