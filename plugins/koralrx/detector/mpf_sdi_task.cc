#include "mpf_sdi_task.h"

#include "KoralRxLog.h"

namespace {

// Milliseconds between two markers, negative when they are out of order.
int MarkerSpan(apr_size_t from, apr_size_t to) {
    return static_cast<int>((static_cast<long long>(to) - static_cast<long long>(from)) * 10);
}

}  // namespace

void mpf_sdi_task_state_change(mpf_sdi_detector_t *detector, mpf_sdi_task_t *task,
                               mpf_sdi_state_e state) {
    const bool speech = task == &detector->speech;
    if (speech) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO,
                "Speech Detector State Transition %s -> %s [%d ms] <%s>",
                mpf_sdi_state_str(task->state), mpf_sdi_state_str(state),
                static_cast<int>(task->state_duration), detector->name);
    } else {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO,
                "DTMF Detector State Transition %s -> %s [%d ms] <%s>",
                mpf_sdi_state_str(task->state), mpf_sdi_state_str(state),
                static_cast<int>(task->state_duration), detector->name);
    }

    if (state == MPF_SDI_STATE_IN_PROGRESS) {
        // In external start mode speech is not input yet: no-input still runs.
        if (!speech || detector->speech_flag) detector->noinput_timer_on = FALSE;
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Start Input Timer [%d ms] <%s>",
                static_cast<int>(detector->params.input_timeout), detector->name);
        detector->input_timer_on = TRUE;
        // The voice heard on probation already counts.
        detector->input_timer = task->probation_duration;
        if (speech) {
            detector->complete_timeout = detector->interim_results
                                             ? detector->params.speech_incomplete_timeout
                                             : detector->params.speech_complete_timeout;
            apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG,
                    "Set Speech Complete Timeout [%d ms] <%s>",
                    static_cast<int>(detector->complete_timeout), detector->name);
        }
    } else if (state == MPF_SDI_STATE_COMPLETE) {
        detector->input_timer_on = FALSE;
        const mpf_sdi_frame_buffer_t *frames = &detector->frames;
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO,
                "Detector Stats: leading-silence=%d ms, input=%d ms, trailing-silence=%d ms <%s>",
                MarkerSpan(frames->output_start_marker, frames->input_start_marker),
                MarkerSpan(frames->input_start_marker, frames->input_end_marker),
                MarkerSpan(frames->input_end_marker, frames->output_end_marker), detector->name);
    }

    task->state = state;
    task->probation = FALSE;
    task->state_duration = 0;
    task->probation_duration = 0;
}
