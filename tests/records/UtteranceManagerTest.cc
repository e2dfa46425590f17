// Utterance recordings: names, the WAV header while open and after close, the
// 32-bit size limit, and both record folders kept within their count and age
// limits as recognitions go on. Expiry timers run on a processor pumped by
// hand on a settable clock; file times are set with utimes.
#include <sys/stat.h>
#include <sys/time.h>

#include "KoralRxRdrManager.h"
#include "KoralRxUtteranceManager.h"
#include "KoralRxWaveHeader.h"
#include "KoralTest/TempDir.h"
#include "OmbraTestSupport.h"

using namespace KORAL;
using WaveFile = UtteranceManager::WaveFile;

namespace {

uint32_t Le32(const std::string &bytes, size_t offset) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(bytes[offset + i]);
    return v;
}

class UtteranceManagerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Ombra::Logger *logger = Ombra::Logger::CreateInstance();
        logger->AddLogDevice(new KoralTest::CaptureDevice("CAPTURE", sink_));
        ASSERT_TRUE(logger->Start());
        processor_.GetTimerQueue()->SetClock(clock_.Source());
        settings_.save_waveforms = true;
        settings_.waveform_folder = folder_;
    }
    void TearDown() override { FlushLog(); }
    // Writes every pending framework log record; the logger is gone after.
    KoralTest::LogSink &FlushLog() {
        while (Ombra::Logger::GetInstance()) Ombra::Logger::DestroyInstance();
        return sink_;
    }
    // Expiry timers on the hand-pumped processor; the file times read at
    // start are the modification times the test sets.
    void Attach(Ombra::FileManager &manager) {
        manager.SetTimerProcessor(&processor_);
        manager.SetTimeSources(nullptr, [](const std::string &path, apr_time_t ctime) {
            struct stat st;
            return stat(path.c_str(), &st) == 0 ? apr_time_from_sec(st.st_mtime) : ctime;
        });
    }
    std::string Read(const std::string &name) const {
        std::string bytes;
        EXPECT_TRUE(KoralTest::ReadTextFile(folder_ + "/" + name, bytes)) << name;
        return bytes;
    }
    bool Exists(const std::string &name) const {
        struct stat st;
        return stat((folder_ + "/" + name).c_str(), &st) == 0;
    }
    // A file of the folder last modified `minutes` ago.
    void MakeFile(const std::string &name, int minutes) {
        ASSERT_TRUE(KoralTest::WriteTextFile(folder_ + "/" + name, "old"));
        struct timeval times[2];
        gettimeofday(&times[0], nullptr);
        times[0].tv_sec -= minutes * 60;
        times[1] = times[0];
        ASSERT_EQ(0, utimes((folder_ + "/" + name).c_str(), times));
    }
    // Opens `name` at `rate` and writes `size` bytes in 80 ms chunks.
    std::string Record(UtteranceManager &manager, WaveFile &wave, const std::string &name,
                       uint32_t rate, size_t size) {
        wave.name = name;
        EXPECT_TRUE(manager.OpenWavefile(wave, rate));
        std::string audio;
        for (size_t i = 0; i < size; ++i) audio += static_cast<char>(i * 7 + 3);
        const size_t chunk = rate * 2 * 80 / 1000;
        for (size_t at = 0; at < size; at += chunk)
            EXPECT_EQ(std::min(chunk, size - at),
                      manager.WriteWavefile(wave, audio.data() + at, std::min(chunk, size - at)));
        return audio;
    }

    KoralTest::TempDir temp_{"koral-records"};
    std::string folder_ = temp_.Path() + "/records";
    UtteranceManager::Settings settings_;
    KoralTest::LogSink sink_;
    KoralTest::FakeClock clock_;
    KoralTest::ManualProcessor processor_;
};

// Names, URIs and the header after close are checked through the plugin
// (RecordingsAndRecords); here what a recognition cannot show: rates that
// are no whole kHz, names that would leave the folder, and the header of a
// file never closed (sizes 0, the header of the stream sent to the service).
TEST_F(UtteranceManagerTest, NamesAndHeaderOfAFileNeverClosed) {
    UtteranceManager manager(settings_);
    ASSERT_TRUE(manager.LoadFileEntries());
    std::string name, uri, path;
    ASSERT_TRUE(manager.ComposeName(name, "abc", 7, 11025));
    EXPECT_EQ("koralrx-abc-7-11-kHz.wav", name);
    ASSERT_TRUE(manager.ComposeUri(uri, name));
    EXPECT_EQ("http://localhost/utterances/koralrx-abc-7-11-kHz.wav", uri);
    EXPECT_FALSE(manager.ComposePath(path, "../koralrx-x.wav"));

    {
        WaveFile dropped;  // a channel gone mid-recognition
        Record(manager, dropped, "koralrx-a-1-16-kHz.wav", 16000, 32000);
    }
    std::string open = Read("koralrx-a-1-16-kHz.wav");
    ASSERT_EQ(44u + 32000u, open.size());
    uint8_t stream[kWaveHeaderSize];
    size_t streamSize = 0;
    PrepareWaveHeader(16000, stream, streamSize);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(stream), streamSize), open.substr(0, 44));
    EXPECT_EQ(0u, Le32(open, 4));
    EXPECT_EQ(0u, Le32(open, 40));
    EXPECT_EQ(0u, manager.GetFileCount());
}

