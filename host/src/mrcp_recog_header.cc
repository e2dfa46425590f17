// Recognizer header names and value types, and completion cause names per version.
#include "mrcp_recog_header.h"

#include <cstddef>

#include "mrcp_header_value.h"

namespace vantor {

namespace {

#define RH(v2, v1, type, field) \
    { v2, v1, ValueType::type, offsetof(mrcp_recog_header_t, field) }

const HeaderDescriptor kRecog[RECOGNIZER_HEADER_COUNT] = {
    RH("Confidence-Threshold", "Confidence-Threshold", kUnitFloat, confidence_threshold),
    RH("Sensitivity-Level", "Sensitivity-Level", kUnitFloat, sensitivity_level),
    RH("Speed-Vs-Accuracy", "Speed-Vs-Accuracy", kUnitFloatReversedV1, speed_vs_accuracy),
    RH("N-Best-List-Length", "N-Best-List-Length", kSize, n_best_list_length),
    RH("No-Input-Timeout", "No-Input-Timeout", kSize, no_input_timeout),
    RH("Recognition-Timeout", "Recognition-Timeout", kSize, recognition_timeout),
    RH("Waveform-URI", "Waveform-URL", kString, waveform_uri),
    RH("Completion-Cause", "Completion-Cause", kCause, completion_cause),
    RH("Recognizer-Context-Block", "Recognizer-Context-Block", kString, recognizer_context_block),
    RH("Start-Input-Timers", "Recognizer-Start-Timers", kBool, start_input_timers),
    RH("Speech-Complete-Timeout", "Speech-Complete-Timeout", kSize, speech_complete_timeout),
    RH("Speech-Incomplete-Timeout", "Speech-Incomplete-Timeout", kSize, speech_incomplete_timeout),
    RH("DTMF-Interdigit-Timeout", "DTMF-Interdigit-Timeout", kSize, dtmf_interdigit_timeout),
    RH("DTMF-Term-Timeout", "DTMF-Term-Timeout", kSize, dtmf_term_timeout),
    RH("DTMF-Term-Char", "DTMF-Term-Char", kChar, dtmf_term_char),
    RH("Failed-URI", "Failed-URI", kString, failed_uri),
    RH("Failed-URI-Cause", "Failed-URI-Cause", kString, failed_uri_cause),
    RH("Save-Waveform", "Save-Waveform", kBool, save_waveform),
    RH("New-Audio-Channel", "New-Audio-Channel", kBool, new_audio_channel),
    RH("Speech-Language", "Speech-Language", kString, speech_language),
    RH("Input-Type", nullptr, kString, input_type),
    RH("Input-Waveform-URI", nullptr, kString, input_waveform_uri),
    RH("Completion-Reason", nullptr, kString, completion_reason),
    RH("Media-Type", nullptr, kString, media_type),
    RH("Ver-Buffer-Utterance", nullptr, kBool, ver_buffer_utterance),
    RH("Recognition-Mode", nullptr, kString, recognition_mode),
    RH("Cancel-If-Queue", nullptr, kBool, cancel_if_queue),
    RH("Hotword-Max-Duration", nullptr, kSize, hotword_max_duration),
    RH("Hotword-Min-Duration", nullptr, kSize, hotword_min_duration),
    RH("Interpret-Text", nullptr, kString, interpret_text),
    RH("DTMF-Buffer-Time", nullptr, kSize, dtmf_buffer_time),
    RH("Clear-DTMF-Buffer", nullptr, kBool, clear_dtmf_buffer),
    RH("Early-No-Match", nullptr, kBool, early_no_match),
    RH("Num-Min-Consistent-Pronunciations", nullptr, kSize, num_min_consistent_pronunciations),
    RH("Consistency-Threshold", nullptr, kUnitFloat, consistency_threshold),
    RH("Clash-Threshold", nullptr, kUnitFloat, clash_threshold),
    RH("Personal-Grammar-URI", nullptr, kString, personal_grammar_uri),
    RH("Enroll-Utterance", nullptr, kBool, enroll_utterance),
    RH("Phrase-ID", nullptr, kString, phrase_id),
    RH("Phrase-NL", nullptr, kString, phrase_nl),
    RH("Weight", nullptr, kFloat, weight),
    RH("Save-Best-Waveform", nullptr, kBool, save_best_waveform),
    RH("New-Phrase-ID", nullptr, kString, new_phrase_id),
    RH("Confusable-Phrases-URI", nullptr, kString, confusable_phrases_uri),
    RH("Abort-Phrase-Enrollment", nullptr, kBool, abort_phrase_enrollment),
};

#undef RH

#define S(text) \
    { const_cast<char *>(text), sizeof(text) - 1 }

const apt_str_t kV2CauseNames[RECOGNIZER_COMPLETION_CAUSE_COUNT] = {
    S("success"),
    S("no-match"),
    S("no-input-timeout"),
    S("hotword-maxtime"),
    S("grammar-load-failure"),
    S("grammar-compilation-failure"),
    S("recognizer-error"),
    S("speech-too-early"),
    S("success-maxtime"),
    S("uri-failure"),
    S("language-unsupported"),
    S("cancelled"),
    S("semantics-failure"),
    S("partial-match"),
    S("partial-match-maxtime"),
    S("no-match-maxtime"),
    S("grammar-definition-failure"),
};

const apt_str_t kV1CauseNames[] = {
    S("success"),
    S("no-match"),
    S("no-input-timeout"),
    S("recognition-timeout"),
    S("gram-load-failure"),
    S("gram-comp-failure"),
    S("error"),
    S("speech-too-early"),
    S("too-much-speech-timeout"),
    S("uri-failure"),
    S("language-unsupported"),
};

#undef S

// The MRCPv1 number each MRCPv2 cause is written with; MRCPv1 stops at 10, so the
// later causes take the nearest meaning.
const int kV1CauseCodes[RECOGNIZER_COMPLETION_CAUSE_COUNT] = {
    0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10,
    6,  // cancelled -> error
    1,  // semantics-failure -> no-match
    1,  // partial-match -> no-match
    3,  // partial-match-maxtime -> recognition-timeout
    3,  // no-match-maxtime -> recognition-timeout
    4,  // grammar-definition-failure -> gram-load-failure
};

}  // namespace

const HeaderDescriptor *RecogHeaderDescriptor(apr_size_t id) {
    return id < RECOGNIZER_HEADER_COUNT ? &kRecog[id] : nullptr;
}

}  // namespace vantor

