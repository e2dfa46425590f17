// The engine reading koralrx.xml from the host's configuration directory.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "KoralRxEngine.h"
#include "KoralRxSpeechContext.h"
#include "TestXml.h"
#include "apt_dir_layout.h"

namespace KORAL {
namespace {

using test::LogCapture;

class EngineConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/koral-cfg-XXXXXX";
        root_ = mkdtemp(tmpl);
        engine_ = new Engine("Koral");
        apr_pool_create(&pool_, nullptr);
        layout_ = apt_default_dir_layout_create(root_.c_str(), pool_);
        apt_dir_layout_dirs_create(layout_, pool_);
        WriteFile("data/key.txt", "0123456789abcdef\n");
    }
    void TearDown() override {
        apr_pool_destroy(pool_);
        delete engine_;  // terminates APR
        std::string cmd = "rm -rf " + root_;
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    void WriteFile(const std::string &rel, const std::string &text) {
        std::ofstream(root_ + "/" + rel) << text;
    }
    bool Load(const std::string &xml) {
        WriteFile("conf/koralrx.xml", xml);
        return engine_->LoadConfig("koralrx.xml", "koralrx", layout_, pool_);
    }

    std::string root_;
    Engine *engine_ = nullptr;
    apr_pool_t *pool_ = nullptr;
    apt_dir_layout_t *layout_ = nullptr;
};

TEST_F(EngineConfigTest, SampleConfigurationLoads) {
    std::string sample = std::string(getenv("KORAL_SOURCE_DIR")) + "/conf/koralrx.xml";
    std::ifstream in(sample);
    std::string xml((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    WriteFile("data/koralrx-key-demo.json", R"({"auth-key":"k"})");
    LogCapture log;
    ASSERT_TRUE(Load(xml));
    EXPECT_EQ(log.Count(APT_PRIO_WARNING), 0u);
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

TEST_F(EngineConfigTest, KeyFilePatternSelectsNewestOrFails) {
    WriteFile("data/k-1.json", "{}");
    sleep(1);
    WriteFile("data/k-2.json", "{}");
    LogCapture log;
    ASSERT_TRUE(Load(R"(<koralrx subscription-key-file="k-*.json"/>)"));
    EXPECT_EQ(engine_->GetSubscriptionKeyFile(), root_ + "/data/k-2.json");
    EXPECT_TRUE(log.Has("Determined Subscription Key File " + root_ + "/data/k-2.json",
                        APT_PRIO_NOTICE));

    EXPECT_FALSE(Load(R"(<koralrx subscription-key-file="none-*.json"/>)"));
    EXPECT_TRUE(log.Has("Failed to Find Subscription Key File " + root_ + "/data/none-*.json",
                        APT_PRIO_WARNING));
}

TEST_F(EngineConfigTest, MissingOrBrokenFileFails) {
    LogCapture log;
    EXPECT_FALSE(engine_->LoadConfig("absent.xml", "koralrx", layout_, pool_));
    EXPECT_TRUE(log.Has("Failed to Open Config File [" + root_ + "/conf/absent.xml]",
                        APT_PRIO_WARNING));
    EXPECT_FALSE(Load("<koralrx><unclosed></koralrx>"));
    EXPECT_TRUE(log.Has("Failed to Parse Config File [" + root_ + "/conf/koralrx.xml]",
                        APT_PRIO_WARNING));
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
}  // namespace KORAL