TEST_F(UtteranceManagerTest, RecordingStopsAtTheWavSizeLimitWithOneWarning) {
    UtteranceManager manager(settings_);
    ASSERT_TRUE(manager.LoadFileEntries());
    WaveFile wave;
    wave.name = "koralrx-long-1-8-kHz.wav";
    ASSERT_TRUE(manager.OpenWavefile(wave, 8000));
    wave.size = kMaxWaveDataSize - 100;  // as if some 4 GiB had been written
    const std::string chunk(160, 'x');
    EXPECT_EQ(100u, manager.WriteWavefile(wave, chunk.data(), chunk.size()));
    EXPECT_EQ(0u, manager.WriteWavefile(wave, chunk.data(), chunk.size()));
    EXPECT_EQ(0u, manager.WriteWavefile(wave, chunk.data(), chunk.size()));
    ASSERT_TRUE(manager.CloseWavefile(wave));
    EXPECT_FALSE(manager.CloseWavefile(wave));
    EXPECT_EQ(1u, manager.GetFileCount());
    std::string bytes = Read("koralrx-long-1-8-kHz.wav");
    EXPECT_EQ(44u + 100u, bytes.size());
    EXPECT_EQ(kMaxWaveDataSize, Le32(bytes, 40));
    EXPECT_EQ(uint64_t(kMaxWaveDataSize) + 36, Le32(bytes, 4));  // no wrap past 2^32
    size_t warnings = 0;
    for (const Ombra::LogRecord &record : FlushLog().Records())
        warnings += record.level == Ombra::LOG_LEVEL_WARNING;
    EXPECT_EQ(1u, warnings);
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
    settings_.max_file_count = 3;
    settings_.max_file_age = 10;
    UtteranceManager waves(settings_);
    Attach(waves);
    ASSERT_TRUE(waves.LoadFileEntries());
    RdrManager::Settings rdrSettings;
    rdrSettings.record_folder = folder_;
    rdrSettings.max_file_count = 2;
    rdrSettings.max_file_age = 10;
    RdrManager records(rdrSettings);
    Attach(records);
    ASSERT_TRUE(records.LoadFileEntries());
    // At start the expired files go at once.
    EXPECT_FALSE(Exists("koralrx-old-1-8-kHz.wav"));
    EXPECT_FALSE(Exists("koralrx-old-1.json"));
    EXPECT_TRUE(Exists("koralrx-young-1-8-kHz.wav"));
    EXPECT_TRUE(Exists("koralrx-young-1.json"));

    for (int n = 1; n <= 3; ++n) {
        for (uint32_t rate : {8000, 16000}) {
            WaveFile wave;
            std::string name;
            ASSERT_TRUE(waves.ComposeName(name, "ch", n, rate));
            Record(waves, wave, name, rate, 1600);
            ASSERT_TRUE(waves.CloseWavefile(wave));
        }
        RdrManager::RecognitionDetails details;
        std::string path;
        ASSERT_TRUE(records.ComposeName(details.name, "ch", n));
        ASSERT_TRUE(records.ComposePath(path, details.name));
        ASSERT_TRUE(details.Save(path));
        ASSERT_TRUE(records.AddFileEntry(details.name, apr_time_now()));
    }
    // The oldest go first: what an earlier run left, then the first files.
    for (const char *name :
         {"koralrx-young-1-8-kHz.wav", "koralrx-ch-1-8-kHz.wav", "koralrx-ch-1-16-kHz.wav",
          "koralrx-ch-2-8-kHz.wav", "koralrx-young-1.json", "koralrx-ch-1.json"})
        EXPECT_FALSE(Exists(name)) << name;
    const char *kept[] = {"koralrx-ch-2-16-kHz.wav", "koralrx-ch-3-8-kHz.wav",
                          "koralrx-ch-3-16-kHz.wav", "koralrx-ch-2.json", "koralrx-ch-3.json"};
    for (const char *name : kept) EXPECT_TRUE(Exists(name)) << name;

    // Ten minutes on, every file made has expired; other files stay.
    processor_.Pump();
    clock_.AdvanceMs(10 * 60 * 1000 - 1);
    ASSERT_TRUE(processor_.GetTimerQueue()->Advance());
    EXPECT_TRUE(Exists("koralrx-ch-3.json"));
    clock_.AdvanceMs(1);
    ASSERT_TRUE(processor_.GetTimerQueue()->Advance());
    for (const char *name : kept) EXPECT_FALSE(Exists(name)) << name;
    EXPECT_EQ(0u, waves.GetFileCount() + records.GetFileCount());
    EXPECT_TRUE(Exists("notes.txt"));
}

}  // namespace
