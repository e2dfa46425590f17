// The per-recognition state of a channel: the settings a RECOGNIZE fixed, the
// progress flags of its input, its moments, its results and its completion
// cause. It is also the content of the recognition's details record (RDR), a
// JSON file the channel saves at completion when records are enabled and
// hands to the record manager (KoralRxRdrManager.h).
#pragma once

#include <apr_time.h>

#include <cstdint>
#include <string>
#include <vector>

#include "mpf_sdi_params.h"
#include "mpf_sdi_util.h"

namespace KORAL {

// Completion cause value meaning "not decided yet".
const int kCompletionCauseUnknown = 17;

struct RecogAlternative {
    std::string lexical;
    std::string itn;
    float confidence = 0.0f;
};

struct RecognitionDetails {
    // Record.
    bool enabled = false;
    std::string name;
    int32_t version = 0;
    uint64_t sampling_rate = 0;
    // Settings of the recognition.
    uint64_t max_alternatives = 0;
    bool alternatives_below_threshold = false;
    float confidence_threshold = 0.0f;
    bool mrcpv1_confidence = false;
    std::string language;
    bool transparent_results = false;
    bool service_start_of_input = false;
    bool save_waveform = false;
    // Moments, APR microseconds, 0 when not set.
    int64_t start_ts = 0;
    int64_t start_of_input_ts = 0;
    int64_t end_of_input_ts = 0;
    int64_t connection_start_ts = 0;
    int64_t connection_complete_ts = 0;
    int64_t speech_start_ts = 0;
    int64_t speech_end_ts = 0;
    int64_t completion_ts = 0;
    // Input.
    uint64_t sent = 0;                              // audio bytes posted to the service
    uint64_t turns = 0;                             // service turns opened
    mpf_sdi_stats_t input_stats{};                  // as mpf_sdi_stats_init: success, 0 ms, 0 bytes
    mpf_sdi_mode_e input_type = MPF_SDI_MODE_NONE;  // the kind START-OF-INPUT announced
    bool speech_input_started = false;
    bool dtmf_input_started = false;
    bool start_of_input_sent = false;
    bool input_complete = false;
    bool input_complete_sent = false;
    bool speech_end_detected = false;
    bool service_failed = false;
    // Outcome.
    int32_t completion_cause = kCompletionCauseUnknown;
    std::vector<RecogAlternative> transcripts;
    std::string raw_transcripts;

    // Everything back to the state of a new record.
    void Reset() { *this = RecognitionDetails(); }

    // The record's JSON text: one document whatever the strings hold (texts
    // escaped, invalid UTF-8 as U+FFFD, raw_transcripts as it stands only
    // when it is one JSON value). Times are written in ms from start_ts.
    std::string Compose() const;
    // Writes Compose() to `path`; false, logged, when it cannot be written
    // (a partly written file is removed).
    bool Save(const std::string &path) const;

    // Local time "YYYY-MM-DD hh:mm:ss" of a time other than 0; for 0
    // `text` is left as it is.
    static bool GetTimestampStr(apr_time_t time, std::string &text);
    // "speech" for speech input, "dtmf" for DTMF, null otherwise.
    static const char *GetInputTypeStr(mpf_sdi_mode_e type);
};

}  // namespace KORAL
