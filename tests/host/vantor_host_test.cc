// vantor-host end to end: the command loads a fake plugin module, opens and
// closes its engine and runs session scripts against it.
#include <glob.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
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

std::string ReadFile(const std::string &path) {
    std::string text;
    ReadTextFile(path, text);
    return text;
}

// The lines of text that hold part.
std::string LinesWith(const std::string &text, const std::string &part) {
    std::istringstream lines(text);
    std::string line, found;
    while (std::getline(lines, line))
        if (Contains(line, part)) found += line + "\n";
    return found;
}

class VantorHost : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(Env("VANTOR_HOST").empty()) << "VANTOR_HOST not set";
        ASSERT_FALSE(root_.empty());
    }

    // Runs vantor-host with FAKE_PLUGIN_MODE=mode and, unless plain, the
    // test's root, log file and fake plugin; the script, when given, is run.
    ProgramRun Run(std::vector<std::string> args, const std::string &script = "",
                   const std::string &mode = "", bool plain = false) {
        unlink((root_ + "/host.log").c_str());
        if (!script.empty()) {
            std::ofstream(root_ + "/session.txt") << script;
            args.insert(args.end(), {"run", root_ + "/session.txt"});
        }
        if (!plain) {
            args.insert(args.begin(), {"--root", root_, "--log-file", root_ + "/host.log",
                                       "--log-priority", "DEBUG"});
            if (std::find(args.begin(), args.end(), "--plugin") == args.end())
                args.insert(args.begin(), {"--plugin", Env("VANTOR_FAKE_PLUGIN")});
        }
        args.insert(args.begin(), Env("VANTOR_HOST"));
        ProgramRun r = RunCapturing(args, {{"FAKE_PLUGIN_MODE", mode}});
        EXPECT_FALSE(r.m_TimedOut) << "vantor-host did not finish";
        return r;
    }

    std::string Log() { return ReadFile(root_ + "/host.log"); }

    // Frame counts the fake plugin wrote for each channel it closed, by rate.
    std::map<std::string, std::map<std::string, std::string>> FrameStats() {
        std::map<std::string, std::map<std::string, std::string>> all;
        glob_t found;
        if (glob((root_ + "/var/frames-*.txt").c_str(), 0, nullptr, &found) != 0) return all;
        for (size_t i = 0; i < found.gl_pathc; ++i) {
            std::map<std::string, std::string> stats;
            std::istringstream lines(ReadFile(found.gl_pathv[i]));
            std::string line;
            while (std::getline(lines, line)) {
                const size_t eq = line.find('=');
                if (eq != std::string::npos) stats[line.substr(0, eq)] = line.substr(eq + 1);
            }
            all[stats["rate"]] = stats;
        }
        globfree(&found);
        return all;
    }

    TempDir dir_{"vantor-host-test"};
    std::string root_ = dir_.Path();
};

TEST_F(VantorHost, OpenModeOpensAndClosesTheEngine) {
    ProgramRun r = Run({"open", "--max-channels", "7"});
    EXPECT_EQ(r.m_Status, 0) << r.m_Err;
    const std::string log = Log();
    EXPECT_TRUE(Contains(log, "Fake Engine Open [] max-channels=7")) << log;
    EXPECT_TRUE(Contains(log, "Engine Open Response [success]"));
    EXPECT_TRUE(Contains(log, "Engine Close Response [success]"));
    EXPECT_TRUE(Contains(log, "Directory Layout [4] " + root_ + "/var"));
}

