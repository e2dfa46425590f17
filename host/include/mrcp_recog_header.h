/* MRCP recognizer resource headers (RFC 6787 section 9.4; RFC 4463 section 9.4)
 * and completion causes. */
#pragma once

#include "mrcp_types.h"

APT_BEGIN_EXTERN_C

/* Header ids; presence is tracked per id (mrcp_resource_header_property_check). */
typedef enum {
    RECOGNIZER_HEADER_CONFIDENCE_THRESHOLD = 0,
    RECOGNIZER_HEADER_SENSITIVITY_LEVEL,
    RECOGNIZER_HEADER_SPEED_VS_ACCURACY,
    RECOGNIZER_HEADER_N_BEST_LIST_LENGTH,
    RECOGNIZER_HEADER_NO_INPUT_TIMEOUT,
    RECOGNIZER_HEADER_RECOGNITION_TIMEOUT,
    RECOGNIZER_HEADER_WAVEFORM_URI, /* MRCPv1: Waveform-URL */
    RECOGNIZER_HEADER_COMPLETION_CAUSE,
    RECOGNIZER_HEADER_RECOGNIZER_CONTEXT_BLOCK,
    RECOGNIZER_HEADER_START_INPUT_TIMERS, /* MRCPv1: Recognizer-Start-Timers */
    RECOGNIZER_HEADER_SPEECH_COMPLETE_TIMEOUT,
    RECOGNIZER_HEADER_SPEECH_INCOMPLETE_TIMEOUT,
    RECOGNIZER_HEADER_DTMF_INTERDIGIT_TIMEOUT,
    RECOGNIZER_HEADER_DTMF_TERM_TIMEOUT,
    RECOGNIZER_HEADER_DTMF_TERM_CHAR,
    RECOGNIZER_HEADER_FAILED_URI,
    RECOGNIZER_HEADER_FAILED_URI_CAUSE,
    RECOGNIZER_HEADER_SAVE_WAVEFORM,
    RECOGNIZER_HEADER_NEW_AUDIO_CHANNEL,
    RECOGNIZER_HEADER_SPEECH_LANGUAGE,
    /* From here on MRCPv2 only. */
    RECOGNIZER_HEADER_INPUT_TYPE,
    RECOGNIZER_HEADER_INPUT_WAVEFORM_URI,
    RECOGNIZER_HEADER_COMPLETION_REASON,
    RECOGNIZER_HEADER_MEDIA_TYPE,
    RECOGNIZER_HEADER_VER_BUFFER_UTTERANCE,
    RECOGNIZER_HEADER_RECOGNITION_MODE,
    RECOGNIZER_HEADER_CANCEL_IF_QUEUE,
    RECOGNIZER_HEADER_HOTWORD_MAX_DURATION,
    RECOGNIZER_HEADER_HOTWORD_MIN_DURATION,
    RECOGNIZER_HEADER_INTERPRET_TEXT,
    RECOGNIZER_HEADER_DTMF_BUFFER_TIME,
    RECOGNIZER_HEADER_CLEAR_DTMF_BUFFER,
    RECOGNIZER_HEADER_EARLY_NO_MATCH,
    RECOGNIZER_HEADER_NUM_MIN_CONSISTENT_PRONUNCIATIONS,
    RECOGNIZER_HEADER_CONSISTENCY_THRESHOLD,
    RECOGNIZER_HEADER_CLASH_THRESHOLD,
    RECOGNIZER_HEADER_PERSONAL_GRAMMAR_URI,
    RECOGNIZER_HEADER_ENROLL_UTTERANCE,
    RECOGNIZER_HEADER_PHRASE_ID,
    RECOGNIZER_HEADER_PHRASE_NL,
    RECOGNIZER_HEADER_WEIGHT,
    RECOGNIZER_HEADER_SAVE_BEST_WAVEFORM,
    RECOGNIZER_HEADER_NEW_PHRASE_ID,
    RECOGNIZER_HEADER_CONFUSABLE_PHRASES_URI,
    RECOGNIZER_HEADER_ABORT_PHRASE_ENROLLMENT,
    RECOGNIZER_HEADER_COUNT
} mrcp_recognizer_header_id;

/* Completion causes, MRCPv2 recognizer numbering. MRCPv1 has its own names and
 * numbers for 0-10 (mrcp_recog_completion_cause_get); the serializer maps 11-16
 * onto the nearest MRCPv1 cause. */
