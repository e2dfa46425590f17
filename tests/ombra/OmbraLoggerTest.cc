// Facility logging: level names, thresholds, record contents, the writer
// thread, the counted instance and device registration.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "OmbraLogFacility.h"
#include "OmbraLogFacilityConfig.h"
#include "OmbraLogger.h"
#include "OmbraTestSupport.h"

using namespace Ombra;
using KoralTest::CaptureDevice;
using KoralTest::LogSink;
using Notes = std::vector<std::string>;

namespace {

// Every level name translates back to its level (the configuration's
// log-level attributes rely on it); the facility levels come from the
// longest configured prefix, INFO when none is given.
TEST(LogLevelTest, NamesAndFacilityLevels) {
    for (int i = LOG_LEVEL_EMERGENCY; i <= LOG_LEVEL_DEBUG; i++) {
        LogLevel level = LOG_LEVEL_EMERGENCY;
        EXPECT_TRUE(TranslateLogLevel(GetLogLevelName(static_cast<LogLevel>(i)), level)) << i;
        EXPECT_EQ(i, level);
    }
    EXPECT_STREQ("", GetLogLevelName(static_cast<LogLevel>(8)));
    LogLevel level = LOG_LEVEL_WARNING;
    EXPECT_FALSE(TranslateLogLevel(nullptr, level));
    EXPECT_FALSE(TranslateLogLevel("7", level));
    EXPECT_EQ(LOG_LEVEL_WARNING, level);

    LogFacilityConfig root(LOG_LEVEL_INFO);
    EXPECT_EQ(LOG_LEVEL_INFO, root.Lookup("UTTM")->GetLevel());
    root.SetLevel("UT", LOG_LEVEL_DEBUG);
    root.SetLevel("UTTMX", LOG_LEVEL_ERROR);
    EXPECT_EQ(LOG_LEVEL_DEBUG, root.Lookup("UTTM")->GetLevel());
    EXPECT_EQ(LOG_LEVEL_ERROR, root.Lookup("UTTMXY")->GetLevel());
    EXPECT_EQ(LOG_LEVEL_INFO, root.Lookup("RDRM")->GetLevel());
    EXPECT_EQ(&root, root.Lookup(""));

    EXPECT_EQ(LOG_LEVEL_INFO, LogFacility("UTTM").GetLevel());
    Logger::CreateInstance();
    EXPECT_EQ(LOG_LEVEL_INFO, LogFacility("UTTM").GetLevel());
    EXPECT_EQ("GLOBAL", Logger::GetInstance()->GetFacility().GetName());
    Logger::DestroyInstance();
    EXPECT_EQ(LOG_LEVEL_DEBUG, LogFacility("UTTM", LOG_LEVEL_DEBUG).GetLevel());
}

class LoggerTest : public testing::Test {
  protected:
    void TearDown() override {
        while (Logger::GetInstance()) Logger::DestroyInstance();
    }

