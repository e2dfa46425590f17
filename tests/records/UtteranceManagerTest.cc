// Utterance recordings: names, URIs and paths, the WAV header while open and
// after close, the 32-bit size limit, an unwritable folder, and both record
// folders kept within their count and age limits as recognitions go on.
#include <unistd.h>

#include <vector>

#include "KoralRxRdrManager.h"
#include "KoralRxUtteranceManager.h"
#include "KoralRxWaveHeader.h"
#include "RecordsTestSupport.h"

namespace KORAL {
namespace {

using test::RecordsTest;
using WaveFile = UtteranceManager::WaveFile;

class UtteranceManagerTest : public RecordsTest {
  protected:
    UtteranceManager::Settings Settings() const {
        UtteranceManager::Settings settings;
        settings.save_waveforms = true;
        settings.waveform_folder = folder_;
        return settings;
    }
    std::string Read(const std::string &name) const {
        std::string bytes;
        EXPECT_TRUE(KoralTest::ReadTextFile(Path(name), bytes)) << name;
        return bytes;
    }
    // Opens `name` at `rate` and writes `size` bytes in 80 ms chunks.
    std::string Record(UtteranceManager &manager, WaveFile &wave, const std::string &name,
                       uint32_t rate, size_t size) {
        wave.name = name;
        EXPECT_TRUE(manager.OpenWavefile(wave, rate));
        std::string audio;
        for (size_t i = 0; i < size; ++i) audio += static_cast<char>(i * 7 + 3);
        const size_t chunk = rate * 2 * 80 / 1000;
        for (size_t at = 0; at < size; at += chunk) {
            size_t n = std::min(chunk, size - at);
            EXPECT_EQ(n, manager.WriteWavefile(wave, audio.data() + at, n));
        }
        return audio;
    }
};

TEST_F(UtteranceManagerTest, NamesUrisAndPaths) {
    UtteranceManager manager(Settings());
    std::string name, uri, path;
    ASSERT_TRUE(manager.ComposeName(name, "abc", 7, 8000));
    EXPECT_EQ("koralrx-abc-7-8-kHz.wav", name);
    ASSERT_TRUE(manager.ComposeName(name, "abc", 7, 16000));
    EXPECT_EQ("koralrx-abc-7-16-kHz.wav", name);
    ASSERT_TRUE(manager.ComposeName(name, "abc", 7, 11025));
    EXPECT_EQ("koralrx-abc-7-11-kHz.wav", name);

    ASSERT_TRUE(manager.ComposeUri(uri, "koralrx-abc-7-8-kHz.wav"));
    EXPECT_EQ("http://localhost/utterances/koralrx-abc-7-8-kHz.wav", uri);
    ASSERT_TRUE(manager.ComposePath(path, "koralrx-abc-7-8-kHz.wav"));
    EXPECT_EQ(folder_ + "/koralrx-abc-7-8-kHz.wav", path);
    // A name never leads out of the folder.
    EXPECT_FALSE(manager.ComposePath(path, "../koralrx-x.wav"));
    EXPECT_FALSE(manager.ComposePath(path, "/etc/koralrx-x.wav"));

    UtteranceManager::Settings other = Settings();
    other.file_prefix = "rec_";
    other.file_ext = ".pcm.wav";
    other.waveform_base_uri = "https://media.example:8443/u/";
    UtteranceManager custom(other);
    ASSERT_TRUE(custom.ComposeName(name, "4f0c", 4294967296ull, 16000));
    EXPECT_EQ("rec_4f0c-4294967296-16-kHz.pcm.wav", name);
    ASSERT_TRUE(custom.ComposeUri(uri, name));
    EXPECT_EQ("https://media.example:8443/u/rec_4f0c-4294967296-16-kHz.pcm.wav", uri);

    RdrManager::Settings rdr;
    rdr.record_folder = folder_ + "/rdr/";
    RdrManager records(rdr);
    ASSERT_TRUE(records.ComposeName(name, "abc", 7));
    EXPECT_EQ("koralrx-abc-7.json", name);
    ASSERT_TRUE(records.ComposePath(path, name));
    EXPECT_EQ(folder_ + "/rdr/koralrx-abc-7.json", path);
    EXPECT_FALSE(records.ComposePath(path, "../koralrx-abc-7.json"));

    EXPECT_TRUE(FlushLog().Has(Ombra::LOG_LEVEL_WARNING,
                               "Failed to Compose Waveform File Path for [../koralrx-x.wav]"));
}

TEST_F(UtteranceManagerTest, HeaderSizesAreZeroWhileOpenAndExactAfterClose) {
    UtteranceManager manager(Settings());
    Attach(manager);
    ASSERT_TRUE(manager.LoadFileEntries());

    WaveFile wide;
    std::string audio = Record(manager, wide, "koralrx-a-1-16-kHz.wav", 16000, 32000);
    EXPECT_EQ(32000u, wide.size);
    // Open (as a recording never closed stays): both sizes 0, the header
    // otherwise that of the stream sent to the service.
    std::string open = Read("koralrx-a-1-16-kHz.wav");
    ASSERT_EQ(44u + 32000u, open.size());
    uint8_t stream[kWaveHeaderSize];
    size_t streamSize = 0;
    PrepareWaveHeader(16000, stream, streamSize);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(stream), streamSize), open.substr(0, 44));
    EXPECT_EQ(0u, Le32(open, 4));
    EXPECT_EQ(0u, Le32(open, 40));
    EXPECT_EQ(0u, manager.GetFileCount());

