#include "mpf_sdi_util.h"

void mpf_sdi_stats_init(mpf_sdi_stats_t *stats) {
    stats->completion_cause = MPF_SDI_COMPLETION_CAUSE_SUCCESS;
    stats->duration = 0;
    stats->size = 0;
}

void mpf_sdi_task_init(mpf_sdi_task_t *task) {
    task->state = MPF_SDI_STATE_NO_INPUT;
    task->probation = FALSE;
    task->state_duration = 0;
    task->probation_duration = 0;
}

const char *mpf_sdi_state_str(mpf_sdi_state_e state) {
    switch (state) {
        case MPF_SDI_STATE_NO_INPUT:
            return "NO-INPUT";
        case MPF_SDI_STATE_IN_PROGRESS:
            return "IN-PROGRESS";
        case MPF_SDI_STATE_COMPLETE:
            return "COMPLETE";
    }
    return "UNKNOWN";
}

const char *mpf_sdi_completion_cause_str(apr_uint32_t cause) {
    switch (cause) {
        case MPF_SDI_COMPLETION_CAUSE_SUCCESS:
            return "success";
        case MPF_SDI_COMPLETION_CAUSE_TIMEDOUT:
            return "timedout";
        case MPF_SDI_COMPLETION_CAUSE_STOPPED:
            return "stopped";
    }
    return "UNKNOWN";
}

char mpf_sdi_printable_char(char c) { return c ? c : ' '; }