// Every way a run ends other than in success, each with its exit status and
// the reason it gives (and, where it matters, what its log shows of an
// orderly end); and the runs that end well without a session.
TEST_F(VantorHost, EveryFailureExitsWithItsReason) {
    ASSERT_TRUE(WriteWav(root_ + "/tone.wav", Tone(100, 16000, 440, 0.25), 16000));
    std::ofstream(root_ + "/ok.txt") << "channel a\nclose a\n";
    std::string many = "channel a\nsend a SET-PARAMS 1\n";
    for (int i = 0; i < 1024; ++i) many += "X-H" + std::to_string(i) + ": v\n";
    struct Case {
        std::vector<std::string> args;
        std::string script, mode;
        int status;
        std::string said;      // in the standard error or output
        std::string log = "";  // in the log ("!" in front: not in it)
        bool plain = false;
    };
    const std::vector<Case> cases = {
        {{"open", "--plugin", Env("VANTOR_FAKE_PLUGIN_BADVERSION")},
         "",
         "",
         1,
         "was built for host plugin interface 2.6.0, this host provides 1.6.0"},
        {{"open", "--plugin", Env("VANTOR_FAKE_PLUGIN_NOCREATE")},
         "",
         "",
         1,
         "does not export mrcp_plugin_create"},
        {{"open", "--plugin", root_ + "/missing.so"},
         "",
         "",
         1,
         "cannot load plugin " + root_ + "/missing.so"},
        {{"open"}, "", "open-fail", 1, "engine open failed: the plugin answered with a failure"},
        {{"open", "--timeout", "300"},
         "",
         "open-silent",
         1,
         "engine open failed: no answer within 300 ms"},
        {{"open", "--timeout", "300"},
         "",
         "close-silent",
         1,
         "engine close failed: no answer within 300 ms"},
        {{"open"},
         "",
         "open-twice",
         1,
         "1 plugin fault(s)",
         "Plugin Fault: engine open answered more than once"},
        {{"--bogus", "open"}, "", "", 2, "unknown option --bogus", "", true},
        {{"open", "--speed", "-1"}, "", "", 2, "bad --speed -1 (0 to 1000)", "", true},
        {{"--json"}, "", "", 2, "no mode given", "", true},
        {{}, "channel a\nfly\n", "", 2, "line 2: missing or bad channel name", "!Loaded Plugin"},
        {{"check", root_ + "/ok.txt"}, "", "", 0, "2 commands", "", true},
        {{"--help"}, "", "", 0, "usage: vantor-host", "", true},
        {{},
         "channel a\naudio a tone.wav\n",
         "",
         1,
         "line 2: audio a " + root_ +
             "/tone.wav: sampled at 16000 Hz but channel a runs at 8000 Hz",
         "Engine Close Response [success]"},
        {{},
         "channel a\naudio a " + root_ + "\n",
         "",
         1,
         "line 2: audio a " + root_ + ": cannot read: Is a directory\n"},
        {{},
         "channel a\naudio a none.wav\n",
         "",
         1,
         "line 2: audio a " + root_ + "/none.wav: cannot open: No such file"},
        {{},
         "channel a\nwait a RECOGNITION-COMPLETE timeout=200\n",
         "",
         1,
         "line 2: wait a RECOGNITION-COMPLETE: no RECOGNITION-COMPLETE within 200 ms",
         "Channel Close Response a"},
        {{},
         "channel a\nsend a STOP 1\n.\nnone a response 1 timeout=2000\n",
         "",
         1,
         "unexpected response 1"},
        {{},
         "channel a\nsend a STOP 1\n.\nwait a response 1 status=407\n",
         "",
         1,
         "response 1 has status 200, expected 407"},
        {{},
         "channel a\n",
         "channel-open-fail",
         1,
         "line 1: channel a: open failed: the plugin answered with a failure"},
        {{}, "channel a rate=16000\n", "narrowband", 1, "codec negotiation failed"},
        {{"--max-channels", "1"},
         "channel a\nchannel b\n",
         "",
         1,
         "line 2: channel b: all 1 channels are in use"},
        {{},
         "channel a\nsend a RECOGNIZE 1\nNo-Input-Timeout: soon\n.\n",
         "",
         1,
         "illegal value of header No-Input-Timeout: soon"},
        {{},
         many + ".\n",
         "",
         1,
         "line 2: send a SET-PARAMS 1: 1024 headers, more than the 1023 a request can carry"},
        {{}, "channel a\nsend a INTERPRET 1\n.\n", "", 0, ""},  // sent; nobody waits for the answer
        {{},
         "channel a version=1\nsend a INTERPRET 1\n.\n",
         "",
         1,
         "unknown MRCPv1 recognizer method INTERPRET"},
        {{}, "close a\n", "", 1, "no open channel a"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.script.empty() ? c.args.front() + " " + c.mode : c.script.substr(0, 60));
        ProgramRun r = Run(c.args, c.script, c.mode, c.plain);
        EXPECT_EQ(r.m_Status, c.status) << r.m_Err;
        EXPECT_TRUE(Contains(r.m_Err + r.m_Out, c.said)) << r.m_Err << r.m_Out;
        if (c.log.empty()) continue;
        if (c.log[0] == '!') {
            EXPECT_FALSE(Contains(Log(), c.log.substr(1)));
        } else {
            EXPECT_TRUE(Contains(Log(), c.log));
        }
    }
}

