// State changes of the speech and DTMF detectors, with the input timers
// they start and stop.
#pragma once

#include "mpf_sdi_detector.h"

// Moves task (the detector's speech or DTMF task) to state: logs the change;
// IN-PROGRESS starts the input timer (and for speech sets the complete
// timeout), COMPLETE stops it and logs the framing of the input; then the
// task's probation and durations are cleared.
void mpf_sdi_task_state_change(mpf_sdi_detector_t *detector, mpf_sdi_task_t *task,
                               mpf_sdi_state_e state);
