#include "KoralRxStreamingSettings.h"

#include "KoralRxConfigAttr.h"
#include "KoralRxLog.h"

namespace KORAL {

namespace {
// Longest result-timeout accepted, seconds (a day).
const int64_t kMaxResultTimeout = 86400;

const char *const kConfidenceFormats[] = {"auto", "mrcpv1", "mrcpv2"};
const char *const kResultsFormats[] = {"standard", "transparent"};
const char *const kStartOfInput[] = {"service-originated", "internal"};
}  // namespace

bool StreamingRecogSettings::Load(const apr_xml_elem *elem) {
    for (const apr_xml_attr *attr : XmlElemAttrs(elem)) {
        const char *name = attr->name;
        const char *value = attr->value;
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG,
                "Load Streaming Recognition Attribute: %s = %s", name, value);
        if (NameIs(name, "interim-results")) {
            LoadBoolAttr(name, value, interim_results, KORAL_PLUGIN);
        } else if (NameIs(name, "max-alternatives")) {
            LoadIntAttr(name, value, 1, kMaxConfigNumber, max_alternatives, KORAL_PLUGIN);
        } else if (NameIs(name, "alternatives-below-threshold")) {
            LoadBoolAttr(name, value, alternatives_below_threshold, KORAL_PLUGIN);
        } else if (NameIs(name, "confidence-format")) {
            LoadEnumAttr(name, value, kConfidenceFormats, 3, confidence_format, KORAL_PLUGIN);
        } else if (NameIs(name, "language")) {
            language = value;
        } else if (NameIs(name, "results-format")) {
            LoadEnumAttr(name, value, kResultsFormats, 2, results_format, KORAL_PLUGIN);
        } else if (NameIs(name, "start-of-input")) {
            LoadEnumAttr(name, value, kStartOfInput, 2, start_of_input, KORAL_PLUGIN);
        } else if (NameIs(name, "transcription-grammar")) {
            transcription_grammar = value;
        } else if (NameIs(name, "accept-srgs")) {
            LoadBoolAttr(name, value, accept_srgs, KORAL_PLUGIN);
        } else if (NameIs(name, "skip-unsupported-grammars")) {
            LoadBoolAttr(name, value, skip_unsupported_grammars, KORAL_PLUGIN);
        } else if (NameIs(name, "auth-validation-period")) {
            // Seconds, handed to the token client as a 32-bit value.
            LoadIntAttr(name, value, 0, kMaxConfigNumber, auth_validation_period, KORAL_PLUGIN);
        } else if (NameIs(name, "auth-reattempt-timeout")) {
            LoadIntAttr(name, value, 0, kMaxConfigNumber, auth_reattempt_timeout, KORAL_PLUGIN);
        } else if (NameIs(name, "result-timeout")) {
            // Seconds after the end of audio that a turn waits for its result.
            LoadIntAttr(name, value, 1, kMaxResultTimeout, result_timeout, KORAL_PLUGIN);
        } else if (NameIs(name, "debug-logging")) {
            LoadBoolAttr(name, value, debug_logging, KORAL_PLUGIN);
        } else if (NameIs(name, "http-proxy")) {
            http_proxy = value;
        } else if (NameIs(name, "tls-ca-file")) {
            tls_ca_file = value;
        } else if (NameIs(name, "tls-verify")) {
            LoadBoolAttr(name, value, tls_verify, KORAL_PLUGIN);
        } else {
            apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                    "Unknown Streaming Recognition Attribute <%s>", name);
        }
    }
    return true;
}

}  // namespace KORAL
