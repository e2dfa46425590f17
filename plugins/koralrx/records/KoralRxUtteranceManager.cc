#include "KoralRxUtteranceManager.h"

#include <apr_time.h>

#include "KoralRxRecordFolder.h"
#include "KoralRxWaveHeader.h"

#define UTTM_LOG(level, ...) \
    Ombra::FacilityLog(m_Facility, 0, Ombra::level, 0, OMBRA_LOG_MARK, __VA_ARGS__)

namespace KORAL {

void UtteranceManager::WaveFile::Reset() {
    // Destroying the pool closes the handle.
    if (pool) apr_pool_destroy(pool);
    pool = nullptr;
    file = nullptr;
    name.clear();
    uri.clear();
    size = 0;
    stopped = false;
}

UtteranceManager::UtteranceManager(const Settings &settings)
    : Ombra::FileManager(&m_Facility),
      m_Facility("UTTM", static_cast<Ombra::LogLevel>(settings.log_level)),
      m_SaveWaveforms(settings.save_waveforms),
      m_BaseUri(settings.waveform_base_uri) {
    ApplyRecordFolderLimits(*this, settings.waveform_folder, settings);
}

// The base forgets the entries too; doing it here keeps the facility alive
// for as long as the entries are.
UtteranceManager::~UtteranceManager() { DestroyFileEntries(); }

bool UtteranceManager::ComposeName(std::string &name, const std::string &id, uint64_t number,
                                   uint32_t sampling_rate) const {
    return FormatText(name, "%s%s-%lu-%u-kHz%s", m_FilePrefix.c_str(), id.c_str(),
                      static_cast<unsigned long>(number), sampling_rate / 1000,
                      m_FileExtension.c_str());
}

bool UtteranceManager::ComposeUri(std::string &uri, const std::string &name) const {
    if (!MergeFilePath(uri, m_BaseUri, name, 0)) {
        UTTM_LOG(LOG_LEVEL_WARNING, "Failed to Compose Waveform URI for [%s]", name.c_str());
        return false;
    }
    return true;
}

bool UtteranceManager::ComposePath(std::string &path, const std::string &name) const {
    if (!MergeFilePath(path, m_Directory, name, APR_FILEPATH_NATIVE | APR_FILEPATH_SECUREROOT)) {
        UTTM_LOG(LOG_LEVEL_WARNING, "Failed to Compose Waveform File Path for [%s]", name.c_str());
        return false;
    }
    return true;
}

bool UtteranceManager::OpenWavefile(WaveFile &wave, uint32_t sampling_rate) {
    std::string path;
    if (!ComposePath(path, wave.name)) return false;
    UTTM_LOG(LOG_LEVEL_INFO, "Open Waveform File for Writing %s, sampling-rate [%d]", path.c_str(),
             static_cast<int>(sampling_rate));
    if (wave.IsOpen()) {
        // A file left open by its owner: released as it stands.
        UTTM_LOG(LOG_LEVEL_WARNING, "Waveform File %s Still Open", wave.name.c_str());
        apr_pool_destroy(wave.pool);
        wave.pool = nullptr;
        wave.file = nullptr;
    }
    wave.size = 0;
    wave.stopped = false;

    if (apr_pool_create(&wave.pool, nullptr) != APR_SUCCESS) {
        wave.pool = nullptr;
        UTTM_LOG(LOG_LEVEL_WARNING, "Cannot Open Waveform File for Writing %s", path.c_str());
        return false;
    }
    const apr_int32_t flags =
        APR_FOPEN_WRITE | APR_FOPEN_CREATE | APR_FOPEN_TRUNCATE | APR_FOPEN_BINARY;
    bool ok =
        apr_file_open(&wave.file, path.c_str(), flags, APR_OS_DEFAULT, wave.pool) == APR_SUCCESS;
    // A file without its header is no WAV file: refused like one that
    // cannot be created.
    if (ok && !PrepareWaveHeader(wave.file, sampling_rate)) {
        ok = false;
        apr_file_close(wave.file);
        Ombra::RemoveFile(path);
    }
    if (!ok) {
        UTTM_LOG(LOG_LEVEL_WARNING, "Cannot Open Waveform File for Writing %s", path.c_str());
        apr_pool_destroy(wave.pool);
        wave.pool = nullptr;
        wave.file = nullptr;
        return false;
    }
    return true;
}

size_t UtteranceManager::WriteWavefile(WaveFile &wave, const void *data, size_t size) {
    if (!wave.IsOpen() || wave.stopped || size == 0) return 0;
    size_t count = size;
    const uint64_t room = kMaxWaveDataSize - wave.size;
    if (count > room) {
        count = static_cast<size_t>(room);
        wave.stopped = true;
        UTTM_LOG(LOG_LEVEL_WARNING,
                 "Waveform File %s Reached the WAV Size Limit [%lu bytes], Rest Not Recorded",
                 wave.name.c_str(), static_cast<unsigned long>(kMaxWaveDataSize));
    }
    if (count == 0) return 0;
    apr_size_t written = 0;
    if (apr_file_write_full(wave.file, data, count, &written) != APR_SUCCESS) {
        wave.stopped = true;
        UTTM_LOG(LOG_LEVEL_WARNING, "Failed to Write Waveform File %s, content-length [%lu]",
                 wave.name.c_str(), static_cast<unsigned long>(wave.size + written));
    }
    wave.size += written;
    return written;
}

bool UtteranceManager::CloseWavefile(WaveFile &wave) {
    if (!wave.IsOpen()) return false;
    UTTM_LOG(LOG_LEVEL_DEBUG, "Close Waveform File %s, content-length [%lu]", wave.name.c_str(),
             static_cast<unsigned long>(wave.size));
    // WriteWavefile keeps the size within 32 bits.
    if (!FinalizeWaveHeader(wave.file, static_cast<uint32_t>(wave.size))) {
        UTTM_LOG(LOG_LEVEL_WARNING, "Failed to Finalize Waveform File %s", wave.name.c_str());
    }
    apr_pool_destroy(wave.pool);  // closes the file
    wave.pool = nullptr;
    wave.file = nullptr;
    AddFileEntry(wave.name, apr_time_now());
    return true;
}

bool UtteranceManager::PrepareWaveHeader(apr_file_t *file, uint32_t sampling_rate) {
    uint8_t header[kWaveHeaderSize];
    size_t size = 0;
    KORAL::PrepareWaveHeader(sampling_rate, header, size);
    return apr_file_write_full(file, header, size, nullptr) == APR_SUCCESS;
}

bool UtteranceManager::FinalizeWaveHeader(apr_file_t *file, uint32_t data_size) {
    uint8_t riff[4];
    uint8_t data[4];
    EncodeWaveSizes(data_size, riff, data);
    apr_off_t offset = kWaveDataSizeOffset;
    if (apr_file_seek(file, APR_SET, &offset) != APR_SUCCESS ||
        apr_file_write_full(file, data, sizeof(data), nullptr) != APR_SUCCESS)
        return false;
    offset = kWaveRiffSizeOffset;
    if (apr_file_seek(file, APR_SET, &offset) != APR_SUCCESS ||
        apr_file_write_full(file, riff, sizeof(riff), nullptr) != APR_SUCCESS)
        return false;
    return true;
}

}  // namespace KORAL
