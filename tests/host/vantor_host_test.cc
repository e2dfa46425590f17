// vantor-host end to end: the command loads a fake plugin module, opens and
// closes its engine and runs session scripts against it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "KoralTest/Process.h"
#include "KoralTest/Speech.h"
#include "KoralTest/TempDir.h"

using namespace KoralTest;

namespace {

std::string Env(const char *name) {
    const char *v = getenv(name);
    return v ? v : "";
}

bool Contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

class VantorHost : public ::testing::Test {
  protected:
    void SetUp() override {
        host_ = Env("VANTOR_HOST");
        plugin_ = Env("VANTOR_FAKE_PLUGIN");
        ASSERT_FALSE(host_.empty()) << "VANTOR_HOST not set";
        root_ = dir_.Path();
        ASSERT_FALSE(root_.empty());
    }

    // Runs vantor-host with args and FAKE_PLUGIN_MODE=mode; kills it after 60 s.
    ProgramRun Run(std::vector<std::string> args, const std::string &mode = "",
                   bool with_defaults = true) {
        if (with_defaults) {
            std::vector<std::string> defaults = {
                "--root", root_, "--log-file", root_ + "/host.log", "--log-priority", "DEBUG"};
            if (std::find(args.begin(), args.end(), "--plugin") == args.end()) {
                defaults.push_back("--plugin");
                defaults.push_back(plugin_);
            }
            args.insert(args.begin(), defaults.begin(), defaults.end());
        }
        std::vector<std::string> argv = {host_};
        argv.insert(argv.end(), args.begin(), args.end());
        ProgramRun r = RunCapturing(argv, {{"FAKE_PLUGIN_MODE", mode}});
        EXPECT_FALSE(r.m_TimedOut) << "vantor-host did not finish";
        return r;
    }

    ProgramRun RunScript(const std::string &script, const std::string &mode = "",
                         std::vector<std::string> extra = {}) {
        std::string path = root_ + "/session.txt";
        std::ofstream(path) << script;
        extra.push_back("run");
        extra.push_back(path);
        return Run(extra, mode);
    }

    std::string Log() { return ReadFile(root_ + "/host.log"); }
    static std::string ReadFile(const std::string &path) {
        std::string text;
        ReadTextFile(path, text);
        return text;
    }

    // Frame counts the fake plugin wrote for each channel it closed, in no order.
    std::vector<std::map<std::string, std::string>> FrameStats() {
        std::vector<std::map<std::string, std::string>> all;
        std::string list = root_ + "/list.txt";
        std::string cmd = "ls " + root_ + "/var/frames-*.txt > " + list + " 2>/dev/null";
        if (system(cmd.c_str()) != 0) return all;
        std::istringstream files(ReadFile(list));
        std::string file;
        while (std::getline(files, file)) {
            std::map<std::string, std::string> stats;
            std::istringstream lines(ReadFile(file));
            std::string line;
            while (std::getline(lines, line)) {
                size_t eq = line.find('=');
                if (eq != std::string::npos) stats[line.substr(0, eq)] = line.substr(eq + 1);
            }
            all.push_back(stats);
        }
        return all;
    }

    void WriteSineWav(const std::string &path, unsigned rate, unsigned ms) {
        ASSERT_TRUE(WriteWav(path, Tone(ms, rate, 440, 8000.0 / 32768), rate));
    }

