// File manager: count and age limits, purging, the directory scan, expiration
// timers and removal. File ages come from a time source the test sets, since
// status-change times cannot be set.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "OmbraFileManager.h"
#include "OmbraLogger.h"
#include "OmbraTestSupport.h"
#include "OmbraTimer.h"
#include "OmbraTimerQueue.h"

using namespace Ombra;

namespace {

namespace fs = std::filesystem;
using KoralTest::CaptureDevice;
using KoralTest::FakeClock;
using KoralTest::LogSink;
using KoralTest::ManualProcessor;

const int64_t kMinute = int64_t{60} * 1000 * 1000;  // microseconds

class FileManagerTest : public testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/ombra-fm-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        m_Root = pattern;
        m_Dir = m_Root + "/records/";
        Logger *logger = Logger::CreateInstance();
        logger->AddLogDevice(new CaptureDevice("CAPTURE", m_Sink));
        ASSERT_TRUE(logger->Start());
        m_Processor.GetTimerQueue()->SetClock(m_QueueClock.Source());
    }
    void TearDown() override {
        m_Manager.reset();
        while (Logger::GetInstance()) Logger::DestroyInstance();
        fs::remove_all(m_Root);
    }

    FileManager &Make(uint64_t maxCount, uint64_t maxAge, bool purge) {
        m_Manager.reset(new FileManager(&m_Facility));
        m_Manager->SetDirectory(m_Dir);
        m_Manager->SetFilePrefix("koralrx-");
        m_Manager->SetFileExtension(".wav");
        m_Manager->SetMaxFileCount(maxCount);
        m_Manager->SetMaxFileAge(maxAge);
        m_Manager->SetPurgeExisting(purge);
        m_Manager->SetTimerProcessor(&m_Processor);
        m_Manager->SetTimeSources(
            [this]() { return m_Now; },
            [this](const std::string &path, apr_time_t ctime) {
                auto it = m_AgeMinutes.find(path);
                return it == m_AgeMinutes.end() ? ctime : m_Now - it->second * kMinute;
            });
        return *m_Manager;
    }
    // Creates a file in the managed directory; with an age, the manager sees
    // it that many minutes old.
    void Touch(const std::string &name, int64_t ageMinutes = -1) {
        fs::create_directories(m_Dir);
        std::ofstream(m_Dir + name) << "data";
        if (ageMinutes >= 0) m_AgeMinutes[m_Dir + name] = ageMinutes;
    }
    bool Exists(const std::string &name) const { return fs::exists(m_Dir + name); }
    std::vector<std::string> EntryNames() const {
        std::vector<std::string> names;
        for (const FileManager::FileEntry *entry : m_Manager->GetFileEntries())
            names.push_back(entry->name);
        return names;
    }
    std::vector<int64_t> QueuedTimeouts() const {
        std::vector<int64_t> timeouts;
        for (const Timer *timer : m_Processor.GetTimerQueue()->GetTimers())
            timeouts.push_back(timer->GetTimeout());
        return timeouts;
    }
    // Writes every pending record; the logger is gone afterwards.
    LogSink &FlushLog() {
        while (Logger::GetInstance()) Logger::DestroyInstance();
        return m_Sink;
    }
    using Names = std::vector<std::string>;

    std::string m_Root;
    std::string m_Dir;
    apr_time_t m_Now = apr_time_from_sec(1700000000);
    std::map<std::string, int64_t> m_AgeMinutes;
    LogSink m_Sink;
    LogFacility m_Facility{"FMGR", LOG_LEVEL_DEBUG};
    FakeClock m_QueueClock;
    ManualProcessor m_Processor;
    std::unique_ptr<FileManager> m_Manager;
};

