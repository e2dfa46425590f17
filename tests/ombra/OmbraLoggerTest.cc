// Facility logging: level names and translation, thresholds, record contents,
// the writer thread, the counted instance and device registration.
#include <gtest/gtest.h>

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

TEST(LogLevelTest, NamesAndFormattedNames) {
    const char *names[] = {"EMERGENCY", "ALERT",  "CRITICAL", "ERROR",
                           "WARNING",   "NOTICE", "INFO",     "DEBUG"};
    const char *formatted[] = {"EMERG  ", "ALERT  ", "CRITIC ", "ERROR  ",
                               "WARN   ", "NOTICE ", "INFO   ", "DEBUG  "};
    for (int i = 0; i < 8; i++) {
        EXPECT_STREQ(names[i], GetLogLevelName(static_cast<LogLevel>(i)));
        EXPECT_STREQ(formatted[i], GetLogLevelFormattedName(static_cast<LogLevel>(i)));
        LogLevel level = LOG_LEVEL_EMERGENCY;
        EXPECT_TRUE(TranslateLogLevel(names[i], level));
        EXPECT_EQ(i, level);
    }
    EXPECT_STREQ("", GetLogLevelName(static_cast<LogLevel>(8)));
    EXPECT_STREQ("", GetLogLevelFormattedName(static_cast<LogLevel>(-1)));
}

TEST(LogLevelTest, TranslationIsExactAndCaseSensitive) {
    LogLevel level = LOG_LEVEL_WARNING;
    for (const char *text : {"debug", "Debug", " DEBUG", "DEBUG ", "", "7", "DEBUGX"}) {
        EXPECT_FALSE(TranslateLogLevel(text, level)) << text;
        EXPECT_EQ(LOG_LEVEL_WARNING, level) << text;
    }
    EXPECT_FALSE(TranslateLogLevel(nullptr, level));
    EXPECT_TRUE(TranslateLogLevel("DEBUG", level));
    EXPECT_EQ(7, level);
}

TEST(LogFacilityConfigTest, LookupYieldsTheLongestConfiguredPrefix) {
    LogFacilityConfig root(LOG_LEVEL_INFO);
    EXPECT_EQ(LOG_LEVEL_INFO, root.Lookup("UTTM")->GetLevel());
    root.SetLevel("UT", LOG_LEVEL_DEBUG);
    root.SetLevel("UTTMX", LOG_LEVEL_ERROR);
    EXPECT_EQ(LOG_LEVEL_DEBUG, root.Lookup("UTTM")->GetLevel());
    EXPECT_EQ(LOG_LEVEL_ERROR, root.Lookup("UTTMXY")->GetLevel());
    EXPECT_EQ(LOG_LEVEL_INFO, root.Lookup("RDRM")->GetLevel());
    EXPECT_EQ(&root, root.Lookup(""));
}

TEST(LogFacilityTest, NameAloneGivesInfo) {
    EXPECT_EQ(LOG_LEVEL_INFO, LogFacility("UTTM").GetLevel());
    Logger::CreateInstance();
    EXPECT_EQ(LOG_LEVEL_INFO, LogFacility("UTTM").GetLevel());
    EXPECT_EQ("GLOBAL", Logger::GetInstance()->GetFacility().GetName());
    Logger::DestroyInstance();
    EXPECT_EQ(LOG_LEVEL_DEBUG, LogFacility("UTTM", LOG_LEVEL_DEBUG).GetLevel());
}