    LogSink m_Sink;
};

// One logger from registration to the last destroy: devices unique by name,
// served in name order, registered only before the start; records above the
// facility level dropped, the others complete and in order, percent signs
// kept, messages cut at 1023 characters; the instance counted; every queued
// record written before the devices close.
TEST_F(LoggerTest, OneLoggerFromRegistrationToTheLastDestroy) {
    Logger *logger = Logger::CreateInstance();
    EXPECT_TRUE(logger->AddLogDevice(new CaptureDevice("B", m_Sink)));
    EXPECT_TRUE(logger->AddLogDevice(new CaptureDevice("A", m_Sink)));
    // A refused device is the logger's to delete.
    EXPECT_FALSE(logger->AddLogDevice(new CaptureDevice("A", m_Sink)));
    EXPECT_EQ((Notes{"delete A"}), m_Sink.Notes());
    EXPECT_FALSE(logger->AddLogDevice(nullptr));
    ASSERT_TRUE(logger->Start());
    EXPECT_FALSE(logger->Start());
    // Devices belong to the writer thread once it runs.
    EXPECT_FALSE(logger->AddLogDevice(new CaptureDevice("C", m_Sink)));
    EXPECT_EQ(logger, Logger::CreateInstance());
    Logger::DestroyInstance();
    ASSERT_EQ(logger, Logger::GetInstance()) << "a second reference keeps it";

    LogFacility facility("UTTM");  // INFO
    FacilityLog(facility, 0, LOG_LEVEL_DEBUG, 0, OMBRA_LOG_MARK, "hidden %d", 1);
    FacilityLog(facility, 3, LOG_LEVEL_NOTICE, 0, OMBRA_LOG_MARK, "Remove file %s [%s]", "a.wav",
                "x");
    FacilityLog(facility, 0, LOG_LEVEL_INFO, 0, OMBRA_LOG_MARK, "%s", "100% done %d %s %n");
    FacilityLog(facility, 0, LOG_LEVEL_INFO, 0, OMBRA_LOG_MARK, "rate 50%%");
    FacilityLog(facility, 0, LOG_LEVEL_INFO, 0, OMBRA_LOG_MARK, "%s",
                std::string(2000, 'x').c_str());
    for (int i = 0; i < 500; i++)
        FacilityLog(facility, 0, LOG_LEVEL_ERROR, 0, OMBRA_LOG_MARK, "record %d", i);
    Logger::DestroyInstance();
    EXPECT_EQ(nullptr, Logger::GetInstance());
    Logger::DestroyInstance();  // nothing left to release
    FacilityLog(facility, 0, LOG_LEVEL_INFO, 0, OMBRA_LOG_MARK, "nobody writes this");

    std::vector<LogRecord> records = m_Sink.Records();
    ASSERT_EQ(2u * 504, records.size());  // each record through A, then B
    std::vector<std::string> devices = m_Sink.Devices();
    for (size_t i = 0; i < records.size(); i++) {
        EXPECT_EQ(i % 2 ? "B" : "A", devices[i]) << i;
        EXPECT_EQ(records[i / 2 * 2].message, records[i].message) << i;
    }
    const LogRecord &first = records[0];
    EXPECT_EQ("Remove file a.wav [x]", first.message);
    EXPECT_EQ(LOG_LEVEL_NOTICE, first.level);
    EXPECT_EQ("UTTM", first.facility);
    EXPECT_EQ(3, first.id);
    EXPECT_EQ(__FILE__, first.file);
    EXPECT_GT(first.line, 0);
    EXPECT_TRUE(
        std::regex_match(first.timestamp, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6})")))
        << first.timestamp;
    EXPECT_EQ("100% done %d %s %n", records[2].message);
    EXPECT_EQ("rate 50%", records[4].message);
    EXPECT_EQ(std::string(1023, 'x'), records[6].message);
    for (int i = 0; i < 500; i++)
        EXPECT_EQ("record " + std::to_string(i), records[8 + 2 * i].message);
    // C, refused on this thread, goes while the writer thread opens A and B.
    Notes notes = m_Sink.Notes();
    auto refused = std::find(notes.begin(), notes.end(), "delete C");
    ASSERT_NE(notes.end(), refused);
    notes.erase(refused);
    EXPECT_EQ((Notes{"delete A", "open A", "open B", "close A", "delete A", "close B", "delete B"}),
              notes);
}

// Shutdown and posting need a started logger, and work once; the devices of
// a logger that never started are deleted with it.
TEST_F(LoggerTest, ShutdownAndStartOnlyOnce) {
    Logger *logger = Logger::CreateInstance();
    EXPECT_FALSE(logger->Shutdown());
    EXPECT_FALSE(logger->PostLogRecord(LogRecord()));
    ASSERT_TRUE(logger->Start());
    EXPECT_TRUE(logger->PostLogRecord(LogRecord()));
    EXPECT_TRUE(logger->Shutdown());
    EXPECT_FALSE(logger->Shutdown());
    EXPECT_FALSE(logger->PostLogRecord(LogRecord()));
    Logger::DestroyInstance();

    Logger::CreateInstance()->AddLogDevice(new CaptureDevice("A", m_Sink));
    Logger::DestroyInstance();
    EXPECT_EQ((Notes{"delete A"}), m_Sink.Notes());
}

TEST_F(LoggerTest, RecordsOfEachThreadKeepTheirOrder) {
    Logger *logger = Logger::CreateInstance();
    logger->AddLogDevice(new CaptureDevice("CAPTURE", m_Sink));
    ASSERT_TRUE(logger->Start());
    const int kPerThread = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([t]() {
            LogFacility facility("T" + std::to_string(t));
            for (int i = 0; i < kPerThread; i++)
                FacilityLog(facility, t, LOG_LEVEL_INFO, 0, OMBRA_LOG_MARK, "%d", i);
        });
    }
    for (std::thread &thread : threads) thread.join();
    Logger::DestroyInstance();

    std::vector<LogRecord> records = m_Sink.Records();
    ASSERT_EQ(4u * kPerThread, records.size());
    std::vector<int> next(4, 0);
    for (const LogRecord &record : records) {
        EXPECT_EQ("T" + std::to_string(record.id), record.facility);
        EXPECT_EQ(std::to_string(next[record.id]), record.message);
        next[record.id]++;
    }

    // Statements racing the last destroy are written or dropped.
    logger = Logger::CreateInstance();
    logger->AddLogDevice(new CaptureDevice("CAPTURE", m_Sink));
    ASSERT_TRUE(logger->Start());
    std::atomic<bool> stop{false};
    std::thread writer([&]() {
        LogFacility facility("RACE", LOG_LEVEL_INFO);
        while (!stop) FacilityLog(facility, 0, LOG_LEVEL_INFO, 0, OMBRA_LOG_MARK, "x");
    });
    KoralTest::WaitUntil([&]() { return m_Sink.Records().size() > records.size(); });
    Logger::DestroyInstance();
    stop = true;
    writer.join();
    EXPECT_GT(m_Sink.Records().size(), records.size());
}

}  // namespace