    ASSERT_TRUE(manager.CloseWavefile(wide));
    EXPECT_FALSE(wide.IsOpen());
    EXPECT_FALSE(manager.CloseWavefile(wide));
    std::string closed = Read("koralrx-a-1-16-kHz.wav");
    ASSERT_EQ(44u + 32000u, closed.size());
    EXPECT_EQ(32036u, Le32(closed, 4));
    EXPECT_EQ(32000u, Le32(closed, 28));
    EXPECT_EQ(32000u, Le32(closed, 40));
    EXPECT_EQ(audio, closed.substr(44));
    EXPECT_EQ(1u, manager.GetFileCount());

    WaveFile narrow;
    Record(manager, narrow, "koralrx-a-2-8-kHz.wav", 8000, 16000);
    ASSERT_TRUE(manager.CloseWavefile(narrow));
    closed = Read("koralrx-a-2-8-kHz.wav");
    EXPECT_EQ(8000u, Le32(closed, 24));
    EXPECT_EQ(16000u, Le32(closed, 28));
    EXPECT_EQ(16000u, Le32(closed, 40));

    // Released without a close (a channel gone mid-recognition): sizes stay
    // 0 and the folder's limits do not cover it until the next start.
    {
        WaveFile dropped;
        Record(manager, dropped, "koralrx-a-3-8-kHz.wav", 8000, 1600);
    }
    open = Read("koralrx-a-3-8-kHz.wav");
    EXPECT_EQ(44u + 1600u, open.size());
    EXPECT_EQ(0u, Le32(open, 4));
    EXPECT_EQ(0u, Le32(open, 40));
    EXPECT_EQ(2u, manager.GetFileCount());
}

TEST_F(UtteranceManagerTest, RecordingStopsAtTheWavSizeLimitWithOneWarning) {
    UtteranceManager manager(Settings());
    ASSERT_TRUE(manager.LoadFileEntries());
    WaveFile wave;
    wave.name = "koralrx-long-1-8-kHz.wav";
    ASSERT_TRUE(manager.OpenWavefile(wave, 8000));
    // As if some 4 GiB had been written already.
    const uint64_t before = kMaxWaveDataSize - 100;
    wave.size = before;
    const std::string chunk(160, 'x');
    EXPECT_EQ(100u, manager.WriteWavefile(wave, chunk.data(), chunk.size()));
    EXPECT_EQ(0u, manager.WriteWavefile(wave, chunk.data(), chunk.size()));
    EXPECT_EQ(0u, manager.WriteWavefile(wave, chunk.data(), chunk.size()));
    EXPECT_EQ(uint64_t(kMaxWaveDataSize), wave.size);
    ASSERT_TRUE(manager.CloseWavefile(wave));

    std::string bytes;
    ASSERT_TRUE(KoralTest::ReadTextFile(Path("koralrx-long-1-8-kHz.wav"), bytes));
    EXPECT_EQ(44u + 100u, bytes.size());
    EXPECT_EQ(kMaxWaveDataSize, Le32(bytes, 40));
    EXPECT_EQ(uint64_t(kMaxWaveDataSize) + 36, Le32(bytes, 4));  // no wrap past 2^32

    size_t warnings = 0;
    for (const Ombra::LogRecord &record : FlushLog().Records())
        warnings += record.level == Ombra::LOG_LEVEL_WARNING;
    EXPECT_EQ(1u, warnings);
}

TEST_F(UtteranceManagerTest, UnwritableFolderRefusesTheRecording) {
    UtteranceManager manager(Settings());
    ASSERT_TRUE(manager.LoadFileEntries());
    // The folder gone and a plain file in its place: no file can be made
    // there, whatever the process's privileges.
    ASSERT_EQ(0, rmdir(folder_.c_str()));
    ASSERT_TRUE(KoralTest::WriteTextFile(folder_, "not a folder"));

    WaveFile wave;
    wave.name = "koralrx-a-1-8-kHz.wav";
    EXPECT_FALSE(manager.OpenWavefile(wave, 8000));
    EXPECT_FALSE(wave.IsOpen());
    EXPECT_EQ(0u, manager.WriteWavefile(wave, "ab", 2));
    EXPECT_FALSE(manager.CloseWavefile(wave));
    EXPECT_EQ(0u, manager.GetFileCount());
    EXPECT_TRUE(FlushLog().Has(Ombra::LOG_LEVEL_WARNING, "Cannot Open Waveform File for Writing " +
                                                             folder_ + "/koralrx-a-1-8-kHz.wav"));
}

