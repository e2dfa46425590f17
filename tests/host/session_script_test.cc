// Session script language.
#include "session_script.h"

#include <gtest/gtest.h>

#include "options.h"

using vantor::ParseScript;
using vantor::ScriptCommand;
using Kind = vantor::ScriptCommand::Kind;

namespace {

std::vector<ScriptCommand> ParseOk(const std::string &text) {
    std::vector<ScriptCommand> commands;
    std::string error;
    EXPECT_TRUE(ParseScript(text, "/scripts", &commands, &error)) << error;
    return commands;
}

std::string ParseFail(const std::string &text) {
    std::vector<ScriptCommand> commands;
    std::string error;
    EXPECT_FALSE(ParseScript(text, "/scripts", &commands, &error)) << text;
    return error;
}

TEST(SessionScript, EveryCommand) {
    auto c = ParseOk(
        "# a comment\n"
        "channel a rate=16000 version=1\n"
        "channel b\n"
        "\n"
        "send a recognize 4294967295\n"
        "Content-Type: text/uri-list\n"
        "  No-Input-Timeout:5000  \n"
        "# not a header\n"
        "\n"
        "builtin:speech/transcribe\n"
        "..dotted\n"
        "\n"
        ".\n"
        "send b STOP 2\n"
        ".\n"
        "audio a my file.wav\n"
        "audio a /abs/x.wav\n"
        "silence a 250\n"
        "dtmf b 12*#AbD on=60 off=40\n"
        "wait a START-OF-SPEECH timeout=500\n"
        "wait b response 2 status=200 state=COMPLETE\n"
        "wait a RECOGNITION-COMPLETE cause=0\n"
        "none a RECOGNITION-COMPLETE\n"
        "drain a timeout=100\n"
        "sleep 30\n"
        "close a\r\n");
    ASSERT_EQ(c.size(), 15u);
    EXPECT_EQ(c[0].kind, Kind::kChannel);
    EXPECT_EQ(c[0].rate, 16000u);
    EXPECT_EQ(c[0].version, 1);
    EXPECT_EQ(c[0].line, 2);
    EXPECT_EQ(c[1].rate, 8000u);
    EXPECT_EQ(c[1].version, 2);

    EXPECT_EQ(c[2].kind, Kind::kSend);
    EXPECT_EQ(c[2].method, "RECOGNIZE");
    EXPECT_EQ(c[2].request_id, 4294967295u);
    ASSERT_EQ(c[2].headers.size(), 2u);
    EXPECT_EQ(c[2].headers[1].first, "No-Input-Timeout");
    EXPECT_EQ(c[2].headers[1].second, "5000");
    EXPECT_TRUE(c[2].has_body);
    EXPECT_EQ(c[2].body, "builtin:speech/transcribe\r\n.dotted\r\n\r\n");
    EXPECT_FALSE(c[3].has_body);
    EXPECT_TRUE(c[3].headers.empty());

    EXPECT_EQ(c[4].file, "/scripts/my file.wav");
    EXPECT_EQ(c[5].file, "/abs/x.wav");
    EXPECT_EQ(c[6].ms, 250u);
    EXPECT_EQ(c[7].digits, "12*#AbD");
    EXPECT_EQ(c[7].on_ms, 60u);
    EXPECT_EQ(c[7].off_ms, 40u);
    EXPECT_EQ(c[8].event, "START-OF-SPEECH");
    EXPECT_EQ(c[8].timeout_ms, 500);
    EXPECT_TRUE(c[9].response);
    EXPECT_EQ(c[9].request_id, 2u);
    EXPECT_EQ(c[9].status, 200);
    EXPECT_EQ(c[9].state, "COMPLETE");
    EXPECT_EQ(c[9].timeout_ms, 10000);
    EXPECT_EQ(c[10].cause, 0);
    EXPECT_EQ(c[11].kind, Kind::kNone);
    EXPECT_EQ(c[11].timeout_ms, 1000);
    EXPECT_EQ(c[12].kind, Kind::kDrain);
    EXPECT_EQ(c[13].kind, Kind::kSleep);
    EXPECT_EQ(c[14].kind, Kind::kClose);
}

TEST(SessionScript, ErrorsNameTheirLine) {
    EXPECT_EQ(ParseFail("channel a\nfly a\n"), "line 2: unknown command fly");
    EXPECT_EQ(ParseFail("channel a rate=11025\n"), "line 1: rate must be 8000 or 16000");
    EXPECT_EQ(ParseFail("channel a version=3\n"), "line 1: version must be 1 or 2");
    EXPECT_EQ(ParseFail("channel a speed=3\n"), "line 1: unknown option speed");
    EXPECT_EQ(ParseFail("channel\n"), "line 1: missing or bad channel name");
    EXPECT_EQ(ParseFail("channel a/b\n"), "line 1: missing or bad channel name");
    EXPECT_EQ(ParseFail("send a RECOGNIZE 1\nNo colon\n.\n"),
              "line 2: header line without a name and colon: No colon");
    EXPECT_EQ(ParseFail("send a RECOGNIZE 1\nA: b\n"),
              "line 1: send without its closing \".\" line");
    EXPECT_EQ(ParseFail("send a RECOGNIZE 4294967296\n.\n"), "line 1: bad request id 4294967296");
    EXPECT_EQ(ParseFail("dtmf a 12x\n"), "line 1: bad DTMF digit x");
    EXPECT_EQ(ParseFail("wait a START-OF-NOTHING\n"), "line 1: unknown event START-OF-NOTHING");
    EXPECT_EQ(ParseFail("wait a response\n"), "line 1: response needs a request id");
    EXPECT_EQ(ParseFail("wait a response 1 state=DONE\n"), "line 1: bad state DONE");
    EXPECT_EQ(ParseFail("wait a response 1 timeout=-1\n"), "line 1: bad value of timeout: -1");
    EXPECT_EQ(ParseFail("silence a\n"), "line 1: usage: silence NAME MS");
    EXPECT_EQ(ParseFail("sleep\n"), "line 1: usage: sleep MS");
    EXPECT_EQ(ParseFail("close a b\n"), "line 1: usage: close NAME");
    EXPECT_EQ(ParseFail("audio a\n"), "line 1: usage: audio NAME FILE.wav");
}

TEST(SessionScript, EmptyScriptIsFine) { EXPECT_TRUE(ParseOk("# nothing\n\n").empty()); }

TEST(HostOptions, NormalizePath) {
    EXPECT_EQ(vantor::NormalizePath("/a/b/../../c/./d"), "/c/d");
    EXPECT_EQ(vantor::NormalizePath("/a/b/host/cmd/../../plugins/x.so"), "/a/b/plugins/x.so");
    EXPECT_EQ(vantor::NormalizePath("../x"), "../x");
    EXPECT_EQ(vantor::NormalizePath("/.."), "/");
    EXPECT_EQ(vantor::NormalizePath(""), ".");
}

TEST(HostOptions, ParseModesAndValues) {
    const char *argv[] = {"vantor-host", "--speed=0",      "run", "s.txt",
                          "--json",      "--max-channels", "3"};
    vantor::Options o;
    std::string error;
    ASSERT_TRUE(vantor::ParseOptions(7, const_cast<char **>(argv), &o, &error)) << error;
    EXPECT_EQ(o.mode, vantor::Options::Mode::kRun);
    EXPECT_EQ(o.script, "s.txt");
    EXPECT_EQ(o.speed, 0.0);
    EXPECT_TRUE(o.json);
    EXPECT_EQ(o.max_channels, 3u);
    const char *bad[] = {"vantor-host", "open", "--speed", "-1"};
    vantor::Options b;
    EXPECT_FALSE(vantor::ParseOptions(4, const_cast<char **>(bad), &b, &error));
    const char *none[] = {"vantor-host"};
    vantor::Options n;
    EXPECT_FALSE(vantor::ParseOptions(1, const_cast<char **>(none), &n, &error));
    EXPECT_EQ(error, "no mode given");
    const char *missing[] = {"vantor-host", "run"};
    vantor::Options m;
    EXPECT_FALSE(vantor::ParseOptions(2, const_cast<char **>(missing), &m, &error));
}

}  // namespace
