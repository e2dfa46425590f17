#include "KoralRxRdrManager.h"

#include "KoralRxRecordFolder.h"

namespace KORAL {

RdrManager::RdrManager(const Settings &settings)
    : Ombra::FileManager(&m_Facility),
      m_Facility("RDRM", static_cast<Ombra::LogLevel>(settings.log_level)),
      m_SaveRecords(settings.save_records) {
    ApplyRecordFolderLimits(*this, settings.record_folder, settings);
}

// The base forgets the entries too; doing it here keeps the facility alive
// for as long as the entries are.
RdrManager::~RdrManager() { DestroyFileEntries(); }

bool RdrManager::ComposeName(std::string &name, const std::string &id, uint64_t number) const {
    return FormatText(name, "%s%s-%lu%s", m_FilePrefix.c_str(), id.c_str(),
                      static_cast<unsigned long>(number), m_FileExtension.c_str());
}

bool RdrManager::ComposePath(std::string &path, const std::string &name) const {
    if (!MergeFilePath(path, m_Directory, name, APR_FILEPATH_NATIVE | APR_FILEPATH_SECUREROOT)) {
        Ombra::FacilityLog(m_Facility, 0, Ombra::LOG_LEVEL_WARNING, 0, OMBRA_LOG_MARK,
                           "Failed to Compose RDR File Path for [%s]", name.c_str());
        return false;
    }
    return true;
}

}  // namespace KORAL
