// vantor-server under SIPp load with media: two hundred dialogs at once, each
// streaming PCMU from SIPp's RTP threads, twice over with the session limit
// at two hundred; every dialog answered and ended, every packet counted by
// the server's receivers, nothing left behind.
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <thread>

#include "KoralTest/Process.h"
#include "KoralTest/TempDir.h"
#include "server_fixture.h"
#include "sipp_runner.h"

using namespace KoralTest;

namespace {

constexpr unsigned kDialogs = 200;

// How often text occurs in the log.
size_t Count(const std::string &log, const std::string &text) {
    size_t n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    return n;
}

// Waits until the server logged that count dialogs ended: the stack answers
// a BYE before the server hears of the end and closes the channel.
bool WaitDialogsEnded(const ServerProcess &server, size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (Count(server.Log(), "SIP Dialog ") < count) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the log is a file
    }
    return true;
}

class SippLoadTest : public ServerTest {};

TEST_F(SippLoadTest, TwoHundredSippDialogsWithRtpTwiceOverLeaveNothingBehind) {
    // Three seconds of a tone as raw 8-bit mu-law, what rtp_stream plays as PCMU.
    KoralTest::TempDir dir("vantor-sipp-load");
    const std::string audio = dir.File("tone.ul");
    std::string error;
    ASSERT_TRUE(
        KoralTest::RunProgram({"sox", "-D", "-n", "-r", "8000", "-c", "1", "-e", "u-law", "-t",
                               "raw", audio, "synth", "3", "sine", "440", "vol", "0.3"},
                              &error))
        << error;
    ServerSetup setup = DefaultSetup();
    setup.max_sessions = kDialogs;
    ServerProcess *server = StartServer(setup);
    ASSERT_TRUE(server);
    SippRun run;
    run.calls = kDialogs;
    run.rate = 100;
    run.values["AUDIO_FILE"] = audio;
    // A second full round fits only when the first left no session taken.
    for (unsigned round = 1; round <= 2; ++round) {
        ASSERT_TRUE(RunSipp(server->sip_port(), "invite_rtp_bye", run)) << "round " << round;
        ASSERT_TRUE(WaitDialogsEnded(*server, round * kDialogs)) << "round " << round;
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
    // Exit status 0 also says that no engine channel was left open.
    EXPECT_EQ(server->Stop(), 0);
}

}  // namespace
