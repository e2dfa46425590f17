// The engine reading koralrx.xml from the host's configuration directory.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "KoralRxEngine.h"
#include "KoralRxSpeechContext.h"
#include "KoralTest/AprPool.h"
#include "KoralTest/LogCapture.h"
#include "KoralTest/TempDir.h"
#include "apt_dir_layout.h"

using namespace KORAL;
using KoralTest::LogCapture;

namespace {

class EngineConfigTest : public ::testing::Test {
  protected:
    void SetUp() override {
        engine_ = new Engine("Koral");
        layout_ = apt_default_dir_layout_create(root_.c_str(), pool_);
        apt_dir_layout_dirs_create(layout_, pool_);
        WriteFile("data/key.txt", "0123456789abcdef\n");
    }
    void TearDown() override { delete engine_; }
    void WriteFile(const std::string &rel, const std::string &text) {
        std::ofstream(root_ + "/" + rel) << text;
    }
    bool Load(const std::string &xml) {
        WriteFile("conf/koralrx.xml", xml);
        return engine_->LoadConfig("koralrx.xml", "koralrx", layout_, pool_);
    }

    KoralTest::AprPool apr_;
    KoralTest::TempDir dir_{"koral-cfg"};
    const std::string root_ = dir_.Path();
    apr_pool_t *const pool_ = apr_.get();
    Engine *engine_ = nullptr;
    apt_dir_layout_t *layout_ = nullptr;
};

TEST_F(EngineConfigTest, SampleConfigurationLoads) {
    std::string sample = std::string(getenv("KORAL_SOURCE_DIR")) + "/conf/koralrx.xml";
    std::ifstream in(sample);
    std::string xml((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    WriteFile("data/koralrx-key-demo.json", R"({"auth-key":"k"})");
    LogCapture log;
    ASSERT_TRUE(Load(xml));
    EXPECT_EQ(log.CountAt(APT_PRIO_WARNING), 0u);
    EXPECT_EQ(engine_->GetSubscriptionKeyFile(), root_ + "/data/koralrx-key-demo.json");
    EXPECT_EQ(engine_->GetStreamingSettings().max_alternatives, 3);
    EXPECT_EQ(engine_->GetSpeechContexts().count("yesno"), 1u);
    EXPECT_EQ(engine_->GetUtteranceSettings().waveform_folder, root_ + "/var/utterances");
    EXPECT_EQ(engine_->GetDetectorParams().speech_output_period, 80u);
}

TEST_F(EngineConfigTest, RootNameIsCaseSensitiveChildNamesAreNot) {
    LogCapture log;
    EXPECT_FALSE(Load(R"(<KoralRx subscription-key-file="key.txt"/>)"));
    EXPECT_TRUE(log.Has("Unknown Document", APT_PRIO_WARNING));

    ASSERT_TRUE(Load(R"(<koralrx subscription-key-file="key.txt">
        <WS-STREAMING-RECOGNITION language="fr-FR"/><mystery/></koralrx>)"));
    EXPECT_EQ(engine_->GetStreamingSettings().language, "fr-FR");
    EXPECT_TRUE(log.Has("Unknown Element <mystery>", APT_PRIO_WARNING));
}

TEST_F(EngineConfigTest, PathsResolveAgainstHostDirectories) {
    ASSERT_TRUE(Load(R"(<koralrx subscription-key-file="key.txt">
        <utterance-manager waveform-folder="/abs/utt"/>
        <rdr-manager/>
        <monitoring-agent><usage-change-handler>
          <update-usage enable="true" status-file="usage.status"/>
          <dump-channels enable="true" status-file="/tmp/chan.status"/>
        </usage-change-handler></monitoring-agent></koralrx>)"));
    EXPECT_EQ(engine_->GetSubscriptionKeyFile(), root_ + "/data/key.txt");
    EXPECT_EQ(engine_->GetUtteranceSettings().waveform_folder, "/abs/utt");
    EXPECT_EQ(engine_->GetRdrSettings().record_folder, root_ + "/var/");
    const MonitoringHandler &h = engine_->GetMonitoringSettings().usage_change_handler;
    EXPECT_EQ(h.update_usage.status_file, root_ + "/var/status/usage.status");
    EXPECT_EQ(h.dump_channels.status_file, "/tmp/chan.status");
}

// A pattern names the most recently changed regular file that matches.
TEST_F(EngineConfigTest, KeyFilePatternSelectsNewestOrFails) {
    WriteFile("data/k-1.json", "{}");
    WriteFile("data/k-2.json", "{}");
    ASSERT_TRUE(KoralTest::ChangedAfter(root_ + "/data/k-2.json", root_ + "/data/k-1.json"));
    mkdir((root_ + "/data/k-3.json").c_str(), 0700);
    LogCapture log;
    ASSERT_TRUE(Load(R"(<koralrx subscription-key-file="k-*.json"/>)"));
    EXPECT_EQ(engine_->GetSubscriptionKeyFile(), root_ + "/data/k-2.json");
    EXPECT_TRUE(
        log.Has("Determined Subscription Key File " + root_ + "/data/k-2.json", APT_PRIO_NOTICE));

    EXPECT_FALSE(Load(R"(<koralrx subscription-key-file="none-*.json"/>)"));
    EXPECT_TRUE(log.Has("Failed to Find Subscription Key File " + root_ + "/data/none-*.json",
                        APT_PRIO_WARNING));
    EXPECT_FALSE(Load(R"(<koralrx subscription-key-file="missing/k-*.json"/>)"));
    EXPECT_TRUE(log.Has("Failed to Find Subscription Key File " + root_ + "/data/missing/k-*.json",
                        APT_PRIO_WARNING));
}

// The warning logged right after `message`, or "" when there is none.
std::string WarningAfter(LogCapture &log, const std::string &message) {
    std::vector<KoralTest::LogLine> lines = log.Lines();
    for (size_t i = 0; i + 1 < lines.size(); ++i) {
        if (lines[i].message == message && lines[i + 1].priority == APT_PRIO_WARNING)
            return lines[i + 1].message;
    }
    return "";
}

TEST_F(EngineConfigTest, EveryRefusalSaysWhy) {
    LogCapture log;
    EXPECT_FALSE(engine_->LoadConfig("absent.xml", "koralrx", layout_, pool_));
    EXPECT_TRUE(
        log.Has("Failed to Open Config File [" + root_ + "/conf/absent.xml]", APT_PRIO_WARNING));

    const std::string parse_failed = "Failed to Parse Config File [" + root_ + "/conf/koralrx.xml]";
    EXPECT_FALSE(Load("<koralrx>\n  <unclosed></koralrx>"));
    EXPECT_TRUE(log.Has(parse_failed, APT_PRIO_WARNING));
    EXPECT_EQ(WarningAfter(log, parse_failed),
              "XML Parser Error: XML parser error code: mismatched tag (7) [line 2, column 15]");
    log.Clear();
    EXPECT_FALSE(Load("<koralrx><p:a/></koralrx>"));
    EXPECT_EQ(WarningAfter(log, parse_failed),
              "XML Parser Error: An undefined namespace prefix was used.");

    // A folder, or no key file at all, is named as such, not searched for.
    mkdir((root_ + "/data/keys").c_str(), 0700);
    log.Clear();
    EXPECT_FALSE(Load(R"(<koralrx subscription-key-file="keys"/>)"));
    EXPECT_TRUE(
        log.Has("Subscription Key File " + root_ + "/data/keys Is a Folder", APT_PRIO_WARNING));
    EXPECT_FALSE(Load(R"(<koralrx/>)"));
    EXPECT_FALSE(Load(R"(<koralrx subscription-key-file=""/>)"));
    EXPECT_EQ(log.CountAt(APT_PRIO_WARNING), 3u);
    EXPECT_TRUE(log.Has("Missing Document Attribute <subscription-key-file>", APT_PRIO_WARNING));
}

// Numbers that are not numbers, are negative where that means nothing, or
// overflow: each warns naming the attribute and its value, and keeps the default.
TEST_F(EngineConfigTest, BadNumbersWarnAndKeepTheDefault) {
    struct Case {
        const char *element, *attr, *value, *range, *kept;
    };
    const char *const kStreaming = "ws-streaming-recognition";
    const char *const kDetector = "speech-dtmf-input-detector";
    const Case cases[] = {
        {kStreaming, "max-alternatives", "abc", "1..2147483647", "1"},
        {kStreaming, "max-alternatives", "0", "1..2147483647", "1"},
        {kStreaming, "auth-validation-period", "2147483648", "0..2147483647", "480"},
        {kStreaming, "auth-validation-period", "4294967296", "0..2147483647", "480"},
        {kStreaming, "auth-reattempt-timeout", "-5", "0..2147483647", "60"},
        {kDetector, "noinput-timeout", "abc", "0..2147483647", "10000"},
        {kDetector, "noinput-timeout", "-1", "0..2147483647", "10000"},
        {kDetector, "input-timeout", "1500ms", "0..2147483647", "20000"},
        {kDetector, "vad-mode", "4", "0..3", "2"},
        {kDetector, "vad-mode", "-1", "0..3", "2"},
        {kDetector, "dtmf-length", "99999999999999999999", "0..2147483647", "0"},
        {kDetector, "speech-output-period", "", "0..2147483647", "80"},
        {"utterance-manager", "max-file-age", "-1", "0..2147483647", "60"},
        {"rdr-manager", "max-file-count", "1e3", "0..2147483647", "100"},
        {"monitoring-agent", "refresh-period", "9223372036854775807", "1..2147483647", "60000"},
        {"monitoring-agent", "refresh-period", "0", "1..2147483647", "60000"},
        {kStreaming, "result-timeout", "0", "1..86400", "10"},
        {kStreaming, "result-timeout", "86401", "1..86400", "10"},
    };
    std::string body;
    for (const Case &c : cases)
        body += std::string("<") + c.element + " " + c.attr + "='" + c.value + "'/>";
    // Words not among a setting's values (level names are matched exactly),
    // and names of attributes and elements that mean nothing here.
    body += R"(<utterance-manager log-level="verbose"/><rdr-manager log-level="debug"/>
        <ws-streaming-recognition confidence-format="percent" debug-logging="yes" colour="red"/>
        <monitoring-agent><usage-change-handler><log-usage priority="LOUD"/>
        </usage-change-handler><usage-refresh-handler><whatever/></usage-refresh-handler>
        </monitoring-agent>)";
    LogCapture log;
    ASSERT_TRUE(Load("<koralrx subscription-key-file='key.txt'>" + body + "</koralrx>"));
    for (const Case &c : cases) {
        std::string warning = std::string("Unexpected Value <") + c.value +
                              "> for Numeric Attribute <" + c.attr + ">, Allowed Range [" +
                              c.range + "], Keeping <" + c.kept + ">";
        EXPECT_TRUE(log.Has(warning, APT_PRIO_WARNING)) << warning;
    }
    EXPECT_TRUE(log.Has("Unexpected Value <verbose> for Attribute <log-level>", APT_PRIO_WARNING));
    for (const char *warning : {"Unexpected Value <debug> for Attribute <log-level>",
                                "Unexpected Value <LOUD> for Attribute <priority>",
                                "Unexpected Value <percent> for Attribute <confidence-format>",
                                "Unexpected Value <yes> for Boolean Attribute <debug-logging>",
                                "Unknown Streaming Recognition Attribute <colour>",
                                "Unknown Element <whatever> in <usage-refresh-handler>"})
        EXPECT_TRUE(log.Has(warning, APT_PRIO_WARNING)) << warning;
    EXPECT_EQ(log.CountAt(APT_PRIO_WARNING), std::size(cases) + 7);

    const StreamingRecogSettings &s = engine_->GetStreamingSettings();
    EXPECT_EQ(s.max_alternatives, 1);
    EXPECT_EQ(s.auth_validation_period, 480);
    EXPECT_EQ(s.auth_reattempt_timeout, 60);
    EXPECT_EQ(s.result_timeout, 10);
    EXPECT_EQ(s.confidence_format, StreamingRecogSettings::CONFIDENCE_AUTO);
    EXPECT_FALSE(s.debug_logging);
    const mpf_sdi_params_t &d = engine_->GetDetectorParams();
    EXPECT_EQ(d.noinput_timeout, 10000u);
    EXPECT_EQ(d.input_timeout, 20000u);
    EXPECT_EQ(d.vad_mode, 2u);
    EXPECT_EQ(d.dtmf_length, 0u);
    EXPECT_EQ(d.speech_output_period, 80u);
    EXPECT_EQ(engine_->GetUtteranceSettings().max_file_age, 60);
    EXPECT_EQ(engine_->GetUtteranceSettings().log_level, 5);
    EXPECT_EQ(engine_->GetRdrSettings().log_level, 5);
    EXPECT_EQ(engine_->GetRdrSettings().max_file_count, 100);
    EXPECT_EQ(engine_->GetMonitoringSettings().refresh_period, 60000);
    EXPECT_EQ(engine_->GetMonitoringSettings().usage_change_handler.log_usage.priority,
              APT_PRIO_NOTICE);

    // Good values, bounds included, are read as written; words in any case.
    log.Clear();
    ASSERT_TRUE(Load(R"(<koralrx subscription-key-file="key.txt">
        <WS-Streaming-Recognition max-alternatives=" 5 " auth-validation-period="2147483647"
            auth-reattempt-timeout="0" Interim-Results="TRUE" confidence-format="MRCPV1"
            results-format="transparent" start-of-input="Internal" accept-srgs="False"
            result-timeout="86400"/>
        <speech-dtmf-input-detector vad-mode="0" noinput-timeout="0" dtmf-max-length="+12"/>
        <speech-dtmf-input-detector vad-mode="3"/>
        <utterance-manager max-file-age="0" max-file-count="2147483647" log-level="DEBUG"/>
        <monitoring-agent refresh-period="1"/></koralrx>)"));
    EXPECT_EQ(log.CountAt(APT_PRIO_WARNING), 0u);
    EXPECT_EQ(s.max_alternatives, 5);
    EXPECT_EQ(s.auth_validation_period, 2147483647);
    EXPECT_EQ(s.auth_reattempt_timeout, 0);
    EXPECT_TRUE(s.interim_results);
    EXPECT_EQ(s.confidence_format, StreamingRecogSettings::CONFIDENCE_MRCPV1);
    EXPECT_EQ(s.results_format, StreamingRecogSettings::RESULTS_TRANSPARENT);
    EXPECT_EQ(s.start_of_input, StreamingRecogSettings::START_OF_INPUT_INTERNAL);
    EXPECT_FALSE(s.accept_srgs);
    EXPECT_EQ(s.result_timeout, 86400);
    EXPECT_EQ(d.vad_mode, 3u);
    EXPECT_EQ(d.noinput_timeout, 0u);
    EXPECT_EQ(d.dtmf_max_length, 12u);
    EXPECT_EQ(engine_->GetUtteranceSettings().max_file_age, 0);
    EXPECT_EQ(engine_->GetUtteranceSettings().max_file_count, 2147483647);
    EXPECT_EQ(engine_->GetUtteranceSettings().log_level, 7);
    EXPECT_EQ(engine_->GetMonitoringSettings().refresh_period, 1);
}

// Large documents load in one pass (fed to the parser in small blocks they
// took minutes); one beyond 16 MB is refused before parsing.
TEST_F(EngineConfigTest, LargeDocumentsLoadOversizedOnesAreRefused) {
    const std::string language(1 << 20, 'l');
    LogCapture log;
    ASSERT_TRUE(Load("<koralrx subscription-key-file='key.txt'><!--" + std::string(14 << 20, 'c') +
                     "--><ws-streaming-recognition language='" + language + "'/></koralrx>"));
    EXPECT_EQ(engine_->GetStreamingSettings().language, language);

    const std::string path = root_ + "/conf/koralrx.xml";
    WriteFile("conf/koralrx.xml", "<koralrx subscription-key-file='key.txt'><!--");
    ASSERT_EQ(truncate(path.c_str(), (16 << 20) + 1), 0);
    log.Clear();
    EXPECT_FALSE(engine_->LoadConfig("koralrx.xml", "koralrx", layout_, pool_));
    EXPECT_TRUE(log.Has("Config File [" + path + "] Too Large: more than 16777216 bytes",
                        APT_PRIO_WARNING));
    EXPECT_EQ(log.CountAt(APT_PRIO_WARNING), 1u);
}

TEST_F(EngineConfigTest, SpeechContextsFirstIdWinsAndBadChildrenWarn) {
    LogCapture log;
    ASSERT_TRUE(Load(R"(<koralrx subscription-key-file="key.txt"><speech-contexts>
        <speech-context id="a"><phrase>one</phrase></speech-context>
        <speech-context id="a"><phrase>two</phrase><phrase>three</phrase></speech-context>
        <speech-context enable="false" id="off"/>
        <phrase>stray</phrase>
      </speech-contexts></koralrx>)"));
    ASSERT_EQ(engine_->GetSpeechContexts().size(), 1u);
    EXPECT_TRUE(log.Has("Unknown Element <phrase> in Speech Contexts", APT_PRIO_WARNING));
}

}  // namespace
