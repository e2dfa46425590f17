// Recognition details records (RDR): one small JSON file per recognition
// with its parameters, the timing of its input, connection and speech
// events, its transcripts and its completion cause, in one folder kept
// within the folder's age and count limits.
//
// Threads: the manager runs on the engine thread (channels register their
// records there, the expiry timers fire there). A RecognitionDetails belongs
// to one channel.
#ifndef KORALRX_RDR_MANAGER_H
#define KORALRX_RDR_MANAGER_H

#include <apr_time.h>

#include <cstdint>
#include <string>
#include <vector>

#include "KoralRxRecordSettings.h"
#include "OmbraFileManager.h"
#include "OmbraLogFacility.h"
#include "mpf_sdi_params.h"
#include "mpf_sdi_util.h"

namespace KORAL {

class RdrManager : public Ombra::FileManager {
  public:
    using Settings = RdrSettings;

    // One alternative of a result.
    struct RecogAlternative {
        std::string lexical;  // the text the record shows
        std::string itn;      // inverse-text-normalized form, for results
        float confidence = 0.0f;
    };

    // The per-recognition state of a channel and the content of its record.
    // Times are APR times (microseconds), 0 when not set.
    struct RecognitionDetails {
        // Completion cause meaning "not decided yet".
        static constexpr int32_t kCauseUnknown = 17;

        bool enabled = false;  // a record is written at completion
        std::string name;      // record file name
        int32_t version = 0;   // MRCP version, for the completion cause name
        uint64_t sampling_rate = 0;
        uint64_t max_alternatives = 0;
        bool alternatives_below_threshold = false;
        float confidence_threshold = 0.0f;
        bool mrcpv1_confidence = false;
        std::string language;
        bool transparent_results = false;
        bool service_start_of_input = false;
        bool save_waveform = false;

        apr_time_t start_ts = 0;  // base of every offset in the record
        apr_time_t start_of_input_ts = 0;
        apr_time_t end_of_input_ts = 0;
        apr_time_t connection_start_ts = 0;
        apr_time_t connection_complete_ts = 0;
        apr_time_t speech_start_ts = 0;
        apr_time_t speech_end_ts = 0;
        apr_time_t completion_ts = 0;
        uint64_t sent = 0;   // audio bytes sent to the service
        uint64_t turns = 0;  // service turns

        mpf_sdi_stats_t input_stats;
        mpf_sdi_mode_e input_type = MPF_SDI_MODE_NONE;  // speech or DTMF, once announced

        bool speech_input_started = false;
        bool dtmf_input_started = false;
        bool start_of_input_sent = false;
        bool input_complete = false;
        bool input_complete_sent = false;
        bool speech_end_detected = false;
        bool service_failed = false;

        int32_t completion_cause = kCauseUnknown;  // MRCP recognizer numbering
        std::vector<RecogAlternative> transcripts;
        std::string raw_transcripts;  // the service's result, used when the list is empty

        RecognitionDetails();
        // Back to the state of construction.
        void Reset();

        // The record's JSON text, one document whatever the strings hold.
        std::string Compose() const;
        // Writes Compose() to `path`; false, logged, when it cannot be
        // written (a partly written file is removed).
        bool Save(const std::string &path) const;

        // Local time "YYYY-MM-DD hh:mm:ss" of a time other than 0; for 0
        // `text` is left as it is.
        static bool GetTimestampStr(apr_time_t time, std::string &text);
        // "speech" (1) or "dtmf" (2), true; any other type leaves `text`
        // and returns false.
        static bool GetInputTypeStr(int type, std::string &text);
    };

    explicit RdrManager(const Settings &settings);
    ~RdrManager() override;

    // save-records: every recognition writes a record.
    bool IsEnabled() const { return m_SaveRecords; }

    // "<prefix><id>-<number><ext>", as koralrx-abc-7.json.
    bool ComposeName(std::string &name, const std::string &id, uint64_t number) const;
    // The folder joined with the name; a name that would leave the folder fails.
    bool ComposePath(std::string &path, const std::string &name) const;

  private:
    Ombra::LogFacility m_Facility;
    bool m_SaveRecords;
};

}  // namespace KORAL

#endif  // KORALRX_RDR_MANAGER_H
