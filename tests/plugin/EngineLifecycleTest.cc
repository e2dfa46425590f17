// Engine open and close, and channels, through the host.
#include "KoralTest/Speech.h"
#include "PluginFixture.h"

using namespace KoralTest;

namespace {

class EngineLifecycleTest : public PluginFixture {};

// Channels at both rates open and close; frames and digits reaching a
// channel with no recognition are dropped without a warning.
TEST_F(EngineLifecycleTest, OpensChannelsAtBothRatesDropsIdleFramesAndCloses) {
    WriteConfig("<ws-streaming-recognition language=\"en-GB\"/>");
    // 200 ms of a loud tone at 8000 Hz.
    ASSERT_TRUE(WriteWav(root_ + "/tone.wav", Tone(200, 8000, 440, 0.25), 8000));
    HostRun run = Run("channel a rate=8000\nchannel b rate=16000\naudio a " + root_ +
                      "/tone.wav\ndtmf a 1#\nsilence a 100\ndtmf b 5\nsleep 500\n"
                      "close a\nclose b\n");
    EXPECT_EQ(run.status, 0) << run.out << run.log;
    EXPECT_TRUE(Contains(run.log, "KORAL Plugin Version [1.8.0] Date [2019-06-07]"));
    EXPECT_TRUE(Contains(run.log, "Open Config File [" + root_ + "/conf/koralrx.xml]"));
    EXPECT_TRUE(Contains(run.log, "Load Streaming Recognition Attribute: language = en-GB"));
    EXPECT_TRUE(Contains(run.log, "Auth Endpoint ["));
    EXPECT_TRUE(Contains(run.log, "Open <"));
    EXPECT_TRUE(Contains(run.log, "Close <"));
    // No warning from the channel or its detector (the token fetch may warn).
    std::istringstream lines(run.log);
    for (std::string line; std::getline(lines, line);) {
        if (!Contains(line, "[WARN ]")) continue;
        EXPECT_FALSE(Contains(line, "mpf_sdi") || Contains(line, "KoralRxChannel")) << line;
    }
}

// Through the host, a key file without a key, and none matching, fail the
// open with their reason (the engine tests read every broken file).
TEST_F(EngineLifecycleTest, UnusableKeyFileFailsTheOpen) {
    WriteFile("data/key.json", R"({"auth-endpoint":"https://127.0.0.1:1/sts/v1.0/issueToken"})");
    WriteConfig("", "key.json");
    HostRun run = Run("channel a\n");
    EXPECT_NE(run.status, 0);
    EXPECT_TRUE(Contains(run.log, "Failed to Read Auth Key from File " + root_ + "/data/key.json"))
        << run.log;

    WriteConfig("", "absent-*.key");
    run = Run("channel a\n");
    EXPECT_NE(run.status, 0);
    EXPECT_TRUE(Contains(run.log, "Failed to Find Subscription Key File"));
    EXPECT_TRUE(Contains(run.log, "Failed to Load VTS Koral Config"));
}

TEST_F(EngineLifecycleTest, UsageFilesFollowChannelOpenAndClose) {
    WriteConfig(R"(<monitoring-agent><usage-change-handler>
        <log-usage enable="true" priority="NOTICE"/>
        <update-usage enable="true" status-file="usage.status"/>
        <dump-channels enable="true" status-file="channels.status"/>
      </usage-change-handler></monitoring-agent>)");
    ASSERT_EQ(system(("mkdir -p " + root_ + "/var/status").c_str()), 0);
    // Three opens, at most two channels at once.
    HostRun run =
        Run("channel a\nchannel b\nclose a\nchannel c\nclose b\nsleep 50\n", "--max-channels 7");
    ASSERT_EQ(run.status, 0) << run.out << run.log;
    // Engine shut-down reports once more, with c closed by the host at exit.
    EXPECT_TRUE(Contains(run.log, "Koral Usage: 2/2/7"));
    EXPECT_TRUE(Contains(run.log, "Koral Usage: 1/2/7"));
    EXPECT_FALSE(Contains(run.log, "Koral Usage: 2/3/7"));
    std::string usage = ReadFile(root_ + "/var/status/usage.status");
    EXPECT_TRUE(Contains(usage, "max used channels: 2\n")) << usage;
    EXPECT_TRUE(Contains(usage, "total channels: 7\n")) << usage;
}

size_t CountOf(const std::string &text, const std::string &part) {
    size_t n = 0;
    for (size_t pos = text.find(part); pos != std::string::npos; pos = text.find(part, pos + 1))
        ++n;
    return n;
}

// The record folders are made and scanned when the engine starts, before
// any channel: what an earlier run left is purged or kept within the limits.
// A folder that cannot be made fails the open.
TEST_F(EngineLifecycleTest, RecordFoldersAreLoadedAtStart) {
    ASSERT_EQ(system(("mkdir -p " + root_ + "/var/rdr").c_str()), 0);
    WriteFile("var/koralrx-x-1-8-kHz.wav", "old");
    WriteFile("var/keep.wav", "not ours");
    for (const char *name : {"koralrx-x-1.json", "koralrx-x-2.json", "koralrx-x-3.json"})
        WriteFile(std::string("var/rdr/") + name, "{}");
    // A token endpoint on loopback where nothing listens: no name to resolve.
    WriteFile("data/key.json",
              R"({"auth-endpoint":"https://127.0.0.1:1/sts/v1.0/issueToken","auth-key":"k",)"
              R"("service-endpoint":"https://127.0.0.1:1/speech"})");
    WriteConfig(R"(<utterance-manager save-waveforms="true" purge-existing="true"/>
        <rdr-manager save-records="true" record-folder="rdr" max-file-count="1"/>)",
                "key.json");
    HostRun run = Run("channel a\nclose a\n");
    ASSERT_EQ(run.status, 0) << run.out << run.log;
    EXPECT_FALSE(std::ifstream(root_ + "/var/koralrx-x-1-8-kHz.wav").good());
    EXPECT_TRUE(std::ifstream(root_ + "/var/keep.wav").good());
    int left = 0;
    for (const char *name : {"koralrx-x-1.json", "koralrx-x-2.json", "koralrx-x-3.json"})
        left += std::ifstream(root_ + "/var/rdr/" + name).good();
    EXPECT_EQ(left, 1);
    for (const char *line : {"Create Utterance Manager", "Create RDR Manager",
                             "Destroy Utterance Manager", "Destroy RDR Manager"})
        EXPECT_EQ(CountOf(run.log, line), 1u) << line;

    WriteFile("var/blocker", "a file where a folder should be");
    WriteConfig(R"(<utterance-manager waveform-folder="blocker/waves"/>)", "key.json");
    run = Run("channel a\n");
    EXPECT_NE(run.status, 0);
    EXPECT_TRUE(Contains(run.log, "Failed to Create Utterance Manager")) << run.log;
    EXPECT_FALSE(Contains(run.log, "Create RDR Manager"));
}

TEST_F(EngineLifecycleTest, RefreshTimerOnlyWhenAnItemIsEnabled) {
    WriteConfig(R"(<monitoring-agent refresh-period="1"><usage-refresh-handler>
        <log-usage enable="true" priority="INFO"/></usage-refresh-handler></monitoring-agent>)");
    HostRun run = Run("channel a\nsleep 2600\nclose a\n", "--speed 1");
    ASSERT_EQ(run.status, 0) << run.out << run.log;
    EXPECT_EQ(CountOf(run.log, "Set Usage Refresh Timer [1 sec]"), 1u);
    EXPECT_GE(CountOf(run.log, "Koral Usage: 1/1/"), 2u) << run.log;

    WriteConfig(R"(<monitoring-agent refresh-period="1"/>)");
    run = Run("channel a\nsleep 1200\nclose a\n", "--speed 1");
    ASSERT_EQ(run.status, 0);
    EXPECT_EQ(CountOf(run.log, "Set Usage Refresh Timer"), 0u);
    EXPECT_EQ(CountOf(run.log, "Koral Usage"), 0u);
}

}  // namespace