// Formats through PopulateLogRecord's va_list path.
LogRecord Populate(const LogFacility &facility, LogLevel level, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
LogRecord Populate(const LogFacility &facility, LogLevel level, const char *format, ...) {
    LogRecord record;
    va_list arguments;
    va_start(arguments, format);
    PopulateLogRecord(record, facility, 0, level, 99, "file.cc", 12, format, arguments);
    va_end(arguments);
    return record;
}

TEST(LogRecordTest, FieldsAreFilledFromTheStatement) {
    LogFacility facility("FMGR", LOG_LEVEL_DEBUG);
    LogRecord record = Populate(facility, LOG_LEVEL_NOTICE, "Remove file %s [%s]", "a.wav", "x");
    EXPECT_EQ("Remove file a.wav [x]", record.message);
    EXPECT_EQ(LOG_LEVEL_NOTICE, record.level);
    EXPECT_EQ("FMGR", record.facility);
    EXPECT_EQ(0, record.id);
    EXPECT_EQ("file.cc", record.file);
    EXPECT_EQ(12, record.line);
    EXPECT_TRUE(
        std::regex_match(record.timestamp, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6})")))
        << record.timestamp;
}

TEST(LogRecordTest, MessageIsCutAt1023Characters) {
    LogFacility facility("FMGR");
    std::string longText(2000, 'x');
    EXPECT_EQ(std::string(1023, 'x'),
              Populate(facility, LOG_LEVEL_INFO, "%s", longText.c_str()).message);
    std::string fits(1023, 'y');
    EXPECT_EQ(fits, Populate(facility, LOG_LEVEL_INFO, "%s", fits.c_str()).message);
}

class LoggerTest : public testing::Test {
  protected:
    void TearDown() override {
        while (Logger::GetInstance()) Logger::DestroyInstance();
    }
    Logger *StartLogger(const std::vector<std::string> &devices = {"CAPTURE"}) {
        Logger *logger = Logger::CreateInstance();
        for (const std::string &name : devices)
            EXPECT_TRUE(logger->AddLogDevice(new CaptureDevice(name, m_Sink)));
        EXPECT_TRUE(logger->Start());
        return logger;
    }

    LogSink m_Sink;
};

TEST_F(LoggerTest, StatementAboveTheFacilityLevelProducesNothing) {
    StartLogger();
    LogFacility facility("UTTM");  // INFO
    FacilityLog(facility, 0, LOG_LEVEL_DEBUG, 0, OMBRA_LOG_MARK, "hidden %d", 1);
    FacilityLog(facility, 0, LOG_LEVEL_INFO, 0, OMBRA_LOG_MARK, "shown %d", 2);
    FacilityLog(facility, 0, LOG_LEVEL_ERROR, 0, OMBRA_LOG_MARK, "shown %d", 3);
    Logger::DestroyInstance();
    EXPECT_EQ((Notes{"shown 2", "shown 3"}), m_Sink.Messages());
    EXPECT_EQ("UTTM", m_Sink.Records()[0].facility);
    EXPECT_EQ(__FILE__, m_Sink.Records()[0].file);
}

TEST_F(LoggerTest, PercentSignsInMessagesArriveUnchanged) {
    StartLogger();
    LogFacility facility("RDRM");
    FacilityLog(facility, 0, LOG_LEVEL_INFO, 0, OMBRA_LOG_MARK, "%s", "100% done %d %s %n");
    FacilityLog(facility, 0, LOG_LEVEL_INFO, 0, OMBRA_LOG_MARK, "rate 50%%");
    Logger::DestroyInstance();
    EXPECT_EQ((Notes{"100% done %d %s %n", "rate 50%"}), m_Sink.Messages());
}

TEST_F(LoggerTest, DestroyInstanceWritesEveryQueuedRecordThenClosesDevices) {
    StartLogger();
    LogFacility facility("FMGR");
    for (int i = 0; i < 500; i++)
        FacilityLog(facility, 0, LOG_LEVEL_NOTICE, 0, OMBRA_LOG_MARK, "record %d", i);
    Logger::DestroyInstance();
    EXPECT_EQ(nullptr, Logger::GetInstance());
    std::vector<std::string> messages = m_Sink.Messages();
    ASSERT_EQ(500u, messages.size());
    for (int i = 0; i < 500; i++) EXPECT_EQ("record " + std::to_string(i), messages[i]);
    EXPECT_EQ((Notes{"open CAPTURE", "close CAPTURE", "delete CAPTURE"}), m_Sink.Notes());
}

TEST_F(LoggerTest, InstanceLivesUntilTheLastDestroy) {
    Logger *first = StartLogger();
    EXPECT_EQ(first, Logger::CreateInstance());
    Logger::DestroyInstance();
    ASSERT_EQ(first, Logger::GetInstance());
    LogFacility facility("FMGR");
    FacilityLog(facility, 0, LOG_LEVEL_INFO, 0, OMBRA_LOG_MARK, "still running");
    Logger::DestroyInstance();
    EXPECT_EQ(nullptr, Logger::GetInstance());
    EXPECT_EQ((Notes{"still running"}), m_Sink.Messages());
    Logger::DestroyInstance();  // nothing left to release
    FacilityLog(facility, 0, LOG_LEVEL_INFO, 0, OMBRA_LOG_MARK, "nobody writes this");
    EXPECT_EQ(1u, m_Sink.Messages().size());
}

TEST_F(LoggerTest, DevicesAreUniqueByNameAndServedInNameOrder) {
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

    LogFacility facility("X");
    FacilityLog(facility, 0, LOG_LEVEL_INFO, 0, OMBRA_LOG_MARK, "one");
    Logger::DestroyInstance();
    EXPECT_EQ((Notes{"A", "B"}), m_Sink.Devices());
}

TEST_F(LoggerTest, ShutdownAndStartOnlyOnce) {
    Logger *logger = Logger::CreateInstance();
    EXPECT_FALSE(logger->Shutdown());
    EXPECT_FALSE(logger->PostLogRecord(LogRecord()));
    ASSERT_TRUE(logger->Start());
    EXPECT_TRUE(logger->PostLogRecord(LogRecord()));
    EXPECT_TRUE(logger->Shutdown());
    EXPECT_FALSE(logger->Shutdown());
    EXPECT_FALSE(logger->PostLogRecord(LogRecord()));
}

TEST_F(LoggerTest, DevicesOfALoggerThatNeverStartedAreDeleted) {
    Logger *logger = Logger::CreateInstance();
    logger->AddLogDevice(new CaptureDevice("A", m_Sink));
    Logger::DestroyInstance();
    EXPECT_EQ((Notes{"delete A"}), m_Sink.Notes());
}

TEST_F(LoggerTest, RecordsOfEachThreadKeepTheirOrder) {
    StartLogger();
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
}

TEST_F(LoggerTest, StatementsRacingTheLastDestroyAreWrittenOrDropped) {
    StartLogger();
    std::atomic<bool> stop{false};
    std::thread writer([&]() {
        LogFacility facility("RACE", LOG_LEVEL_INFO);
        while (!stop) FacilityLog(facility, 0, LOG_LEVEL_INFO, 0, OMBRA_LOG_MARK, "x");
    });
    KoralTest::WaitUntil([&]() { return !m_Sink.Records().empty(); });
    Logger::DestroyInstance();
    stop = true;
    writer.join();
    EXPECT_FALSE(m_Sink.Records().empty());
}

}  // namespace
