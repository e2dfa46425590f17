// Utterance recordings: the caller's audio as WAV files in one folder, kept
// within the folder's age and count limits, each with the URI under which a
// client fetches it.
//
// Threads: everything runs on the engine thread. Channels open, write and
// close their files there, and the folder's expiry timers fire there.
#pragma once

#include <apr_file_io.h>
#include <apr_pools.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "KoralRxRecordSettings.h"
#include "OmbraFileManager.h"
#include "OmbraLogFacility.h"

namespace KORAL {

class UtteranceManager : public Ombra::FileManager {
  public:
    using Settings = UtteranceSettings;

    // One recording, owned by a channel: the 44-byte header with both sizes
    // 0, then the audio. CloseWavefile writes the sizes; a file released
    // without it keeps them 0.
    struct WaveFile {
        std::string name;            // file name, without the folder
        std::string uri;             // empty unless the client asked for it
        apr_file_t *file = nullptr;  // null when closed
        apr_pool_t *pool = nullptr;  // holds the open handle
        uint64_t size = 0;           // audio bytes written
        bool stopped = false;        // no more audio is taken (size limit or write failure)

        WaveFile() = default;
        ~WaveFile() { Reset(); }
        WaveFile(const WaveFile &) = delete;
        WaveFile &operator=(const WaveFile &) = delete;

        bool IsOpen() const { return file != nullptr; }
        // Releases an open file as it stands and clears every field.
        void Reset();
    };

    explicit UtteranceManager(const Settings &settings);
    ~UtteranceManager() override;

    // save-waveforms: recordings are made unless a request says otherwise.
    bool IsEnabled() const { return m_SaveWaveforms; }

    // "<prefix><id>-<number>-<rate/1000>-kHz<ext>", as koralrx-abc-7-8-kHz.wav.
    bool ComposeName(std::string &name, const std::string &id, uint64_t number,
                     uint32_t sampling_rate) const;
    // The base URI joined with the name.
    bool ComposeUri(std::string &uri, const std::string &name) const;
    // The folder joined with the name; a name that would leave the folder fails.
    bool ComposePath(std::string &path, const std::string &name) const;

    // Creates (or truncates) the file named by `wave.name` and writes the
    // header; false, logged, if it cannot be written.
    bool OpenWavefile(WaveFile &wave, uint32_t sampling_rate);
    // Appends 16-bit samples (host byte order, little-endian here) and counts
    // them in `wave.size`; returns the bytes written. Audio that would take
    // the file past what a WAV header can describe is dropped, with one
    // warning; after a write failure (logged once) nothing more is written.
    size_t WriteWavefile(WaveFile &wave, const void *data, size_t size);
    // Writes the sizes into the header, closes the file and hands it to the
    // folder's limits. False if the file was not open.
    bool CloseWavefile(WaveFile &wave);

    // The header with both sizes 0 at the file's current position.
    static bool PrepareWaveHeader(apr_file_t *file, uint32_t sampling_rate);
    // Writes data_size at offset 40 and data_size + 36 at offset 4; false if
    // a seek or write fails.
    static bool FinalizeWaveHeader(apr_file_t *file, uint32_t data_size);

  private:
    Ombra::LogFacility m_Facility;
    bool m_SaveWaveforms;
    std::string m_BaseUri;
};

}  // namespace KORAL