extern "C" {

APT_DECLARE(const char *)
mrcp_recog_header_name_get(mrcp_recognizer_header_id id, mrcp_version_e version) {
    const vantor::HeaderDescriptor *d = vantor::RecogHeaderDescriptor(id);
    return d ? vantor::HeaderName(*d, version) : nullptr;
}

APT_DECLARE(mrcp_recognizer_header_id)
mrcp_recog_header_id_find(const char *name, apr_size_t length, mrcp_version_e version) {
    return static_cast<mrcp_recognizer_header_id>(vantor::HeaderFind(
        vantor::RecogHeaderDescriptor(0), RECOGNIZER_HEADER_COUNT, name, length, version));
}

APT_DECLARE(int)
mrcp_recog_completion_cause_code_get(mrcp_recog_completion_cause_e cause, mrcp_version_e version) {
    if ((unsigned)cause >= RECOGNIZER_COMPLETION_CAUSE_COUNT) return -1;
    if (version == MRCP_VERSION_2) return (int)cause;
    if (version == MRCP_VERSION_1) return vantor::kV1CauseCodes[cause];
    return -1;
}

APT_DECLARE(const apt_str_t *)
mrcp_recog_completion_cause_get(mrcp_recog_completion_cause_e cause, mrcp_version_e version) {
    int code = mrcp_recog_completion_cause_code_get(cause, version);
    if (code < 0) return nullptr;
    return version == MRCP_VERSION_1 ? &vantor::kV1CauseNames[code] : &vantor::kV2CauseNames[code];
}

}  // extern "C"
