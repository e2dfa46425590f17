// Settings of the streaming recognition block (<ws-streaming-recognition>).
#pragma once

#include <apr_xml.h>

#include <cstdint>
#include <string>

namespace KORAL {

struct StreamingRecogSettings {
    enum ConfidenceFormat : int32_t {
        CONFIDENCE_AUTO = 0,
        CONFIDENCE_MRCPV1 = 1,
        CONFIDENCE_MRCPV2 = 2
    };
    enum ResultsFormat : int32_t { RESULTS_STANDARD = 0, RESULTS_TRANSPARENT = 1 };
    enum StartOfInput : int32_t { START_OF_INPUT_SERVICE = 0, START_OF_INPUT_INTERNAL = 1 };

    bool interim_results = false;
    int64_t max_alternatives = 1;
    bool alternatives_below_threshold = false;
    int32_t confidence_format = CONFIDENCE_AUTO;
    std::string language = "en-US";
    int32_t results_format = RESULTS_STANDARD;
    int32_t start_of_input = START_OF_INPUT_SERVICE;
    std::string transcription_grammar = "transcribe";
    bool accept_srgs = true;
    bool skip_unsupported_grammars = true;
    int64_t auth_validation_period = 480;  // seconds
    int64_t auth_reattempt_timeout = 60;   // seconds
    // Wait for a turn's result once the end of its audio is sent, seconds.
    int64_t result_timeout = 10;
    bool debug_logging = false;
    std::string http_proxy;
    // Server certificate verification of the speech and token endpoints.
    std::string tls_ca_file;  // CA bundle to trust instead of the system store
    bool tls_verify = true;

    // Reads the element's attributes over the current values; always true.
    bool Load(const apr_xml_elem *elem);
};

}  // namespace KORAL