// Both managers on one folder, as with the default folders: each keeps its
// own files within its limits and never touches the other's.
TEST_F(UtteranceManagerTest, BothFoldersStayWithinCountAndAgeAsRecognitionsGoOn) {
    ASSERT_EQ(0, mkdir(folder_.c_str(), 0755));
    MakeFile("koralrx-old-1-8-kHz.wav", 15);
    MakeFile("koralrx-young-1-8-kHz.wav", 4);
    MakeFile("koralrx-old-1.json", 20);
    MakeFile("koralrx-young-1.json", 2);
    MakeFile("notes.txt", 500);

    UtteranceManager::Settings waveSettings = Settings();
    waveSettings.max_file_count = 3;
    waveSettings.max_file_age = 10;
    UtteranceManager waves(waveSettings);
    Attach(waves);
    ASSERT_TRUE(waves.LoadFileEntries());
    RdrManager::Settings rdrSettings;
    rdrSettings.save_records = true;
    rdrSettings.record_folder = folder_;
    rdrSettings.max_file_count = 2;
    rdrSettings.max_file_age = 10;
    RdrManager records(rdrSettings);
    Attach(records);
    ASSERT_TRUE(records.LoadFileEntries());

    // At start: the expired files go at once.
    EXPECT_FALSE(Exists("koralrx-old-1-8-kHz.wav"));
    EXPECT_FALSE(Exists("koralrx-old-1.json"));
    EXPECT_TRUE(Exists("koralrx-young-1-8-kHz.wav"));
    EXPECT_TRUE(Exists("koralrx-young-1.json"));

    for (int n = 1; n <= 3; ++n) {
        WaveFile input, output;
        std::string wave8, wave16, record;
        ASSERT_TRUE(waves.ComposeName(wave8, "ch", n, 8000));
        ASSERT_TRUE(waves.ComposeName(wave16, "ch", n, 16000));
        Record(waves, input, wave8, 8000, 1600);
        ASSERT_TRUE(waves.CloseWavefile(input));
        Record(waves, output, wave16, 16000, 3200);
        ASSERT_TRUE(waves.CloseWavefile(output));

        RdrManager::RecognitionDetails details;
        ASSERT_TRUE(records.ComposeName(details.name, "ch", n));
        std::string path;
        ASSERT_TRUE(records.ComposePath(path, details.name));
        ASSERT_TRUE(details.Save(path));
        ASSERT_TRUE(records.AddFileEntry(details.name, apr_time_now()));
    }
    // The oldest go first: what an earlier run left, then the first
    // recognitions.
    EXPECT_FALSE(Exists("koralrx-young-1-8-kHz.wav"));
    EXPECT_FALSE(Exists("koralrx-ch-1-8-kHz.wav"));
    EXPECT_FALSE(Exists("koralrx-ch-1-16-kHz.wav"));
    EXPECT_FALSE(Exists("koralrx-ch-2-8-kHz.wav"));
    EXPECT_TRUE(Exists("koralrx-ch-2-16-kHz.wav"));
    EXPECT_TRUE(Exists("koralrx-ch-3-8-kHz.wav"));
    EXPECT_TRUE(Exists("koralrx-ch-3-16-kHz.wav"));
    EXPECT_FALSE(Exists("koralrx-young-1.json"));
    EXPECT_FALSE(Exists("koralrx-ch-1.json"));
    EXPECT_TRUE(Exists("koralrx-ch-2.json"));
    EXPECT_TRUE(Exists("koralrx-ch-3.json"));
    EXPECT_EQ(3u, waves.GetFileCount());
    EXPECT_EQ(2u, records.GetFileCount());

    // Ten minutes on, every file made has expired.
    AdvanceTimers(10 * 60 * 1000 - 1);
    EXPECT_TRUE(Exists("koralrx-ch-3.json"));
    AdvanceTimers(1);
    for (const char *name : {"koralrx-ch-2-16-kHz.wav", "koralrx-ch-3-8-kHz.wav",
                             "koralrx-ch-3-16-kHz.wav", "koralrx-ch-2.json", "koralrx-ch-3.json"})
        EXPECT_FALSE(Exists(name)) << name;
    EXPECT_EQ(0u, waves.GetFileCount());
    EXPECT_EQ(0u, records.GetFileCount());
    EXPECT_TRUE(Exists("notes.txt"));
}

}  // namespace
}  // namespace KORAL