// Three channels in one run: requests answered and printed as MRCP text (a
// STOP ends a recognition without a RECOGNITION-COMPLETE), MRCPv1 text with
// its renamed event and without the headers it lacks, and a no-input timer
// running on media time (2 s of media in about 100 ms).
TEST_F(VantorHost, SessionPrintsMrcpTextOfBothVersions) {
    ProgramRun r = Run({"--speed", "20"},
                       "channel a\n"
                       "send a SET-PARAMS 1\nNo-Input-Timeout: 4000\n.\n"
                       "wait a response 1 status=200 state=COMPLETE\n"
                       "send a RECOGNIZE 2\n.\n"
                       "wait a response 2\n"
                       "send a STOP 3\n.\n"
                       "wait a response 3 status=200\n"
                       "none a RECOGNITION-COMPLETE timeout=300\n"
                       "close a\n"
                       "channel old version=1\n"
                       "send old RECOGNIZE 8\n.\n"
                       "wait old response 8\n"
                       "dtmf old 5\n"
                       "wait old START-OF-INPUT\n"
                       "wait old RECOGNITION-COMPLETE cause=0\n"
                       "channel t\n"
                       "send t RECOGNIZE 1\nNo-Input-Timeout: 2000\n.\n"
                       "wait t RECOGNITION-COMPLETE cause=2 timeout=5000\n");
    EXPECT_EQ(r.m_Status, 0) << r.m_Err;
    const std::string a = LinesWith(r.m_Out, " a | "), old = LinesWith(r.m_Out, " old | ");
    EXPECT_TRUE(Contains(a, " a | MRCP/2.0 ")) << r.m_Out;
    EXPECT_TRUE(Contains(a, " 1 200 COMPLETE\n")) << a;
    EXPECT_TRUE(Contains(a, "@speechrecog\n")) << a;
    EXPECT_TRUE(Contains(a, "Active-Request-Id-List:2")) << a;
    EXPECT_FALSE(Contains(a, "RECOGNITION-COMPLETE")) << a;
    EXPECT_TRUE(Contains(old, " old | MRCP/1.0 8 200 IN-PROGRESS\n")) << old;
    EXPECT_TRUE(Contains(old, " old | START-OF-SPEECH 8 IN-PROGRESS MRCP/1.0\n")) << old;
    EXPECT_TRUE(Contains(old, " old | RECOGNITION-COMPLETE 8 COMPLETE MRCP/1.0\n")) << old;
    EXPECT_FALSE(Contains(old, "Channel-Identifier")) << old;
    EXPECT_FALSE(Contains(old, "Input-Type")) << old;
    EXPECT_TRUE(Contains(LinesWith(r.m_Out, " t | "), "Completion-Cause:002 no-input-timeout"))
        << r.m_Out;
    EXPECT_TRUE(Contains(Log(), "Close Channel t left open by the script"));
}

