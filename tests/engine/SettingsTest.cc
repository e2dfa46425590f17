// Configuration blocks read by the engine itself.
#include <gtest/gtest.h>

#include "KoralRxMonitoring.h"
#include "KoralRxRecordSettings.h"
#include "KoralRxStreamingSettings.h"
#include "KoralTest/AprPool.h"
#include "KoralTest/LogCapture.h"

using namespace KORAL;
using KoralTest::AprPool;
using KoralTest::LogCapture;

namespace {

TEST(StreamingSettingsTest, DefaultsAndValuesInAnyCase) {
    AprPool pool;
    StreamingRecogSettings s;
    EXPECT_EQ(s.max_alternatives, 1);
    EXPECT_EQ(s.language, "en-US");
    EXPECT_TRUE(s.accept_srgs);
    EXPECT_TRUE(s.tls_verify);

    LogCapture log;
    ASSERT_TRUE(s.Load(pool.Xml(
        R"(<WS-Streaming-Recognition Interim-Results="TRUE" confidence-format="MRCPV1"
            results-format="transparent" start-of-input="Internal" max-alternatives="7"
            language="de-DE" accept-srgs="False" auth-validation-period="30"/>)")));
    EXPECT_TRUE(s.interim_results);
    EXPECT_EQ(s.confidence_format, StreamingRecogSettings::CONFIDENCE_MRCPV1);
    EXPECT_EQ(s.results_format, StreamingRecogSettings::RESULTS_TRANSPARENT);
    EXPECT_EQ(s.start_of_input, StreamingRecogSettings::START_OF_INPUT_INTERNAL);
    EXPECT_EQ(s.max_alternatives, 7);
    EXPECT_EQ(s.language, "de-DE");
    EXPECT_FALSE(s.accept_srgs);
    EXPECT_EQ(s.auth_validation_period, 30);
    EXPECT_EQ(log.CountAt(APT_PRIO_WARNING), 0u);
    EXPECT_TRUE(log.Has("Load Streaming Recognition Attribute: language = de-DE", APT_PRIO_DEBUG));
}

TEST(StreamingSettingsTest, BadValuesWarnAndKeepPreviousValue) {
    AprPool pool;
    StreamingRecogSettings s;
    LogCapture log;
    EXPECT_EQ(s.result_timeout, 10);
    s.Load(
        pool.Xml(R"(<ws-streaming-recognition confidence-format="mrcpv2" result-timeout="5"/>)"));
    s.Load(pool.Xml(R"(<ws-streaming-recognition confidence-format="percent"
                         debug-logging="yes" colour="red"/>)"));
    for (const char *bad : {"0", "-3", "abc", "2s", "", "99999999999999999999", "86401"}) {
        std::string xml = std::string("<ws-streaming-recognition result-timeout=\"") + bad + "\"/>";
        s.Load(pool.Xml(xml.c_str()));
        EXPECT_TRUE(log.Has(
            std::string("Unexpected Value <") + bad +
                "> for Numeric Attribute <result-timeout>, Allowed Range [1..86400], Keeping <5>",
            APT_PRIO_WARNING))
            << bad;
    }
    EXPECT_EQ(s.result_timeout, 5);
    EXPECT_EQ(s.confidence_format, StreamingRecogSettings::CONFIDENCE_MRCPV2);
    EXPECT_FALSE(s.debug_logging);
    EXPECT_TRUE(
        log.Has("Unexpected Value <percent> for Attribute <confidence-format>", APT_PRIO_WARNING));
    EXPECT_TRUE(
        log.Has("Unexpected Value <yes> for Boolean Attribute <debug-logging>", APT_PRIO_WARNING));
    EXPECT_TRUE(log.Has("Unknown Streaming Recognition Attribute <colour>", APT_PRIO_WARNING));
}

TEST(RecordSettingsTest, FoldersAndLimits) {
    AprPool pool;
    UtteranceSettings u;
    EXPECT_EQ(u.file_ext, ".wav");
    u.Load(pool.Xml(R"(<utterance-manager save-waveforms="true" max-file-count="3"
                         waveform-folder="utt" log-level="DEBUG" bogus="1"/>)"));
    EXPECT_TRUE(u.save_waveforms);
    EXPECT_EQ(u.max_file_count, 3);
    EXPECT_EQ(u.waveform_folder, "utt");
    EXPECT_EQ(u.log_level, 7);

    RdrSettings r;
    LogCapture log;
    r.Load(pool.Xml(R"(<rdr-manager save-records="TRUE" log-level="debug" file-ext=".js"/>)"));
    EXPECT_TRUE(r.save_records);
    EXPECT_EQ(r.log_level, 5);  // level names are matched exactly
    EXPECT_EQ(r.file_ext, ".js");
    EXPECT_TRUE(log.Has("Unexpected Value <debug> for Attribute <log-level>", APT_PRIO_WARNING));
    EXPECT_EQ(log.CountAt(APT_PRIO_WARNING), 1u);
}

TEST(MonitoringSettingsTest, HandlersAndDefaults) {
    AprPool pool;
    MonitoringSettings m;
    LogCapture log;
    m.Load(pool.Xml(R"(<monitoring-agent>
        <usage-refresh-handler>
          <log-usage enable="true" priority="INFO"/>
          <update-usage enable="true" status-file="u.status"/>
          <whatever/>
        </usage-refresh-handler>
      </monitoring-agent>)"));
    EXPECT_EQ(m.refresh_period, 60000);
    EXPECT_FALSE(m.usage_change_handler.AnyEnabled());
    EXPECT_TRUE(m.usage_refresh_handler.log_usage.enable);
    EXPECT_EQ(m.usage_refresh_handler.log_usage.priority, APT_PRIO_INFO);
    EXPECT_EQ(m.usage_refresh_handler.update_usage.status_file, "u.status");
    EXPECT_TRUE(log.Has("Unknown Element <whatever> in <usage-refresh-handler>", APT_PRIO_WARNING));
}

}  // namespace