typedef enum {
    RECOGNIZER_COMPLETION_CAUSE_SUCCESS = 0,
    RECOGNIZER_COMPLETION_CAUSE_NO_MATCH = 1,
    RECOGNIZER_COMPLETION_CAUSE_NO_INPUT_TIMEOUT = 2,
    RECOGNIZER_COMPLETION_CAUSE_HOTWORD_MAXTIME = 3,
    RECOGNIZER_COMPLETION_CAUSE_GRAMMAR_LOAD_FAILURE = 4,
    RECOGNIZER_COMPLETION_CAUSE_GRAMMAR_COMPILATION_FAILURE = 5,
    RECOGNIZER_COMPLETION_CAUSE_RECOGNIZER_ERROR = 6,
    RECOGNIZER_COMPLETION_CAUSE_SPEECH_TOO_EARLY = 7,
    RECOGNIZER_COMPLETION_CAUSE_SUCCESS_MAXTIME = 8,
    RECOGNIZER_COMPLETION_CAUSE_URI_FAILURE = 9,
    RECOGNIZER_COMPLETION_CAUSE_LANGUAGE_UNSUPPORTED = 10,
    RECOGNIZER_COMPLETION_CAUSE_CANCELLED = 11,
    RECOGNIZER_COMPLETION_CAUSE_SEMANTICS_FAILURE = 12,
    RECOGNIZER_COMPLETION_CAUSE_PARTIAL_MATCH = 13,
    RECOGNIZER_COMPLETION_CAUSE_PARTIAL_MATCH_MAXTIME = 14,
    RECOGNIZER_COMPLETION_CAUSE_NO_MATCH_MAXTIME = 15,
    RECOGNIZER_COMPLETION_CAUSE_GRAMMAR_DEFINITION_FAILURE = 16,
    RECOGNIZER_COMPLETION_CAUSE_COUNT = 17,
    RECOGNIZER_COMPLETION_CAUSE_UNKNOWN = RECOGNIZER_COMPLETION_CAUSE_COUNT
} mrcp_recog_completion_cause_e;

/* Values of the recognizer headers. A value counts only while its header is
 * present. Strings are NUL-terminated when set from text or with apt_string_assign.
 * Scales are those of MRCPv2 for both versions: MRCPv1 integers 0-100 are read and
 * written as 0.0-1.0 (Speed-Vs-Accuracy reversed, since MRCPv1 counts toward speed). */
typedef struct mrcp_recog_header_t {
    float confidence_threshold; /* 0.0-1.0 */
    float sensitivity_level;    /* 0.0-1.0 */
    float speed_vs_accuracy;    /* 0.0 fastest - 1.0 most accurate */
    apr_size_t n_best_list_length;
    apr_size_t no_input_timeout;    /* ms */
    apr_size_t recognition_timeout; /* ms */
    apt_str_t waveform_uri;         /* "<uri>;size=N;duration=N" or empty */
    mrcp_recog_completion_cause_e completion_cause;
    apt_str_t recognizer_context_block;
    apt_bool_t start_input_timers;
    apr_size_t speech_complete_timeout;   /* ms */
    apr_size_t speech_incomplete_timeout; /* ms */
    apr_size_t dtmf_interdigit_timeout;   /* ms */
    apr_size_t dtmf_term_timeout;         /* ms */
    char dtmf_term_char;                  /* 0 when the header is present but empty */
    apt_str_t failed_uri;
    apt_str_t failed_uri_cause;
    apt_bool_t save_waveform;
    apt_bool_t new_audio_channel;
    apt_str_t speech_language;
    apt_str_t input_type; /* "speech" or "dtmf" */
    apt_str_t input_waveform_uri;
    apt_str_t completion_reason;
    apt_str_t media_type;
    apt_bool_t ver_buffer_utterance;
    apt_str_t recognition_mode; /* "normal" or "hotword" */
    apt_bool_t cancel_if_queue;
    apr_size_t hotword_max_duration; /* ms */
    apr_size_t hotword_min_duration; /* ms */
    apt_str_t interpret_text;
    apr_size_t dtmf_buffer_time; /* ms */
    apt_bool_t clear_dtmf_buffer;
    apt_bool_t early_no_match;
    apr_size_t num_min_consistent_pronunciations;
    float consistency_threshold; /* 0.0-1.0 */
    float clash_threshold;       /* 0.0-1.0 */
    apt_str_t personal_grammar_uri;
    apt_bool_t enroll_utterance;
    apt_str_t phrase_id;
    apt_str_t phrase_nl;
    float weight;
    apt_bool_t save_best_waveform;
    apt_str_t new_phrase_id;
    apt_str_t confusable_phrases_uri;
    apt_bool_t abort_phrase_enrollment;
} mrcp_recog_header_t;

/* Header name as written in the given version ("Start-Input-Timers" in MRCPv2,
 * "Recognizer-Start-Timers" in MRCPv1), or NULL when the version lacks it. */
APT_DECLARE(const char *)
mrcp_recog_header_name_get(mrcp_recognizer_header_id id, mrcp_version_e version);
/* Id of a header name (compared without regard to case) in the given version, or
 * RECOGNIZER_HEADER_COUNT when the version has no such recognizer header. */
APT_DECLARE(mrcp_recognizer_header_id)
mrcp_recog_header_id_find(const char *name, apr_size_t length, mrcp_version_e version);

/* Name of a completion cause in the given version: "success", "no-match", ...,
 * "grammar-definition-failure" in MRCPv2; "success", ..., "gram-load-failure",
 * "error", ..., "language-unsupported" in MRCPv1, where causes 11-16 give the name of
 * the MRCPv1 cause they are written as. buf is NUL-terminated. NULL for an unknown
 * cause or version. */
APT_DECLARE(const apt_str_t *)
mrcp_recog_completion_cause_get(mrcp_recog_completion_cause_e cause, mrcp_version_e version);
/* The number a cause is written with in the given version (MRCPv1: 0-10), or -1. */
APT_DECLARE(int)
mrcp_recog_completion_cause_code_get(mrcp_recog_completion_cause_e cause, mrcp_version_e version);

APT_END_EXTERN_C
