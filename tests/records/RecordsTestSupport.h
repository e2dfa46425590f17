// What the record tests share: a record folder in a temporary directory, a
// timer processor pumped by hand on a settable clock, the framework log
// captured, file times set with utimes and read back as the folder's file
// times, and little-endian fields of files.
#ifndef KORAL_TESTS_RECORDS_SUPPORT_H
#define KORAL_TESTS_RECORDS_SUPPORT_H

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <cstdint>
#include <string>

#include "KoralTest/TempDir.h"
#include "OmbraFileManager.h"
#include "OmbraLogger.h"
#include "OmbraTestSupport.h"

namespace KORAL {
namespace test {

class RecordsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(temp_.Path().empty());
        folder_ = temp_.Path() + "/records";
        Ombra::Logger *logger = Ombra::Logger::CreateInstance();
        logger->AddLogDevice(new OmbraTest::CaptureDevice("CAPTURE", sink_));
        ASSERT_TRUE(logger->Start());
        processor_.GetTimerQueue()->SetClock(clock_.Source());
    }
    void TearDown() override {
        while (Ombra::Logger::GetInstance()) Ombra::Logger::DestroyInstance();
    }

    // The manager's timers run on the hand-pumped processor, and the file
    // times it reads at start are the modification times tests set.
    void Attach(Ombra::FileManager &manager) {
        manager.SetTimerProcessor(&processor_);
        manager.SetTimeSources(nullptr, [](const std::string &path, apr_time_t ctime) {
            struct stat st;
            if (stat(path.c_str(), &st) != 0) return ctime;
            return apr_time_from_sec(st.st_mtim.tv_sec);
        });
    }
    // Lets `ms` of timer time pass: pending timer starts and stops are
    // taken up first, then every timer due fires.
    void AdvanceTimers(int64_t ms) {
        processor_.Pump();
        clock_.AdvanceMs(ms);
        ASSERT_TRUE(processor_.GetTimerQueue()->Advance());
        processor_.Pump();
    }
    // Writes every pending framework log record; the logger is gone after.
    OmbraTest::LogSink &FlushLog() {
        while (Ombra::Logger::GetInstance()) Ombra::Logger::DestroyInstance();
        return sink_;
    }

    std::string Path(const std::string &name) const { return folder_ + "/" + name; }
    bool Exists(const std::string &name) const {
        struct stat st;
        return stat(Path(name).c_str(), &st) == 0;
    }
    // A file of the folder, last modified `minutes` ago.
    void MakeFile(const std::string &name, int minutes) {
        ASSERT_TRUE(KoralTest::WriteTextFile(Path(name), "old"));
        struct timeval now;
        gettimeofday(&now, nullptr);
        struct timeval times[2] = {now, now};
        times[0].tv_sec = times[1].tv_sec = now.tv_sec - minutes * 60;
        ASSERT_EQ(0, utimes(Path(name).c_str(), times));
    }
    static uint32_t Le32(const std::string &bytes, size_t offset) {
        uint32_t v = 0;
        for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(bytes[offset + i]);
        return v;
    }

    KoralTest::TempDir temp_{"koral-records"};
    std::string folder_;
    OmbraTest::LogSink sink_;
    OmbraTest::FakeClock clock_;
    OmbraTest::ManualProcessor processor_;
};

}  // namespace test
}  // namespace KORAL

#endif  // KORAL_TESTS_RECORDS_SUPPORT_H
