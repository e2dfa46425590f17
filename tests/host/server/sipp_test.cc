// SIP conformance with SIPp: its scenarios (sipp/*.xml) against vantor-server
// over UDP and TCP, each run as a separate sipp process that must end with
// every call successful.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "server_fixture.h"
#include "sipp_runner.h"

using namespace KoralTest;

namespace {

// Runs a scenario once over the transport.
::testing::AssertionResult RunScenario(const ServerProcess &server, const std::string &scenario,
                                       const std::string &transport = "u1",
                                       const std::map<std::string, std::string> &values = {}) {
    SippRun run;
    run.transport = transport;
    run.values = values;
    return RunSipp(server.sip_port(), scenario, run);
}

// A session set up and torn down over UDP and over TCP, an offer refused with
// 488, OPTIONS, malformed requests; then,
// with the one session allowed held by another peer, 503.
class SippTest : public ServerTest {};

TEST_F(SippTest, ScenariosOverUdpAndTcp) {
    ServerSetup setup = DefaultSetup();
    setup.max_sessions = 1;
    ServerProcess *server = StartServer(setup);
    ASSERT_TRUE(server);
    EXPECT_TRUE(RunScenario(*server, "invite_bye", "u1"));
    EXPECT_TRUE(RunScenario(*server, "invite_bye", "t1"));
    EXPECT_TRUE(RunScenario(*server, "refused_488"));
    EXPECT_TRUE(RunScenario(*server, "options", "u1"));
    EXPECT_TRUE(RunScenario(*server, "options", "t1"));
    // Malformed requests, each followed by a good session.
    const std::map<std::string, std::string> junk = {{"HUGE", std::string(16000, 'h')},
                                                     {"CONTROL", "\x01\x1b\x7f"}};
    EXPECT_TRUE(RunScenario(*server, "malformed_sip", "u1", junk));
    EXPECT_TRUE(RunScenario(*server, "malformed_sip", "t1", junk));
    EXPECT_TRUE(RunScenario(*server, "malformed_headers_udp", "u1"));

    SipPeer holder(server->sip_port());
    SipMessage ok;
    ASSERT_TRUE(holder.Invite("held", MrcpOffer("new", "0", "a=rtpmap:0 PCMU/8000\r\n"), &ok));
    ASSERT_EQ(ok.status, 200);
    ASSERT_TRUE(holder.Ack("held"));
    EXPECT_TRUE(RunScenario(*server, "session_limit_503"));
    ASSERT_TRUE(holder.Bye("held", &ok));
    EXPECT_EQ(ok.status, 200);
    // Every refusal left the session free.
    EXPECT_TRUE(RunScenario(*server, "invite_bye"));
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
    EXPECT_TRUE(RunScenario(*server, "cancel_before_answer", "u1"));
    EXPECT_TRUE(RunScenario(*server, "cancel_before_answer", "t1"));
    ASSERT_TRUE(WriteTextFile(server->root() + "/var/release-open", ""));
    EXPECT_TRUE(RunScenario(*server, "invite_bye", "u1"));
    EXPECT_EQ(server->Stop(), 0);
}

}  // namespace
