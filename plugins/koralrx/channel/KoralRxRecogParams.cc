#include "KoralRxRecogParams.h"

#include <cstring>

namespace KORAL {

const mrcp_recognizer_header_id RecogParams::kHeaders[] = {
    RECOGNIZER_HEADER_SPEECH_LANGUAGE,           RECOGNIZER_HEADER_N_BEST_LIST_LENGTH,
    RECOGNIZER_HEADER_START_INPUT_TIMERS,        RECOGNIZER_HEADER_NO_INPUT_TIMEOUT,
    RECOGNIZER_HEADER_RECOGNITION_TIMEOUT,       RECOGNIZER_HEADER_SPEECH_COMPLETE_TIMEOUT,
    RECOGNIZER_HEADER_SPEECH_INCOMPLETE_TIMEOUT, RECOGNIZER_HEADER_DTMF_INTERDIGIT_TIMEOUT,
    RECOGNIZER_HEADER_DTMF_TERM_TIMEOUT,         RECOGNIZER_HEADER_DTMF_TERM_CHAR,
    RECOGNIZER_HEADER_SENSITIVITY_LEVEL,         RECOGNIZER_HEADER_SAVE_WAVEFORM,
    RECOGNIZER_HEADER_CONFIDENCE_THRESHOLD,
};
const size_t RecogParams::kHeaderCount = sizeof(kHeaders) / sizeof(kHeaders[0]);

bool RecogParams::IsHonoured(mrcp_recognizer_header_id id) {
    for (size_t i = 0; i < kHeaderCount; ++i)
        if (kHeaders[i] == id) return true;
    return false;
}

namespace {

// Copies the value of one header between two header blocks (the language aside).
void CopyValue(mrcp_recognizer_header_id id, const mrcp_recog_header_t &from,
               mrcp_recog_header_t &to) {
    switch (id) {
        case RECOGNIZER_HEADER_N_BEST_LIST_LENGTH:
            to.n_best_list_length = from.n_best_list_length;
            break;
        case RECOGNIZER_HEADER_START_INPUT_TIMERS:
            to.start_input_timers = from.start_input_timers;
            break;
        case RECOGNIZER_HEADER_NO_INPUT_TIMEOUT:
            to.no_input_timeout = from.no_input_timeout;
            break;
        case RECOGNIZER_HEADER_RECOGNITION_TIMEOUT:
            to.recognition_timeout = from.recognition_timeout;
            break;
        case RECOGNIZER_HEADER_SPEECH_COMPLETE_TIMEOUT:
            to.speech_complete_timeout = from.speech_complete_timeout;
            break;
        case RECOGNIZER_HEADER_SPEECH_INCOMPLETE_TIMEOUT:
            to.speech_incomplete_timeout = from.speech_incomplete_timeout;
            break;
        case RECOGNIZER_HEADER_DTMF_INTERDIGIT_TIMEOUT:
            to.dtmf_interdigit_timeout = from.dtmf_interdigit_timeout;
            break;
        case RECOGNIZER_HEADER_DTMF_TERM_TIMEOUT:
            to.dtmf_term_timeout = from.dtmf_term_timeout;
            break;
        case RECOGNIZER_HEADER_DTMF_TERM_CHAR:
            to.dtmf_term_char = from.dtmf_term_char;
            break;
        case RECOGNIZER_HEADER_SENSITIVITY_LEVEL:
            to.sensitivity_level = from.sensitivity_level;
            break;
        case RECOGNIZER_HEADER_SAVE_WAVEFORM:
            to.save_waveform = from.save_waveform;
            break;
        case RECOGNIZER_HEADER_CONFIDENCE_THRESHOLD:
            to.confidence_threshold = from.confidence_threshold;
            break;
        default:
            break;
    }
}

bool IsLanguageTag(const std::string &text) {
    if (text.empty() || text.size() > 64) return false;
    for (char c : text) {
        bool ok =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
        if (!ok) return false;
    }
    return true;
}

}  // namespace

void RecogParams::Read(const mrcp_message_t *message) {
    const mrcp_recog_header_t *header = mrcp_resource_header_get(message);
    if (!header) return;
    for (size_t i = 0; i < kHeaderCount; ++i) {
        mrcp_recognizer_header_id id = kHeaders[i];
        if (!mrcp_resource_header_property_check(message, id)) continue;
        mask |= Bit(id);
        if (id == RECOGNIZER_HEADER_SPEECH_LANGUAGE)
            speech_language.assign(
                header->speech_language.buf ? header->speech_language.buf : "",
                header->speech_language.buf ? header->speech_language.length : 0);
        else
            CopyValue(id, *header, values);
    }
}

void RecogParams::Merge(const RecogParams &other) {
    for (size_t i = 0; i < kHeaderCount; ++i) {
        mrcp_recognizer_header_id id = kHeaders[i];
        if (!other.Has(id)) continue;
        mask |= Bit(id);
        if (id == RECOGNIZER_HEADER_SPEECH_LANGUAGE)
            speech_language = other.speech_language;
        else
            CopyValue(id, other.values, values);
    }
}

mrcp_recognizer_header_id RecogParams::FindIllegal() const {
    if (Has(RECOGNIZER_HEADER_SPEECH_LANGUAGE) && !IsLanguageTag(speech_language))
        return RECOGNIZER_HEADER_SPEECH_LANGUAGE;
    if (Has(RECOGNIZER_HEADER_N_BEST_LIST_LENGTH) && values.n_best_list_length == 0)
        return RECOGNIZER_HEADER_N_BEST_LIST_LENGTH;
    if (Has(RECOGNIZER_HEADER_DTMF_TERM_CHAR) && values.dtmf_term_char != 0 &&
        !strchr("0123456789*#ABCD", values.dtmf_term_char))
        return RECOGNIZER_HEADER_DTMF_TERM_CHAR;
    if (Has(RECOGNIZER_HEADER_SENSITIVITY_LEVEL) &&
        !(values.sensitivity_level >= 0.0f && values.sensitivity_level <= 1.0f))
        return RECOGNIZER_HEADER_SENSITIVITY_LEVEL;
    if (Has(RECOGNIZER_HEADER_CONFIDENCE_THRESHOLD) &&
        !(values.confidence_threshold >= 0.0f && values.confidence_threshold <= 1.0f))
        return RECOGNIZER_HEADER_CONFIDENCE_THRESHOLD;
    return RECOGNIZER_HEADER_COUNT;
}

void RecogParams::Write(mrcp_message_t *message, uint64_t which) const {
    mrcp_recog_header_t *header = mrcp_resource_header_get(message);
    if (!header) return;
    for (size_t i = 0; i < kHeaderCount; ++i) {
        mrcp_recognizer_header_id id = kHeaders[i];
        if (!(which & Bit(id)) || !Has(id)) continue;
        if (id == RECOGNIZER_HEADER_SPEECH_LANGUAGE)
            apt_string_assign(&header->speech_language, speech_language.c_str(), message->pool);
        else
            CopyValue(id, values, *header);
        mrcp_resource_header_property_add(message, id);
    }
}

}  // namespace KORAL
