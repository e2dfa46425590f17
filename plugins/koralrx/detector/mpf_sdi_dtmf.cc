#include "mpf_sdi_dtmf.h"

#include <cstdlib>

#include "KoralRxLog.h"
#include "mpf_sdi_task.h"

namespace {

const apr_size_t kInitialDigits = 16;

// Room for count more characters. Growth happens on the media thread, so it
// uses the heap, not the owner's pool.
bool DigitsReserve(mpf_sdi_digits_t *digits, apr_size_t count) {
    if (digits->count + count <= digits->capacity) return true;
    apr_size_t capacity = digits->capacity ? digits->capacity * 2 : kInitialDigits;
    while (capacity < digits->count + count) capacity *= 2;
    char *buf = static_cast<char *>(realloc(digits->buf, capacity));
    if (!buf) return false;
    digits->buf = buf;
    digits->capacity = capacity;
    return true;
}

// 0 when a minimum length is set and not reached, or else an exact length
// is set and not met.
int DigitsMatch(const mpf_sdi_detector_t *detector) {
    const mpf_sdi_params_t *params = &detector->params;
    const apr_size_t count = detector->digits.count;
    if (params->dtmf_min_length && count < params->dtmf_min_length) return 0;
    if (params->dtmf_length && count != params->dtmf_length) return 0;
    return 1;
}

void DtmfComplete(mpf_sdi_detector_t *detector, int success, mpf_sdi_stats_t *stats) {
    mpf_sdi_digits_t *digits = &detector->digits;
    static char empty[] = "";
    char *text = empty;
    if (DigitsReserve(digits, 1)) {
        digits->buf[digits->count] = '\0';
        text = digits->buf;
    }
    mpf_sdi_task_state_change(detector, &detector->dtmf, MPF_SDI_STATE_COMPLETE);
    detector->active_mode = MPF_SDI_MODE_NONE;
    detector->handlers.on_dtmf_input(detector, text, text == empty ? 0 : digits->count, success,
                                     detector->dtmf.state, stats);
}

// Adds a digit; the terminating digit ends the input without being added,
// and so does reaching the maximum or the exact length.
void DigitAdd(mpf_sdi_detector_t *detector, char digit) {
    const mpf_sdi_params_t *params = &detector->params;
    mpf_sdi_digits_t *digits = &detector->digits;
    int success = 1;
    bool complete = false;
    if (digit != params->dtmf_term_char) {
        if (!DigitsReserve(digits, 1)) {
            apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Store DTMF Digit <%s>",
                    detector->name);
            return;
        }
        digits->buf[digits->count++] = digit;
        complete = (params->dtmf_max_length && digits->count == params->dtmf_max_length) ||
                   (params->dtmf_length && digits->count == params->dtmf_length);
    } else {
        complete = true;
        success = DigitsMatch(detector);
    }
    if (complete) {
        mpf_sdi_stats_t stats;
        mpf_sdi_stats_init(&stats);
        DtmfComplete(detector, success, &stats);
    }
}

// The digit of a named event; events that are not DTMF digits (the other
// telephone events) carry none and are not DTMF input.
char EventDigit(const mpf_frame_t *frame) {
    if (!(frame->type & MEDIA_FRAME_TYPE_EVENT)) return '\0';
    return mpf_event_id_to_dtmf_char(frame->event_frame.event_id);
}

void LogStartOfEvent(const mpf_sdi_detector_t *detector, const mpf_frame_t *frame, char digit) {
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO,
            "Detected Start of Event: id=%d, digit=%c <%s>",
            static_cast<int>(frame->event_frame.event_id), mpf_sdi_printable_char(digit),
            detector->name);
}

