// SIP with SIPp as the peer: its scenarios (sipp/*.xml, @NAME@ placeholders
// filled in by the test) against vantor-server over UDP and TCP, and two
// hundred dialogs at once streaming PCMU from SIPp's RTP threads, twice over;
// each run a separate sipp process that must end with every call successful.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <regex>
#include <string>
#include <thread>

#include "KoralTest/Process.h"
#include "KoralTest/TempDir.h"
#include "KoralTest/TestPaths.h"
#include "server_fixture.h"

using namespace KoralTest;

namespace {

struct SippRun {
    std::string transport = "u1";  // sipp -t: u1 (UDP) or t1 (TCP)
    std::map<std::string, std::string> values;
    unsigned calls = 1;  // -m, and as many at once (-l)
    unsigned rate = 0;   // new calls per second (0: sipp's default)
};

// Runs sipp/<scenario>.xml against the server; the reason (with sipp's error
// log) when a call failed.
::testing::AssertionResult RunSipp(const ServerProcess &server, const std::string &scenario,
                                   const SippRun &run = SippRun()) {
    TempDir dir("vantor-sipp");
    std::string xml;
    if (!ReadTextFile(SourceDir() + "/tests/host/server/sipp/" + scenario + ".xml", xml))
        return ::testing::AssertionFailure() << "no scenario " << scenario;
    for (const auto &value : run.values) {
        const std::string key = "@" + value.first + "@";
        for (size_t at = xml.find(key); at != std::string::npos; at = xml.find(key, at))
            xml.replace(at, key.size(), value.second);
    }
    const std::string file = dir.File(scenario + ".xml"), errors = dir.File("errors.log");
    if (!WriteTextFile(file, xml)) return ::testing::AssertionFailure() << "cannot write " << file;
    const std::string calls = std::to_string(run.calls);
    std::vector<std::string> args = {"sipp", "-sf", file, "-i", "127.0.0.1", "-mi", "127.0.0.1"};
    args.insert(args.end(), {"-t", run.transport, "-m", calls, "-l", calls, "-nostdin"});
    args.insert(args.end(), {"-timeout", "60", "-timeout_error", "-trace_err", "-error_file"});
    args.push_back(errors);
    if (run.rate) args.insert(args.end(), {"-r", std::to_string(run.rate)});
    args.push_back("127.0.0.1:" + std::to_string(server.sip_port()));
    std::string error;
    if (RunProgram(args, &error)) return ::testing::AssertionSuccess();
    std::string log;
    ReadTextFile(errors, log);
    return ::testing::AssertionFailure()
           << scenario << " over " << run.transport << ": " << error << "\n"
           << log.substr(0, 3000);
}

SippRun Over(const std::string &transport, std::map<std::string, std::string> values = {}) {
    SippRun run;
    run.transport = transport;
    run.values = std::move(values);
    return run;
}

class SippTest : public ServerTest {};

// A session set up and torn down over UDP and over TCP, an offer refused with
// 488, OPTIONS, malformed requests; then, with the one session allowed held
// by another peer, 503.
TEST_F(SippTest, ScenariosOverUdpAndTcp) {
    ServerSetup setup = DefaultSetup();
    setup.max_sessions = 1;
    ServerProcess *server = StartServer(setup);
    ASSERT_TRUE(server);
    EXPECT_TRUE(RunSipp(*server, "invite_bye", Over("u1")));
    EXPECT_TRUE(RunSipp(*server, "invite_bye", Over("t1")));
    EXPECT_TRUE(RunSipp(*server, "refused_488"));
    EXPECT_TRUE(RunSipp(*server, "options", Over("u1")));
    EXPECT_TRUE(RunSipp(*server, "options", Over("t1")));
    // Malformed requests, each followed by a good session.
    const std::map<std::string, std::string> junk = {{"HUGE", std::string(16000, 'h')},
                                                     {"CONTROL", "\x01\x1b\x7f"}};
    EXPECT_TRUE(RunSipp(*server, "malformed_sip", Over("u1", junk)));
    EXPECT_TRUE(RunSipp(*server, "malformed_sip", Over("t1", junk)));
    EXPECT_TRUE(RunSipp(*server, "malformed_headers_udp"));

    SipPeer holder(server->sip_port());
    SipMessage ok;
    ASSERT_TRUE(holder.Invite("held", MrcpOffer("new", "0", "a=rtpmap:0 PCMU/8000\r\n"), &ok));
    ASSERT_EQ(ok.status, 200);
    ASSERT_TRUE(holder.Ack("held"));
    EXPECT_TRUE(RunSipp(*server, "session_limit_503"));
    ASSERT_TRUE(holder.Bye("held", &ok));
    EXPECT_EQ(ok.status, 200);
    // Every refusal left the session free.
    EXPECT_TRUE(RunSipp(*server, "invite_bye"));
    EXPECT_EQ(server->Stop(), 0);
}

// CANCEL before the answer, over UDP and TCP: the test plugin answers channel
// opens only once released, so the CANCEL always comes first. Then, released,
// the one session allowed is free for a whole session.
TEST_F(SippTest, CancelBeforeTheAnswer) {
    ServerSetup setup = DefaultSetup();
    setup.max_sessions = 1;
    setup.plugin = FakePluginPath();
    setup.fake_mode = "open-held";
    ServerProcess *server = StartServer(setup);
    ASSERT_TRUE(server);
    EXPECT_TRUE(RunSipp(*server, "cancel_before_answer", Over("u1")));
    EXPECT_TRUE(RunSipp(*server, "cancel_before_answer", Over("t1")));
    ASSERT_TRUE(WriteTextFile(server->root() + "/var/release-open", ""));
    EXPECT_TRUE(RunSipp(*server, "invite_bye"));
    EXPECT_EQ(server->Stop(), 0);
}

// How often text occurs in the log.
size_t Count(const std::string &log, const std::string &text) {
    size_t n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    return n;
}

// Two hundred dialogs at once, each with its channel and RTP port, twice over
// with the session limit at two hundred (a second round fits only when the
// first left no session taken): every dialog answered and ended, every
// stream heard by its own receiver, and exit status 0 (no engine channel
// left open).
TEST_F(SippTest, TwoHundredDialogsWithRtpTwiceOverLeaveNothingBehind) {
    constexpr unsigned kDialogs = 200;
    // Three seconds of a tone as raw 8-bit mu-law, what rtp_stream plays as PCMU.
    TempDir dir("vantor-sipp-load");
    const std::string audio = dir.File("tone.ul");
    std::string error;
    ASSERT_TRUE(RunProgram({"sox", "-D", "-n", "-r", "8000", "-c", "1", "-e", "u-law", "-t", "raw",
                            audio, "synth", "3", "sine", "440", "vol", "0.3"},
                           &error))
        << error;
    ServerSetup setup = DefaultSetup();
    setup.max_sessions = kDialogs;
    ServerProcess *server = StartServer(setup);
    ASSERT_TRUE(server);
    SippRun run = Over("u1", {{"AUDIO_FILE", audio}});
    run.calls = kDialogs;
    run.rate = 100;
    for (unsigned round = 1; round <= 2; ++round) {
        ASSERT_TRUE(RunSipp(*server, "invite_rtp_bye", run)) << "round " << round;
        // The stack answers a BYE before the server hears of the end and
        // closes the channel: wait for the log to say so (the log is a file).
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (Count(server->Log(), "SIP Dialog ") < round * kDialogs) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "round " << round;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    const std::string log = server->Log();
    EXPECT_EQ(Count(log, "SIP INVITE Answered: dialog"), 2 * kDialogs);
    EXPECT_EQ(Count(log, "SIP Dialog "), 2 * kDialogs);
    EXPECT_EQ(Count(log, "Channel Close Response d"), 2 * kDialogs);
    // Each receiver heard its stream (150 packets of 20 ms; at least two of
    // the three seconds before the BYE on a busy machine), from the peer the
    // offer named, in the format it negotiated.
    const std::regex stats(
        "RTP Stats d[0-9]+-m0: packets=([0-9]+) lost=([0-9]+) late=[0-9]+ "
        "wrong-source=([0-9]+) wrong-payload-type=([0-9]+)");
    size_t streams = 0;
    for (auto it = std::sregex_iterator(log.begin(), log.end(), stats);
         it != std::sregex_iterator(); ++it, ++streams) {
        const std::smatch &m = *it;
        EXPECT_GE(std::stoul(m[1]), 100u) << m[0];
        EXPECT_EQ(m[3], "0") << m[0];
        EXPECT_EQ(m[4], "0") << m[0];
    }
    EXPECT_EQ(streams, 2 * kDialogs);
    EXPECT_EQ(server->Stop(), 0);
}

}  // namespace