// The count limit deletes the oldest file (the records tests drive the
// common case through both record managers): a new file that is itself the
// oldest (it gets no timer), and undated files found by the scan (all
// equally old: the first by name goes first).
TEST_F(FileManagerTest, CountLimitDeletesTheOldest) {
    {
        SCOPED_TRACE("a new file that is the oldest over the limit");
        FileManager &manager = Make(1, 10, false);
        ASSERT_TRUE(manager.LoadFileEntries());
        Touch("koralrx-new.wav");
        Touch("koralrx-late.wav");
        ASSERT_TRUE(manager.AddFileEntry("koralrx-new.wav", m_Now));
        ASSERT_TRUE(manager.AddFileEntry("koralrx-late.wav", m_Now - 1));
        EXPECT_FALSE(Exists("koralrx-late.wav"));
        EXPECT_EQ((Names{"koralrx-new.wav"}), EntryNames());
        m_Processor.Pump();
        EXPECT_EQ(1u, QueuedTimeouts().size());
        manager.DestroyFileEntries();  // its timer stopped while it lives
        m_Processor.Pump();
    }
    {
        SCOPED_TRACE("files found without times");
        fs::remove_all(m_Dir);
        for (const char *name : {"koralrx-c.wav", "koralrx-a.wav", "koralrx-b.wav"}) Touch(name);
        FileManager &manager = Make(2, 0, false);
        ASSERT_TRUE(manager.LoadFileEntries());
        EXPECT_FALSE(Exists("koralrx-a.wav"));
        EXPECT_EQ((Names{"koralrx-b.wav", "koralrx-c.wav"}), EntryNames());
        Touch("koralrx-d.wav");
        ASSERT_TRUE(manager.AddFileEntry("koralrx-d.wav", m_Now));
        EXPECT_EQ((Names{"koralrx-c.wav", "koralrx-d.wav"}), EntryNames());
    }
    EXPECT_TRUE(FlushLog().Has(LOG_LEVEL_NOTICE, "Remove file koralrx-a.wav [max file count]"));
}

// Purging deletes every matching file whatever its age, and nothing else:
// not other names, directories, what they hold, or links.
TEST_F(FileManagerTest, PurgeDeletesEveryMatchingFileAndNothingElse) {
    Touch("koralrx-1.wav", 0);
    Touch("koralrx-2.wav", 500);
    Touch("koralrx-3.wav");
    for (const char *name : {"other.wav", "koralrx-a.txt", "koralrx-b.wav.bak", "xkoralrx-c.wav"})
        Touch(name);
    fs::create_directories(m_Dir + "koralrx-dir.wav");
    std::ofstream(m_Dir + "koralrx-dir.wav/koralrx-inner.wav") << "data";
    std::ofstream(m_Root + "/outside.wav") << "data";
    fs::create_symlink(m_Root + "/outside.wav", m_Dir + "koralrx-link.wav");

    FileManager &manager = Make(100, 10, true);
    ASSERT_TRUE(manager.LoadFileEntries());
    EXPECT_EQ(0u, manager.GetFileCount());
    EXPECT_EQ(0u, m_Processor.Pump());
    for (const char *name : {"koralrx-1.wav", "koralrx-2.wav", "koralrx-3.wav"})
        EXPECT_FALSE(Exists(name)) << name;
    for (const char *name : {"other.wav", "koralrx-a.txt", "koralrx-b.wav.bak", "xkoralrx-c.wav",
                             "koralrx-dir.wav/koralrx-inner.wav", "koralrx-link.wav"})
        EXPECT_TRUE(Exists(name)) << name;
    EXPECT_TRUE(fs::exists(m_Root + "/outside.wav"));
    EXPECT_TRUE(FlushLog().Has(LOG_LEVEL_NOTICE, "Remove file koralrx-2.wav [purge existing]"));
}

