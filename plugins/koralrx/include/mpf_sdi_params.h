// Tuning of the speech and DTMF input detector: the parameter block, its
// defaults and its configuration element (speech-dtmf-input-detector).
#pragma once

#include <apr_xml.h>

#include "apt.h"

// Which detectors run: a bit set.
typedef enum {
    MPF_SDI_MODE_NONE = 0x0,
    MPF_SDI_MODE_SPEECH = 0x1,
    MPF_SDI_MODE_DTMF = 0x2,
    MPF_SDI_MODE_SPEECH_DTMF = MPF_SDI_MODE_SPEECH | MPF_SDI_MODE_DTMF
} mpf_sdi_mode_e;

// Times in milliseconds, lengths in digits. The detector advances in 10 ms
// frames: a timeout acts as the next multiple of 10 at or above it, a size
// (silences, output period) is cut down to whole frames.
typedef struct mpf_sdi_params_t {
    mpf_sdi_mode_e input_mode;             // detectors that may ever run
    apr_size_t vad_mode;                   // voice detector aggressiveness, 0..3
    apr_size_t speech_start_timeout;       // voice that starts speech input
    apr_size_t speech_complete_timeout;    // silence that completes speech input
    apr_size_t speech_incomplete_timeout;  // the same while no result is reported
    apr_size_t noinput_timeout;            // no input at all
    apr_size_t input_timeout;              // longest input, from its start
    apr_size_t dtmf_interdigit_timeout;    // silence after a digit
    apr_size_t dtmf_term_timeout;          // wait once the minimum length is reached
    char dtmf_term_char;                   // digit that ends input, 0 for none
    apr_size_t dtmf_length;                // exact digit count, 0 when not set
    apr_size_t dtmf_min_length;            // 0 when not set
    apr_size_t dtmf_max_length;            // 0 when not set
    apt_bool_t normalize_input;            // frame speech with fixed silences
    apr_size_t speech_leading_silence;     // kept ahead of the speech
    apr_size_t speech_trailing_silence;    // least kept behind the speech
    apr_size_t speech_output_period;       // audio per chunk handed out
} mpf_sdi_params_t;

// Writes every default.
void mpf_sdi_params_init(mpf_sdi_params_t *params);

// Reads the attributes of the detector's configuration element into params;
// absent attributes keep their value, bad values are logged and skipped.
// Always TRUE. The pool is not used.
apt_bool_t mpf_sdi_params_load(mpf_sdi_params_t *params, const apr_xml_elem *elem,
                               apr_pool_t *pool);

// "NONE", "SPEECH", "DTMF", "SPEECH|DTMF"; "NONE" for anything else.
const char *mpf_sdi_mode_str(mpf_sdi_mode_e mode);