    TempDir dir_{"vantor-host-test"};
    std::string host_, plugin_, root_;
};

// --- Loading and the engine's answers ---

TEST_F(VantorHost, OpenModeOpensAndClosesTheEngine) {
    ProgramRun r = Run({"open", "--max-channels", "7"});
    EXPECT_EQ(r.m_Status, 0) << r.m_Err;
    std::string log = Log();
    EXPECT_TRUE(Contains(log, "Fake Engine Open [] max-channels=7")) << log;
    EXPECT_TRUE(Contains(log, "Engine Open Response [success]"));
    EXPECT_TRUE(Contains(log, "Engine Close Response [success]"));
    EXPECT_TRUE(Contains(log, "Directory Layout [4] " + root_ + "/var"));
}

TEST_F(VantorHost, LoaderRefusesBadModules) {
    ProgramRun r = Run({"open", "--plugin", Env("VANTOR_FAKE_PLUGIN_BADVERSION")});
    EXPECT_EQ(r.m_Status, 1);
    EXPECT_TRUE(
        Contains(r.m_Err, "was built for host plugin interface 2.6.0, this host provides 1.6.0"))
        << r.m_Err;
    r = Run({"open", "--plugin", Env("VANTOR_FAKE_PLUGIN_NOCREATE")});
    EXPECT_EQ(r.m_Status, 1);
    EXPECT_TRUE(Contains(r.m_Err, "does not export mrcp_plugin_create")) << r.m_Err;
    r = Run({"open", "--plugin", root_ + "/missing.so"});
    EXPECT_EQ(r.m_Status, 1);
    EXPECT_TRUE(Contains(r.m_Err, "cannot load plugin " + root_ + "/missing.so")) << r.m_Err;
}

TEST_F(VantorHost, EngineOpenAndCloseFailures) {
    ProgramRun r = Run({"open"}, "open-fail");
    EXPECT_EQ(r.m_Status, 1);
    EXPECT_TRUE(Contains(r.m_Err, "engine open failed: the plugin answered with a failure"))
        << r.m_Err;
    r = Run({"open", "--timeout", "300"}, "open-silent");
    EXPECT_EQ(r.m_Status, 1);
    EXPECT_TRUE(Contains(r.m_Err, "engine open failed: no answer within 300 ms")) << r.m_Err;
    r = Run({"open", "--timeout", "300"}, "close-silent");
    EXPECT_EQ(r.m_Status, 1);
    EXPECT_TRUE(Contains(r.m_Err, "engine close failed: no answer within 300 ms")) << r.m_Err;
    r = Run({"open"}, "open-twice");
    EXPECT_EQ(r.m_Status, 1);
    EXPECT_TRUE(Contains(r.m_Err, "1 plugin fault(s)")) << r.m_Err;
    EXPECT_TRUE(Contains(Log(), "Plugin Fault: engine open answered more than once"));
}

TEST_F(VantorHost, UsageAndScriptErrorsExitTwoBeforeLoading) {
    ProgramRun r = Run({"--bogus", "open"}, "", false);
    EXPECT_EQ(r.m_Status, 2);
    EXPECT_TRUE(Contains(r.m_Err, "unknown option --bogus"));
    r = RunScript("channel a\nfly\n");
    EXPECT_EQ(r.m_Status, 2);
    EXPECT_TRUE(Contains(r.m_Err, "line 2: missing or bad channel name")) << r.m_Err;
    EXPECT_FALSE(Contains(Log(), "Loaded Plugin"));
    std::ofstream(root_ + "/ok.txt") << "channel a\nclose a\n";
    r = Run({"check", root_ + "/ok.txt"}, "", false);
    EXPECT_EQ(r.m_Status, 0);
    EXPECT_TRUE(Contains(r.m_Out, "2 commands"));
    r = Run({"--help"}, "", false);
    EXPECT_EQ(r.m_Status, 0);
    EXPECT_TRUE(Contains(r.m_Out, "usage: vantor-host"));
}

// --- Sessions ---

// A request answered and printed as MRCP text; STOP ends a recognition
// without a RECOGNITION-COMPLETE.
TEST_F(VantorHost, RequestsAreAnsweredAndPrintedAsMrcpText) {
    ProgramRun r = RunScript(
        "channel a\n"
        "send a SET-PARAMS 1\nNo-Input-Timeout: 4000\n.\n"
        "wait a response 1 status=200 state=COMPLETE\n"
        "send a RECOGNIZE 2\n.\n"
        "wait a response 2\n"
        "send a STOP 3\n.\n"
        "wait a response 3 status=200\n"
        "none a RECOGNITION-COMPLETE timeout=300\n"
        "close a\n");
    EXPECT_EQ(r.m_Status, 0) << r.m_Err;
    EXPECT_TRUE(Contains(r.m_Out, " a | MRCP/2.0 ")) << r.m_Out;
    EXPECT_TRUE(Contains(r.m_Out, " 1 200 COMPLETE\n")) << r.m_Out;
    EXPECT_TRUE(Contains(r.m_Out, "@speechrecog\n")) << r.m_Out;
    EXPECT_TRUE(Contains(r.m_Out, "Active-Request-Id-List:2")) << r.m_Out;
}

TEST_F(VantorHost, JsonOutputCarriesTheHeadersTheHostParsed) {
    ProgramRun r = RunScript(
        "channel a\n"
        "send a GET-PARAMS 5\n"
        "Confidence-Threshold: 0.7\n"
        "Speech-Language: de-DE\n"
        "DTMF-Term-Char: #\n"
        "No-Input-Timeout:\n"
        "Fetch-Timeout:\n"
        "X-Custom: kept\n"
        "\n"
        "line one\n"
        "..line two\n"
        ".\n"
        "wait a response 5\n",
        "", {"--json"});
    EXPECT_EQ(r.m_Status, 0) << r.m_Err;
    std::istringstream lines(r.m_Out);
    std::string line;
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_EQ(line.find("{\"t\": "), 0u) << line;
    EXPECT_TRUE(Contains(line,
                         "\"channel\": \"a\", \"kind\": \"response\", \"name\": \"GET-PARAMS\", "
                         "\"request_id\": 5, \"status\": 200, \"state\": \"COMPLETE\""))
        << line;
    EXPECT_TRUE(Contains(line, "\"Confidence-Threshold\": \"0.7\"")) << line;
    EXPECT_TRUE(Contains(line, "\"Speech-Language\": \"de-DE\"")) << line;
    EXPECT_TRUE(Contains(line, "\"DTMF-Term-Char\": \"#\"")) << line;
    EXPECT_TRUE(Contains(line, "\"No-Input-Timeout\": \"\"")) << line;  // named, as GET-PARAMS does
    EXPECT_TRUE(Contains(line, "\"Fetch-Timeout\": \"\"")) << line;
    EXPECT_TRUE(Contains(line, "\"Content-Length\": \"21\"")) << line;
    EXPECT_TRUE(Contains(line, "\"body\": \"line one\\r\\n.line two\\r\\n\"}")) << line;
    EXPECT_FALSE(std::getline(lines, line));  // one message, one line
}

TEST_F(VantorHost, DtmfReachesThePluginAsNamedEvents) {
    ProgramRun r = RunScript(
        "channel a\n"
        "send a RECOGNIZE 1\n.\n"
        "wait a response 1 state=IN-PROGRESS\n"
        "dtmf a 12# on=100 off=50\n"
        "wait a START-OF-INPUT\n"
        "wait a RECOGNITION-COMPLETE cause=0 state=COMPLETE\n"
        "close a\n",
        "", {"--json", "--speed", "20"});
    EXPECT_EQ(r.m_Status, 0) << r.m_Err;
    EXPECT_TRUE(Contains(r.m_Out, "\"Input-Type\": \"dtmf\"")) << r.m_Out;
    EXPECT_TRUE(Contains(r.m_Out, "\"Completion-Cause\": \"000 success\"")) << r.m_Out;
    EXPECT_TRUE(Contains(r.m_Out, "\"body\": \"12#\"")) << r.m_Out;
    auto stats = FrameStats();
    ASSERT_EQ(stats.size(), 1u);
    EXPECT_EQ(stats[0]["digits"], "12#");
    EXPECT_EQ(stats[0]["starts"], "3");
    EXPECT_EQ(stats[0]["ends"], "3");
    EXPECT_EQ(stats[0]["durations"], "800 800 800 ");  // 100 ms in 8 kHz units
    EXPECT_EQ(stats[0]["events"], "30");
    EXPECT_EQ(stats[0]["bad_size"], "0");
}

TEST_F(VantorHost, WaveAudioAtSixteenKilohertz) {
    WriteSineWav(root_ + "/tone 16k.wav", 16000, 500);
    ProgramRun r = RunScript(
        "channel wide rate=16000\n"
        "send wide RECOGNIZE 3\n.\n"
        "wait wide response 3\n"
        "audio wide tone 16k.wav\n"
        "drain wide\n"
        "wait wide START-OF-INPUT\n"
        "wait wide RECOGNITION-COMPLETE cause=0\n"
        "close wide\n",
        "", {"--speed", "0"});
    EXPECT_EQ(r.m_Status, 0) << r.m_Err;
    EXPECT_TRUE(Contains(r.m_Out, "Input-Type:speech")) << r.m_Out;
    auto stats = FrameStats();
    ASSERT_EQ(stats.size(), 1u);
    EXPECT_EQ(stats[0]["rate"], "16000");
    EXPECT_EQ(stats[0]["loud"], "50");  // 500 ms of tone
    EXPECT_EQ(stats[0]["bad_size"], "0");
}

TEST_F(VantorHost, AudioOfTheWrongRateIsAClearError) {
    WriteSineWav(root_ + "/tone.wav", 16000, 100);
    ProgramRun r = RunScript("channel a\naudio a tone.wav\n");
    EXPECT_EQ(r.m_Status, 1);
    EXPECT_TRUE(
        Contains(r.m_Err, "line 2: audio a " + root_ +
                              "/tone.wav: sampled at 16000 Hz but channel a runs at 8000 Hz"))
        << r.m_Err;
    EXPECT_TRUE(Contains(Log(), "Engine Close Response [success]"));  // still shut down in order
    r = RunScript("channel a\naudio a " + root_ + "\n");
    EXPECT_EQ(r.m_Status, 1);
    EXPECT_TRUE(Contains(r.m_Err, "line 2: audio a " + root_ + ": cannot read: Is a directory\n"))
        << r.m_Err;
    r = RunScript("channel a\naudio a none.wav\n");
    EXPECT_EQ(r.m_Status, 1);
    EXPECT_TRUE(
        Contains(r.m_Err, "line 2: audio a " + root_ + "/none.wav: cannot open: No such file"))
        << r.m_Err;
}

// The media clock feeds silence while a channel is open; a closed channel's
// name can be opened again.
TEST_F(VantorHost, MediaClockFeedsSilenceAndNamesCanBeReopened) {
    ProgramRun r = RunScript("channel a\nsleep 300\nclose a\nchannel a rate=16000\nclose a\n", "",
                             {"--speed", "10"});
    EXPECT_EQ(r.m_Status, 0) << r.m_Err;
    auto stats = FrameStats();
    ASSERT_EQ(stats.size(), 2u);
    auto &narrow = stats[0]["rate"] == "8000" ? stats[0] : stats[1];
    EXPECT_EQ(narrow["rate"], "8000");
    EXPECT_GE(std::stoi(narrow["frames"]), 30);
    EXPECT_EQ(narrow["frames"], narrow["audio"]);
    EXPECT_EQ(narrow["loud"], "0");
    EXPECT_EQ(narrow["events"], "0");
}

TEST_F(VantorHost, NoInputTimeoutRunsOnMediaTime) {
    ProgramRun r = RunScript(
        "channel a\n"
        "send a RECOGNIZE 1\nNo-Input-Timeout: 2000\n.\n"
        "wait a RECOGNITION-COMPLETE cause=2 timeout=5000\n",
        "", {"--speed", "50"});  // 2 s of media in about 40 ms
    EXPECT_EQ(r.m_Status, 0) << r.m_Err;
    EXPECT_TRUE(Contains(r.m_Out, "Completion-Cause:002 no-input-timeout")) << r.m_Out;
    EXPECT_TRUE(Contains(Log(), "Close Channel a left open by the script"));
}

TEST_F(VantorHost, MrcpV1Channel) {
    ProgramRun r = RunScript(
        "channel old version=1\n"
        "send old RECOGNIZE 8\n.\n"
        "wait old response 8\n"
        "dtmf old 5\n"
        "wait old START-OF-INPUT\n"
        "wait old RECOGNITION-COMPLETE cause=0\n",
        "", {"--speed", "20"});
    EXPECT_EQ(r.m_Status, 0) << r.m_Err;
    EXPECT_TRUE(Contains(r.m_Out, " old | MRCP/1.0 8 200 IN-PROGRESS\n")) << r.m_Out;
    EXPECT_TRUE(Contains(r.m_Out, " old | START-OF-SPEECH 8 IN-PROGRESS MRCP/1.0\n")) << r.m_Out;
    EXPECT_TRUE(Contains(r.m_Out, " old | RECOGNITION-COMPLETE 8 COMPLETE MRCP/1.0\n")) << r.m_Out;
    EXPECT_FALSE(Contains(r.m_Out, "Channel-Identifier"));
    EXPECT_FALSE(Contains(r.m_Out, "Input-Type"));
}

TEST_F(VantorHost, WaitAndNoneFailures) {
    ProgramRun r = RunScript("channel a\nwait a RECOGNITION-COMPLETE timeout=200\n");
    EXPECT_EQ(r.m_Status, 1);
    EXPECT_TRUE(Contains(
        r.m_Err, "line 2: wait a RECOGNITION-COMPLETE: no RECOGNITION-COMPLETE within 200 ms"))
        << r.m_Err;
    EXPECT_TRUE(
        Contains(Log(), "Channel Close Response a"));  // the failed run still closes in order
    r = RunScript("channel a\nsend a STOP 1\n.\nnone a response 1 timeout=2000\n");
    EXPECT_EQ(r.m_Status, 1);
    EXPECT_TRUE(Contains(r.m_Err, "unexpected response 1")) << r.m_Err;
    r = RunScript("channel a\nsend a STOP 1\n.\nwait a response 1 status=407\n");
    EXPECT_EQ(r.m_Status, 1);
    EXPECT_TRUE(Contains(r.m_Err, "response 1 has status 200, expected 407")) << r.m_Err;
}

TEST_F(VantorHost, ChannelFailures) {
    ProgramRun r = RunScript("channel a\n", "channel-open-fail");
    EXPECT_EQ(r.m_Status, 1);
    EXPECT_TRUE(
        Contains(r.m_Err, "line 1: channel a: open failed: the plugin answered with a failure"))
        << r.m_Err;
    r = RunScript("channel a rate=16000\n", "narrowband");
    EXPECT_EQ(r.m_Status, 1);
    EXPECT_TRUE(Contains(r.m_Err, "codec negotiation failed")) << r.m_Err;
    r = RunScript("channel a\nchannel b\n", "", {"--max-channels", "1"});
    EXPECT_EQ(r.m_Status, 1);
    EXPECT_TRUE(Contains(r.m_Err, "line 2: channel b: all 1 channels are in use")) << r.m_Err;
    r = RunScript("channel a\nsend a RECOGNIZE 1\nNo-Input-Timeout: soon\n.\n");
    EXPECT_EQ(r.m_Status, 1);
    EXPECT_TRUE(Contains(r.m_Err, "illegal value of header No-Input-Timeout: soon")) << r.m_Err;
    std::string many = "channel a\nsend a SET-PARAMS 1\n";
    for (int i = 0; i < 1024; ++i) many += "X-H" + std::to_string(i) + ": v\n";
    r = RunScript(many + ".\n");
    EXPECT_EQ(r.m_Status, 1);
    EXPECT_TRUE(Contains(r.m_Err,
                         "line 2: send a SET-PARAMS 1: 1024 headers, more than the 1023 a "
                         "request can carry"))
        << r.m_Err;
    r = RunScript("channel a\nsend a INTERPRET 1\n.\n", "", {});
    EXPECT_EQ(r.m_Status, 0) << r.m_Err;  // sent; nobody waits for the answer
    r = RunScript("channel a version=1\nsend a INTERPRET 1\n.\n");
    EXPECT_EQ(r.m_Status, 1);
    EXPECT_TRUE(Contains(r.m_Err, "unknown MRCPv1 recognizer method INTERPRET")) << r.m_Err;
    r = RunScript("close a\n");
    EXPECT_EQ(r.m_Status, 1);
    EXPECT_TRUE(Contains(r.m_Err, "no open channel a")) << r.m_Err;
}

}  // namespace
