// DTMF detection of one frame: digit collection against the exact, minimum
// and maximum lengths and the terminating digit, with the inter-digit and
// terminating timers.
#pragma once

#include "mpf_sdi_detector.h"

// The DTMF part of one frame (DTMF detection active).
void mpf_sdi_dtmf_process(mpf_sdi_detector_t *detector, const mpf_frame_t *frame);

// Ends DTMF input on the input timer, with stats (cause timed out).
void mpf_sdi_dtmf_timeout(mpf_sdi_detector_t *detector, mpf_sdi_stats_t *stats);

// Digit storage: made with room for a typical input, released by release.
void mpf_sdi_digits_init(mpf_sdi_digits_t *digits);
void mpf_sdi_digits_release(mpf_sdi_digits_t *digits);