void DtmfNoInput(mpf_sdi_detector_t *detector, const mpf_frame_t *frame) {
    const char digit = EventDigit(frame);
    if (!digit) return;
    mpf_sdi_task_state_change(detector, &detector->dtmf, MPF_SDI_STATE_IN_PROGRESS);
    detector->active_mode = MPF_SDI_MODE_DTMF;
    detector->handlers.on_start_of_input(detector, MPF_SDI_MODE_DTMF);
    if (frame->marker == MPF_MARKER_START_OF_EVENT) {
        LogStartOfEvent(detector, frame, digit);
        DigitAdd(detector, digit);
    } else if (frame->marker == MPF_MARKER_END_OF_EVENT) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO,
                "Detected End of Event: id=%d, duration=%d ts <%s>",
                static_cast<int>(frame->event_frame.event_id),
                static_cast<int>(frame->event_frame.duration), detector->name);
    }
}

void DtmfInProgress(mpf_sdi_detector_t *detector, const mpf_frame_t *frame) {
    const mpf_sdi_params_t *params = &detector->params;
    const char digit = EventDigit(frame);
    if (digit && frame->marker == MPF_MARKER_START_OF_EVENT) {
        LogStartOfEvent(detector, frame, digit);
        detector->interdigit_timer_on = FALSE;
        detector->term_timer_on = FALSE;
        DigitAdd(detector, digit);
    } else if (digit && frame->marker == MPF_MARKER_END_OF_EVENT) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO,
                "Detected End of Event: id=%d duration=%d ts <%s>",
                static_cast<int>(frame->event_frame.event_id),
                static_cast<int>(frame->event_frame.duration), detector->name);
        if (params->dtmf_min_length && detector->digits.count >= params->dtmf_min_length) {
            apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Start Term Timer [%d ms] <%s>",
                    static_cast<int>(params->dtmf_term_timeout), detector->name);
            detector->term_timer_on = TRUE;
            detector->term_timer = 0;
        } else {
            apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO,
                    "Start Inter-Digit Timer [%d ms] <%s>",
                    static_cast<int>(params->dtmf_interdigit_timeout), detector->name);
            detector->interdigit_timer_on = TRUE;
            detector->interdigit_timer = 0;
        }
    }

    if (detector->interdigit_timer_on) {
        detector->interdigit_timer += 10;
        if (detector->interdigit_timer >= params->dtmf_interdigit_timeout) {
            detector->interdigit_timer_on = FALSE;
            mpf_sdi_stats_t stats;
            mpf_sdi_stats_init(&stats);
            DtmfComplete(detector, DigitsMatch(detector), &stats);
            return;
        }
    }
    if (detector->term_timer_on) {
        detector->term_timer += 10;
        if (detector->term_timer >= params->dtmf_term_timeout) {
            detector->term_timer_on = FALSE;
            mpf_sdi_stats_t stats;
            mpf_sdi_stats_init(&stats);
            DtmfComplete(detector, 1, &stats);
        }
    }
}

}  // namespace

void mpf_sdi_dtmf_process(mpf_sdi_detector_t *detector, const mpf_frame_t *frame) {
    if (detector->dtmf.state == MPF_SDI_STATE_NO_INPUT) {
        DtmfNoInput(detector, frame);
    } else {
        DtmfInProgress(detector, frame);
    }
}

void mpf_sdi_dtmf_timeout(mpf_sdi_detector_t *detector, mpf_sdi_stats_t *stats) {
    detector->interdigit_timer_on = FALSE;
    detector->term_timer_on = FALSE;
    DtmfComplete(detector, DigitsMatch(detector), stats);
}

void mpf_sdi_digits_init(mpf_sdi_digits_t *digits) {
    digits->count = 0;
    digits->capacity = 0;
    digits->buf = static_cast<char *>(malloc(kInitialDigits));
    if (digits->buf) digits->capacity = kInitialDigits;
}

void mpf_sdi_digits_release(mpf_sdi_digits_t *digits) {
    free(digits->buf);
    digits->buf = nullptr;
    digits->count = 0;
    digits->capacity = 0;
}
