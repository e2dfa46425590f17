#include "mpf_sdi_params.h"

#include "KoralRxConfigAttr.h"
#include "KoralRxLog.h"

namespace {

const char *const kModeWords[] = {"none", "speech", "dtmf", "both"};

// Durations and digit counts: never negative, and within the 32-bit range the
// detector logs them in.
void LoadSize(const char *name, const char *value, apr_size_t &field) {
    KORAL::LoadIntAttr(name, value, 0, KORAL::kMaxConfigNumber, field, nullptr);
}

void LoadAttr(mpf_sdi_params_t *params, const char *name, const char *value) {
    using KORAL::NameIs;
    if (NameIs(name, "input-mode")) {
        for (int i = 0; i < 4; ++i) {
            if (NameIs(value, kModeWords[i])) {
                params->input_mode = static_cast<mpf_sdi_mode_e>(i);
                return;
            }
        }
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "Unexpected Value <%s> for SDI Attribute <%s>", value, name);
    } else if (NameIs(name, "vad-mode")) {
        KORAL::LoadIntAttr(name, value, 0, 3, params->vad_mode, nullptr);
    } else if (NameIs(name, "speech-start-timeout")) {
        LoadSize(name, value, params->speech_start_timeout);
    } else if (NameIs(name, "speech-complete-timeout")) {
        LoadSize(name, value, params->speech_complete_timeout);
    } else if (NameIs(name, "speech-incomplete-timeout")) {
        LoadSize(name, value, params->speech_incomplete_timeout);
    } else if (NameIs(name, "noinput-timeout")) {
        LoadSize(name, value, params->noinput_timeout);
    } else if (NameIs(name, "input-timeout")) {
        LoadSize(name, value, params->input_timeout);
    } else if (NameIs(name, "dtmf-interdigit-timeout")) {
        LoadSize(name, value, params->dtmf_interdigit_timeout);
    } else if (NameIs(name, "dtmf-term-timeout")) {
        LoadSize(name, value, params->dtmf_term_timeout);
    } else if (NameIs(name, "dtmf-term-char")) {
        params->dtmf_term_char = value[0];
    } else if (NameIs(name, "dtmf-max-length")) {
        LoadSize(name, value, params->dtmf_max_length);
    } else if (NameIs(name, "dtmf-min-length")) {
        LoadSize(name, value, params->dtmf_min_length);
    } else if (NameIs(name, "dtmf-length")) {
        LoadSize(name, value, params->dtmf_length);
    } else if (NameIs(name, "normalize-input")) {
        bool flag = params->normalize_input != FALSE;
        if (KORAL::LoadBoolAttr(name, value, flag, nullptr)) {
            params->normalize_input = flag ? TRUE : FALSE;
        }
    } else if (NameIs(name, "speech-leading-silence")) {
        LoadSize(name, value, params->speech_leading_silence);
    } else if (NameIs(name, "speech-trailing-silence")) {
        LoadSize(name, value, params->speech_trailing_silence);
    } else if (NameIs(name, "speech-output-period")) {
        LoadSize(name, value, params->speech_output_period);
    } else {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Unknown SDI Attribute <%s>", name);
    }
}

}  // namespace

void mpf_sdi_params_init(mpf_sdi_params_t *params) {
    params->input_mode = MPF_SDI_MODE_SPEECH_DTMF;
    params->vad_mode = 2;
    params->speech_start_timeout = 300;
    params->speech_complete_timeout = 1000;
    params->speech_incomplete_timeout = 3000;
    params->noinput_timeout = 10000;
    params->input_timeout = 20000;
    params->dtmf_interdigit_timeout = 5000;
    params->dtmf_term_timeout = 5000;
    params->dtmf_term_char = 0;
    params->dtmf_length = 0;
    params->dtmf_min_length = 0;
    params->dtmf_max_length = 0;
    params->normalize_input = TRUE;
    params->speech_leading_silence = 50;
    params->speech_trailing_silence = 50;
    params->speech_output_period = 80;
}

apt_bool_t mpf_sdi_params_load(mpf_sdi_params_t *params, const apr_xml_elem *elem,
                               apr_pool_t *pool) {
    if (!params || !elem) return TRUE;
    // The XML parser links attributes last to first; they are applied in
    // document order so that a repeated attribute's later value wins. The
    // list is short: walking it again for each one costs less than a copy.
    apr_size_t count = 0;
    for (const apr_xml_attr *attr = elem->attr; attr; attr = attr->next) ++count;
    for (apr_size_t left = count; left > 0; --left) {
        const apr_xml_attr *attr = elem->attr;
        for (apr_size_t i = 1; i < left; ++i) attr = attr->next;
        const char *name = attr->name ? attr->name : "";
        const char *value = attr->value ? attr->value : "";
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Load SDI Attribute: %s = %s", name,
                value);
        LoadAttr(params, name, value);
    }
    return TRUE;
}

const char *mpf_sdi_mode_str(mpf_sdi_mode_e mode) {
    switch (mode) {
        case MPF_SDI_MODE_SPEECH:
            return "SPEECH";
        case MPF_SDI_MODE_DTMF:
            return "DTMF";
        case MPF_SDI_MODE_SPEECH_DTMF:
            return "SPEECH|DTMF";
        default:
            return "NONE";
    }
}