// JSON output: the headers the host parsed (names given without a value
// too, as GET-PARAMS does) and the body, one line per message; DTMF reaches
// the plugin as named events and ends the recognition.
TEST_F(VantorHost, JsonOutputAndDtmf) {
    ProgramRun r = Run({"--json", "--speed", "20"},
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
                       "wait a response 5\n"
                       "send a RECOGNIZE 6\n.\n"
                       "wait a response 6 state=IN-PROGRESS\n"
                       "dtmf a 12# on=100 off=50\n"
                       "wait a START-OF-INPUT\n"
                       "wait a RECOGNITION-COMPLETE cause=0 state=COMPLETE\n"
                       "close a\n");
    EXPECT_EQ(r.m_Status, 0) << r.m_Err;
    std::istringstream lines(r.m_Out);
    std::string line;
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_EQ(line.find("{\"t\": "), 0u) << line;  // one message per line
    EXPECT_TRUE(Contains(line,
                         "\"channel\": \"a\", \"kind\": \"response\", \"name\": \"GET-PARAMS\", "
                         "\"request_id\": 5, \"status\": 200, \"state\": \"COMPLETE\""))
        << line;
    for (const char *part :
         {"\"Confidence-Threshold\": \"0.7\"", "\"Speech-Language\": \"de-DE\"",
          "\"DTMF-Term-Char\": \"#\"", "\"No-Input-Timeout\": \"\"", "\"Fetch-Timeout\": \"\"",
          "\"Content-Length\": \"21\"", "\"body\": \"line one\\r\\n.line two\\r\\n\"}"})
        EXPECT_TRUE(Contains(line, part)) << part << "\n" << line;
    size_t messages = 1;
    for (; std::getline(lines, line); ++messages) EXPECT_EQ(line.find("{\"t\": "), 0u) << line;
    EXPECT_EQ(messages, 4u) << r.m_Out;  // GET-PARAMS, RECOGNIZE, two events
    EXPECT_TRUE(Contains(r.m_Out, "\"Input-Type\": \"dtmf\"")) << r.m_Out;
    EXPECT_TRUE(Contains(r.m_Out, "\"Completion-Cause\": \"000 success\"")) << r.m_Out;
    EXPECT_TRUE(Contains(r.m_Out, "\"body\": \"12#\"")) << r.m_Out;
    auto stats = FrameStats()["8000"];
    EXPECT_EQ(stats["digits"], "12#");
    EXPECT_EQ(stats["starts"], "3");
    EXPECT_EQ(stats["ends"], "3");
    EXPECT_EQ(stats["durations"], "800 800 800 ");  // 100 ms in 8 kHz units
    EXPECT_EQ(stats["events"], "30");
    EXPECT_EQ(stats["bad_size"], "0");
}

// A 16 kHz WAV file (its name with a space, relative to the script) reaches
// the plugin whole; the media clock feeds silence to an idle channel; a
// closed channel's name can be opened again.
TEST_F(VantorHost, WaveAudioAndTheMediaClock) {
    ASSERT_TRUE(WriteWav(root_ + "/tone 16k.wav", Tone(500, 16000, 440, 0.25), 16000));
    ProgramRun r = Run({"--speed", "10"},
                       "channel wide rate=16000\n"
                       "send wide RECOGNIZE 3\n.\n"
                       "wait wide response 3\n"
                       "audio wide tone 16k.wav\n"
                       "drain wide\n"
                       "wait wide START-OF-INPUT\n"
                       "wait wide RECOGNITION-COMPLETE cause=0\n"
                       "close wide\n"
                       "channel wide\nsleep 300\nclose wide\n");
    EXPECT_EQ(r.m_Status, 0) << r.m_Err;
    EXPECT_TRUE(Contains(r.m_Out, "Input-Type:speech")) << r.m_Out;
    auto stats = FrameStats();
    ASSERT_EQ(stats.size(), 2u);
    EXPECT_EQ(stats["16000"]["loud"], "50");  // 500 ms of tone
    EXPECT_EQ(stats["16000"]["bad_size"], "0");
    auto &narrow = stats["8000"];
    EXPECT_GE(std::stoi(narrow["frames"]), 30);
    EXPECT_EQ(narrow["frames"], narrow["audio"]);
    EXPECT_EQ(narrow["loud"], "0");
    EXPECT_EQ(narrow["events"], "0");
    EXPECT_EQ(narrow["bad_size"], "0");
}

}  // namespace
