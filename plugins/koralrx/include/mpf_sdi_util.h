// Shared types of the speech and DTMF input detector: input states,
// completion causes, statistics and the per-detector task state.
#pragma once

#include "apt.h"

typedef enum {
    MPF_SDI_STATE_NO_INPUT = 0,
    MPF_SDI_STATE_IN_PROGRESS = 1,
    MPF_SDI_STATE_COMPLETE = 2
} mpf_sdi_state_e;

typedef enum {
    MPF_SDI_COMPLETION_CAUSE_SUCCESS = 0,
    MPF_SDI_COMPLETION_CAUSE_TIMEDOUT = 1,
    MPF_SDI_COMPLETION_CAUSE_STOPPED = 2
} mpf_sdi_completion_cause_e;

// Handed out with the last piece of an input.
typedef struct mpf_sdi_stats_t {
    apr_uint32_t completion_cause;  // mpf_sdi_completion_cause_e
    apr_size_t duration;            // ms of audio handed out, inserted silence included
    apr_size_t size;                // bytes of audio handed out, inserted silence included
} mpf_sdi_stats_t;

// State of the speech or the DTMF detector.
typedef struct mpf_sdi_task_t {
    mpf_sdi_state_e state;
    apt_bool_t probation;           // a change of state is on probation
    apr_size_t state_duration;      // ms in the current state
    apr_size_t probation_duration;  // ms on probation
} mpf_sdi_task_t;

// Zero statistics: cause success, duration and size 0.
void mpf_sdi_stats_init(mpf_sdi_stats_t *stats);
void mpf_sdi_task_init(mpf_sdi_task_t *task);

// "NO-INPUT", "IN-PROGRESS", "COMPLETE"; "UNKNOWN" for anything else.
const char *mpf_sdi_state_str(mpf_sdi_state_e state);
// "success", "timedout", "stopped"; "UNKNOWN" for anything else.
const char *mpf_sdi_completion_cause_str(apr_uint32_t cause);

// A digit for a "%c" log field: NUL would cut the line short, so it shows
// as a blank.
char mpf_sdi_printable_char(char c);
