// Recognition details records (RDR): one small JSON file per recognition
// with its parameters, the timing of its input, connection and speech
// events, its transcripts and its completion cause, in one folder kept
// within the folder's age and count limits. The record itself is the
// channel's RecognitionDetails.
//
// Threads: the manager runs on the engine thread (channels register their
// records there, the expiry timers fire there).
#pragma once

#include <cstdint>
#include <string>

#include "KoralRxRecognitionDetails.h"
#include "KoralRxRecordSettings.h"
#include "OmbraFileManager.h"
#include "OmbraLogFacility.h"

namespace KORAL {

class RdrManager : public Ombra::FileManager {
  public:
    using Settings = RdrSettings;

    // The record a channel fills and saves (KoralRxRecognitionDetails.h).
    using RecognitionDetails = KORAL::RecognitionDetails;
    using RecogAlternative = KORAL::RecogAlternative;

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