// The scan deletes expired files (at the limit included) and times the
// others for what they have left; a second scan keeps one entry and one
// timer per file; an added file gets one timer of the maximum age, even
// when reported twice; removal deletes managed files only, and stops their
// timers; destroying the entries keeps the files and stops the timers.
TEST_F(FileManagerTest, EntriesAreTimedOnceAndRemovedOnlyWhenManaged) {
    Touch("koralrx-old.wav", 15);
    Touch("koralrx-edge.wav", 10);
    Touch("koralrx-a.wav", 4);
    FileManager &manager = Make(100, 10, false);
    ASSERT_TRUE(manager.LoadFileEntries());
    ASSERT_TRUE(manager.LoadFileEntries());
    EXPECT_FALSE(Exists("koralrx-old.wav"));
    EXPECT_FALSE(Exists("koralrx-edge.wav"));
    EXPECT_EQ((Names{"koralrx-a.wav"}), EntryNames());
    for (const char *name : {"koralrx-b.wav", "koralrx-c.wav", "koralrx-d.wav"}) Touch(name);
    ASSERT_TRUE(manager.AddFileEntry("koralrx-b.wav", m_Now));
    ASSERT_TRUE(manager.AddFileEntry("koralrx-c.wav", m_Now));
    ASSERT_TRUE(manager.AddFileEntry("koralrx-c.wav", m_Now + 5));
    EXPECT_EQ(3u, manager.GetFileCount());
    m_Processor.Pump();
    EXPECT_EQ((std::vector<int64_t>{6 * 60 * 1000, 10 * 60 * 1000, 10 * 60 * 1000}),
              QueuedTimeouts());

    EXPECT_FALSE(manager.RemoveFileEntry("koralrx-d.wav"));
    EXPECT_FALSE(manager.RemoveFileEntry("koralrx-unknown.wav"));
    EXPECT_TRUE(Exists("koralrx-d.wav"));
    EXPECT_TRUE(manager.RemoveFileEntry("koralrx-b.wav"));
    EXPECT_FALSE(Exists("koralrx-b.wav"));
    EXPECT_EQ(2u, manager.GetFileCount());
    m_Processor.Pump();  // the stop request dequeues and deletes the timer
    EXPECT_EQ(2u, QueuedTimeouts().size());

    m_QueueClock.AdvanceMs(6 * 60 * 1000 - 1);
    ASSERT_TRUE(m_Processor.GetTimerQueue()->Advance());
    EXPECT_TRUE(Exists("koralrx-a.wav"));
    m_QueueClock.AdvanceMs(1);
    ASSERT_TRUE(m_Processor.GetTimerQueue()->Advance());
    EXPECT_FALSE(Exists("koralrx-a.wav"));
    EXPECT_EQ(1u, manager.GetFileCount());
    m_QueueClock.AdvanceMs(4 * 60 * 1000);
    ASSERT_TRUE(m_Processor.GetTimerQueue()->Advance());
    EXPECT_FALSE(Exists("koralrx-c.wav"));
    EXPECT_EQ(0u, manager.GetFileCount());

    ASSERT_TRUE(manager.AddFileEntry("koralrx-d.wav", m_Now));
    m_Processor.Pump();
    EXPECT_EQ(1u, QueuedTimeouts().size());
    manager.DestroyFileEntries();
    EXPECT_EQ(0u, manager.GetFileCount());
    m_Processor.Pump();
    EXPECT_TRUE(QueuedTimeouts().empty());
    EXPECT_TRUE(Exists("koralrx-d.wav"));

    LogSink &log = FlushLog();
    EXPECT_TRUE(log.Has(LOG_LEVEL_NOTICE, "Populate files from " + m_Dir +
                                              " pattern [koralrx-*.wav] max-count [100] "
                                              "max-age [10 min] purge-existing [0]"));
    EXPECT_TRUE(log.Has(LOG_LEVEL_DEBUG, "Found file koralrx-old.wav"));
    EXPECT_TRUE(log.Has(LOG_LEVEL_NOTICE, "Remove file koralrx-old.wav [max file age]"));
    EXPECT_TRUE(log.Has(LOG_LEVEL_NOTICE, "Remove file koralrx-edge.wav [max file age]"));
    EXPECT_TRUE(log.Has(LOG_LEVEL_DEBUG, "Set expiration timer for file koralrx-a.wav [6 min]"));
    EXPECT_TRUE(log.Has(LOG_LEVEL_NOTICE, "Remove file koralrx-a.wav [timed out]"));
    EXPECT_TRUE(log.Has(LOG_LEVEL_DEBUG, "Set expiration timer for file koralrx-c.wav [10 min]"));
}

// The directory is made with its parents, for its owner; one blocked by a
// file fails the load.
TEST_F(FileManagerTest, DirectoryIsCreatedWithItsParentsOrFails) {
    m_Dir = m_Root + "/a/b/c";
    FileManager &manager = Make(100, 0, false);
    EXPECT_EQ(m_Root + "/a/b/c/", manager.GetDirectory());
    ASSERT_TRUE(manager.LoadFileEntries());
    EXPECT_TRUE(fs::is_directory(m_Root + "/a/b/c"));
    EXPECT_EQ(fs::perms::owner_all,
              fs::status(m_Root + "/a/b/c").permissions() & fs::perms::owner_all);

    std::ofstream(m_Root + "/taken") << "data";
    m_Dir = m_Root + "/taken";
    EXPECT_FALSE(Make(100, 0, false).LoadFileEntries());
    EXPECT_TRUE(fs::is_regular_file(m_Root + "/taken"));
    LogSink &log = FlushLog();
    EXPECT_TRUE(log.Has(LOG_LEVEL_INFO, "Create directory " + m_Root + "/a/b/c/"));
    EXPECT_TRUE(log.Has(LOG_LEVEL_WARNING, "Failed to create directory " + m_Root + "/taken/"));
}

}  // namespace
