// vantor-server end to end through the network: SIP dialogs over UDP that set
// up MRCPv2 channels of the real plugin, requests and events over TCP routed
// by Channel-Identifier, and every refusal SIP and MRCP call for.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>
#include <thread>
#include <vector>

#include "KoralTest/TestPaths.h"
#include "rtp_sender.h"
#include "server_fixture.h"

using namespace KoralTest;

namespace {

// Reads messages until one matches; the others go to *passed.
bool ReceiveUntil(MrcpTestClient *client, const std::function<bool(const MrcpReply &)> &match,
                  MrcpReply *found, std::vector<MrcpReply> *passed = nullptr) {
    MrcpReply reply;
    while (client->Receive(&reply)) {
        if (match(reply)) {
            *found = reply;
            return true;
        }
        if (passed) passed->push_back(reply);
    }
    return false;
}

bool IsResponse(const MrcpReply &r, uint32_t id) { return r.Token(2) == std::to_string(id); }

// Stops the server (expecting exit status 0) while answering the BYE it
// sends to each dialog left; the Call-IDs of those BYEs.
std::set<std::string> StopAnsweringByes(ServerProcess *server, SipPeer *sip, size_t dialogs) {
    std::thread stop([server] { EXPECT_EQ(server->Stop(), 0); });
    std::set<std::string> byes;
    SipMessage request;
    while (byes.size() < dialogs && sip->WaitRequest(&request, 20000)) {
        EXPECT_EQ(request.method, "BYE");
        byes.insert(request.Header("Call-ID"));
    }
    stop.join();
    return byes;
}

// Two dialogs whose channels share one MRCP connection, each answered with
// its own codec; requests and events of both routed by Channel-Identifier;
// the RFC 6787 refusals for what cannot reach a channel; a lying length
// closing the connection while the server goes on serving.
TEST_F(ServerTest, ChannelsShareAConnectionAndRefusalsKeepItServing) {
    ServerProcess *server = StartServer(DefaultSetup());
    ASSERT_TRUE(server);
    SipPeer sip(server->sip_port());
    ASSERT_TRUE(sip.ok());

    SipMessage a;
    ASSERT_TRUE(sip.Invite("a", MrcpOffer("new", "0 8 101", kPcmuMaps), &a));
    ASSERT_EQ(a.status, 200) << a.text;
    EXPECT_EQ(a.Header("Content-Type"), "application/sdp");
    EXPECT_EQ(a.SdpPort("application"), static_cast<int>(server->mrcp_port())) << a.body;
    EXPECT_EQ(a.SdpAttribute("setup"), "passive");
    EXPECT_EQ(a.SdpAttribute("connection"), "new");
    EXPECT_EQ(a.SdpAttribute("cmid"), "1");
    EXPECT_EQ(a.SdpAttribute("mid"), "1");
    EXPECT_NE(a.body.find(" RTP/AVP 0 101\r\n"), std::string::npos) << a.body;
    EXPECT_NE(a.body.find("a=rtpmap:101 telephone-event/8000\r\na=fmtp:101 0-15\r\n"),
              std::string::npos);
    EXPECT_NE(a.body.find("a=recvonly\r\n"), std::string::npos);
    EXPECT_GT(a.SdpPort("audio"), 0);
    const std::string channel_a = a.SdpAttribute("channel");
    ASSERT_NE(channel_a.find("@speechrecog"), std::string::npos) << a.body;
    ASSERT_TRUE(sip.Ack("a"));

    // L16 at 16 kHz only, on the connection the first channel opened.
    SipMessage b;
    ASSERT_TRUE(sip.Invite("b", MrcpOffer("existing", "96", "a=rtpmap:96 L16/16000\r\n"), &b));
    ASSERT_EQ(b.status, 200) << b.text;
    EXPECT_EQ(b.SdpAttribute("connection"), "existing");
    EXPECT_NE(b.body.find(" RTP/AVP 96\r\na=rtpmap:96 L16/16000\r\n"), std::string::npos) << b.body;
    const std::string channel_b = b.SdpAttribute("channel");
    EXPECT_NE(channel_b, channel_a);
    EXPECT_NE(b.SdpPort("audio"), a.SdpPort("audio"));
    ASSERT_TRUE(sip.Ack("b"));

    MrcpTestClient mrcp(server->mrcp_port());
    ASSERT_TRUE(mrcp.ok());
    // Both in one write: the reader cuts them apart.
    ASSERT_TRUE(
        mrcp.Send(MrcpRequest("RECOGNIZE", 1, channel_a, DtmfNoInputHeaders(200), kDtmfGrammar) +
                  MrcpRequest("RECOGNIZE", 2, channel_b, DtmfNoInputHeaders(300), kDtmfGrammar)));
    std::map<std::string, std::string> seen;  // start line kind -> Channel-Identifier
    for (int i = 0; i < 4; ++i) {
        MrcpReply r;
        ASSERT_TRUE(mrcp.Receive(&r)) << "message " << i;
        std::string key = r.Token(2) == "RECOGNITION-COMPLETE" ? "complete " + r.Token(3)
                                                               : "response " + r.Token(2);
        seen[key] = r.Header("Channel-Identifier");
        if (key.compare(0, 8, "response") == 0) {
            EXPECT_EQ(r.Token(3), "200") << r.text;
        } else {
            EXPECT_EQ(r.Header("Completion-Cause"), "002 no-input-timeout") << r.text;
        }
    }
    EXPECT_EQ(seen["response 1"], channel_a);
    EXPECT_EQ(seen["response 2"], channel_b);
    EXPECT_EQ(seen["complete 1"], channel_a);
    EXPECT_EQ(seen["complete 2"], channel_b);

    // What cannot reach a channel is refused with its RFC 6787 status.
    struct Refused {
        std::string request;
        uint32_t id;
        std::string status;
    };
    const std::vector<Refused> refusals = {
        {MrcpRequest("STOP", 10, "0123456789abcdef@speechrecog"), 10, "405"},
        {MrcpRequest("STOP", 11, ""), 11, "406"},
        {MrcpRequest("RECOGNIZE", 12, channel_a, "No-Input-Timeout:soon\r\n"), 12, "404"},
        {MrcpRequest("FROBNICATE", 13, channel_a), 13, "401"},
        // Request ids rise within a session: one below its last, and its last again.
        {MrcpRequest("STOP", 1, channel_b), 1, "410"},
        {MrcpRequest("STOP", 2, channel_b), 2, "410"},
    };
    for (const Refused &r : refusals) {
        ASSERT_TRUE(mrcp.Send(r.request));
        MrcpReply reply;
        ASSERT_TRUE(mrcp.Receive(&reply)) << r.request;
        EXPECT_EQ(reply.Token(2), std::to_string(r.id)) << reply.text;
        EXPECT_EQ(reply.Token(3), r.status) << r.request;
        EXPECT_EQ(reply.Token(4), "COMPLETE");
    }

    // A channel belongs to the connection that spoke for it first.
    MrcpTestClient intruder(server->mrcp_port());
    ASSERT_TRUE(intruder.SendRequest("STOP", 20, channel_a));
    MrcpReply refused;
    ASSERT_TRUE(intruder.Receive(&refused));
    EXPECT_EQ(refused.Token(3), "405") << refused.text;
    // A length shorter than its own start line: answered, then the connection closes.
    ASSERT_TRUE(intruder.Send("MRCP/2.0 5 STOP 21\r\n\r\n"));
    ASSERT_TRUE(intruder.Receive(&refused));
    EXPECT_EQ(refused.Token(2), "21");
    EXPECT_EQ(refused.Token(3), "408");
    EXPECT_TRUE(intruder.WaitClosed());
    // Not a start line at all: closed without an answer.
    MrcpTestClient garbage(server->mrcp_port());
    ASSERT_TRUE(garbage.Send(std::string(600, 'x')));
    EXPECT_TRUE(garbage.WaitClosed());

    // The first connection still serves both channels.
    ASSERT_TRUE(mrcp.SendRequest("STOP", 30, channel_b));
    MrcpReply stop;
    ASSERT_TRUE(mrcp.Receive(&stop));
    EXPECT_EQ(stop.Token(2), "30");
    EXPECT_EQ(stop.Token(3), "200");
    EXPECT_EQ(stop.Header("Channel-Identifier"), channel_b);

    SipMessage bye;
    ASSERT_TRUE(sip.Bye("a", &bye));
    EXPECT_EQ(bye.status, 200);
    ASSERT_TRUE(sip.Bye("b", &bye));
    EXPECT_EQ(bye.status, 200);
    EXPECT_EQ(server->Stop(), 0);
}

// A re-INVITE that removes the resource closes its channel, and one that
// offers it again opens a new channel with the same identifier; BYE during a
// recognition closes the channel and no RECOGNITION-COMPLETE follows it;
// SIGTERM sends BYE to the dialogs left and the server exits 0.
TEST_F(ServerTest, DialogEndsCloseChannelsAndShutdownSendsBye) {
    ServerProcess *server = StartServer(DefaultSetup());
    ASSERT_TRUE(server);
    SipPeer sip(server->sip_port());
    SipMessage ok;
    ASSERT_TRUE(sip.Invite("r", MrcpOffer("new", "0", "a=rtpmap:0 PCMU/8000\r\n"), &ok));
    ASSERT_EQ(ok.status, 200);
    ASSERT_TRUE(sip.Ack("r"));
    const std::string channel_r = ok.SdpAttribute("channel");
    ASSERT_TRUE(sip.Invite("c", MrcpOffer("new", "8", "a=rtpmap:8 PCMA/8000\r\n"), &ok));
    ASSERT_EQ(ok.status, 200);
    ASSERT_TRUE(sip.Ack("c"));
    const std::string channel_c = ok.SdpAttribute("channel");
    EXPECT_NE(ok.body.find(" RTP/AVP 8\r\n"), std::string::npos) << ok.body;
    // No telephone-event offered, none answered.
    EXPECT_EQ(ok.body.find("telephone-event"), std::string::npos);

    MrcpTestClient mrcp(server->mrcp_port());
    ASSERT_TRUE(
        mrcp.SendRequest("RECOGNIZE", 1, channel_r, DtmfNoInputHeaders(60000), kDtmfGrammar));
    MrcpReply reply;
    ASSERT_TRUE(mrcp.Receive(&reply));
    ASSERT_EQ(reply.Token(3), "200") << reply.text;
    ASSERT_EQ(reply.Token(4), "IN-PROGRESS");

    // Same offer with the control line's port 0: the resource goes, the dialog stays.
    ASSERT_TRUE(sip.Invite("r", MrcpOffer("new", "0", "a=rtpmap:0 PCMU/8000\r\n", 40000, 0), &ok));
    ASSERT_EQ(ok.status, 200) << ok.text;
    EXPECT_EQ(ok.SdpPort("application"), 0) << ok.body;
    ASSERT_TRUE(sip.Ack("r"));
    // Whatever the plugin sent for the recognition it ended was dropped: the
    // next thing on the connection answers the next request.
    ASSERT_TRUE(mrcp.SendRequest("STOP", 2, channel_r));
    std::vector<MrcpReply> before;
    ASSERT_TRUE(ReceiveUntil(
        &mrcp, [](const MrcpReply &r) { return IsResponse(r, 2); }, &reply, &before));
    EXPECT_EQ(reply.Token(3), "405");
    EXPECT_TRUE(before.empty()) << before.front().text;
    // Offered again: a new channel with the dialog's one session id.
    ASSERT_TRUE(sip.Invite("r", MrcpOffer("new", "0", "a=rtpmap:0 PCMU/8000\r\n"), &ok));
    ASSERT_EQ(ok.status, 200) << ok.text;
    EXPECT_EQ(ok.SdpAttribute("channel"), channel_r);
    ASSERT_TRUE(sip.Ack("r"));
    ASSERT_TRUE(mrcp.SendRequest("STOP", 5, channel_r));
    ASSERT_TRUE(mrcp.Receive(&reply));
    EXPECT_EQ(reply.Token(3), "200") << reply.text;

    // BYE while a recognition runs on the other dialog.
    ASSERT_TRUE(
        mrcp.SendRequest("RECOGNIZE", 3, channel_c, DtmfNoInputHeaders(60000), kDtmfGrammar));
    ASSERT_TRUE(mrcp.Receive(&reply));
    ASSERT_EQ(reply.Token(3), "200") << reply.text;
    SipMessage bye;
    ASSERT_TRUE(sip.Bye("c", &bye));
    EXPECT_EQ(bye.status, 200);
    // The stack answers BYE at once; the server hears of it in order with
    // what follows, so the answer to a later INVITE proves the dialog is gone.
    ASSERT_TRUE(sip.Invite("d", MrcpOffer("new", "8", "a=rtpmap:8 PCMA/8000\r\n"), &ok));
    ASSERT_EQ(ok.status, 200);
    ASSERT_TRUE(sip.Ack("d"));
    ASSERT_TRUE(mrcp.SendRequest("STOP", 4, channel_c));
    before.clear();
    ASSERT_TRUE(ReceiveUntil(
        &mrcp, [](const MrcpReply &r) { return IsResponse(r, 4); }, &reply, &before));
    EXPECT_EQ(reply.Token(3), "405") << "the channel outlived its dialog";
    for (const MrcpReply &r : before) ADD_FAILURE() << "after BYE: " << r.text;
    // A BYE for the dialog that is gone: 481.
    ASSERT_TRUE(sip.Bye("c", &bye));
    EXPECT_EQ(bye.status, 481);

    // Shutdown: the dialogs left get their BYE, and the server exits cleanly.
    EXPECT_EQ(StopAnsweringByes(server, &sip, 2),
              (std::set<std::string>{"r@vantor-test", "d@vantor-test"}));
    EXPECT_TRUE(mrcp.WaitClosed());
    const std::string log = server->Log();
    EXPECT_NE(log.find("Server Stopped"), std::string::npos);
}

// Offers the server cannot take: 488; the session limit: 503 with the
// configured Retry-After; a request for an unknown dialog: 481. (OPTIONS and
// offers that are not SDP are the SIPp scenarios'.)
TEST_F(ServerTest, SipRefusals) {
    ServerSetup setup = DefaultSetup();
    setup.max_sessions = 1;
    setup.codecs = "PCMA L16/8000 bogus";  // an unknown codec is skipped with a warning
    ServerProcess *server = StartServer(setup);
    ASSERT_TRUE(server);
    SipPeer sip(server->sip_port());

    const std::vector<std::pair<std::string, std::string>> not_acceptable = {
        {"no SDP", ""},
        {"PCMU only", MrcpOffer("new", "0", "a=rtpmap:0 PCMU/8000\r\n")},
        {"L16 at 16 kHz only", MrcpOffer("new", "96", "a=rtpmap:96 L16/16000\r\n")},
        {"synthesizer only",
         "v=0\r\no=peer 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
         "m=application 9 TCP/MRCPv2 1\r\na=setup:active\r\na=connection:new\r\n"
         "a=resource:speechsynth\r\na=cmid:1\r\nm=audio 4000 RTP/AVP 8\r\na=mid:1\r\n"},
        {"audio only",
         "v=0\r\no=peer 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\n"
         "t=0 0\r\nm=audio 4000 RTP/AVP 8\r\n"},
    };
    int n = 0;
    for (const auto &offer : not_acceptable) {
        SipMessage r;
        ASSERT_TRUE(sip.Invite("refused" + std::to_string(n++), offer.second, &r)) << offer.first;
        EXPECT_EQ(r.status, 488) << offer.first;
    }

    SipMessage first;
    ASSERT_TRUE(sip.Invite("first", MrcpOffer("new", "0 96", "a=rtpmap:96 L16/8000\r\n"), &first));
    ASSERT_EQ(first.status, 200) << first.text;
    EXPECT_NE(first.body.find(" RTP/AVP 96\r\na=rtpmap:96 L16/8000\r\n"), std::string::npos);
    ASSERT_TRUE(sip.Ack("first"));
    SipMessage full;
    ASSERT_TRUE(sip.Invite("second", MrcpOffer("new", "8", "a=rtpmap:8 PCMA/8000\r\n"), &full));
    EXPECT_EQ(full.status, 503);
    EXPECT_EQ(full.Header("Retry-After"), "7");

    SipMessage unknown;
    ASSERT_TRUE(sip.Bye("never-invited", &unknown));
    EXPECT_EQ(unknown.status, 481);

    // The refused ones left nothing behind: the one dialog ends and a new one fits.
    SipMessage bye;
    ASSERT_TRUE(sip.Bye("first", &bye));
    EXPECT_EQ(bye.status, 200);

    // CANCEL right behind its INVITE: the INVITE ends 487, or, answered
    // already, the CANCEL changes nothing and the call ends with BYE.
    ASSERT_TRUE(
        sip.InviteAndCancel("cancelled", MrcpOffer("new", "8", "a=rtpmap:8 PCMA/8000\r\n")));
    SipMessage invite, cancel;
    ASSERT_TRUE(sip.WaitFinal("cancelled", "INVITE", &invite));
    ASSERT_TRUE(sip.WaitFinal("cancelled", "CANCEL", &cancel));
    if (invite.status == 487) {
        EXPECT_EQ(cancel.status, 200);
        sip.AckFailure("cancelled", invite);
    } else {
        ASSERT_EQ(invite.status, 200) << invite.text;
        sip.Answered("cancelled", invite);
        ASSERT_TRUE(sip.Ack("cancelled"));
        ASSERT_TRUE(sip.Bye("cancelled", &bye));
        EXPECT_EQ(bye.status, 200);
    }
    ASSERT_TRUE(sip.Invite("third", MrcpOffer("new", "8", "a=rtpmap:8 PCMA/8000\r\n"), &full));
    EXPECT_EQ(full.status, 200);
    ASSERT_TRUE(sip.Ack("third"));
    EXPECT_EQ(StopAnsweringByes(server, &sip, 1), (std::set<std::string>{"third@vantor-test"}));
    EXPECT_NE(server->Log().find("Bad value \"bogus\" of codecs"), std::string::npos);
}

// A re-INVITE moves the caller's audio to another port and codec: the
// receiver takes the new source and decodes the new codec (digits recognized
// from it, the old source's packets counted as foreign), and one offering
// no codec the server takes is refused 488 with the dialog unchanged.
TEST_F(ServerTest, ReInviteMovesTheAudioSourceAndCodec) {
    ServerProcess *server = StartServer(DefaultSetup());
    ASSERT_TRUE(server);
    SipPeer sip(server->sip_port());
    std::string error;
    auto before = vantor::RtpSender::Open("127.0.0.1", 0, 0, &error);
    auto after = vantor::RtpSender::Open("127.0.0.1", 0, 0, &error);
    ASSERT_TRUE(before && after) << error;
    SipMessage ok;
    ASSERT_TRUE(sip.Invite("m", MrcpOffer("new", "0 101", kPcmuMaps, before->port()), &ok));
    ASSERT_EQ(ok.status, 200) << ok.text;
    ASSERT_TRUE(sip.Ack("m"));
    const std::string channel = ok.SdpAttribute("channel");
    const int rtp_port = ok.SdpPort("audio");

    SipMessage refused;
    ASSERT_TRUE(sip.Invite("m", MrcpOffer("new", "9", "a=rtpmap:9 G722/8000\r\n", after->port()),
                           &refused));
    EXPECT_EQ(refused.status, 488);
    ASSERT_TRUE(sip.Invite("m", MrcpOffer("new", "8 101", kPcmuMaps, after->port()), &ok));
    ASSERT_EQ(ok.status, 200) << ok.text;
    ASSERT_TRUE(sip.Ack("m"));
    EXPECT_NE(ok.body.find(" RTP/AVP 8 101\r\n"), std::string::npos) << ok.body;
    EXPECT_EQ(ok.SdpPort("audio"), rtp_port);
    EXPECT_EQ(ok.SdpAttribute("channel"), channel);

    MrcpTestClient mrcp(server->mrcp_port());
    ASSERT_TRUE(mrcp.SendRequest("RECOGNIZE", 1, channel, DtmfNoInputHeaders(20000), kDtmfGrammar));
    MrcpReply reply;
    ASSERT_TRUE(mrcp.Receive(&reply));
    ASSERT_EQ(reply.Token(3), "200") << reply.text;
    // The old source's digits go nowhere; the new one's, in PCMA, complete it.
    ASSERT_TRUE(before->Start({vantor::RtpEncoding::kPcmu, 0, 8000, 101}, "127.0.0.1",
                              static_cast<unsigned>(rtp_port), &error))
        << error;
    ASSERT_TRUE(before->SendDtmf("9999", 60, 40));
    ASSERT_TRUE(after->Start({vantor::RtpEncoding::kPcma, 8, 8000, 101}, "127.0.0.1",
                             static_cast<unsigned>(rtp_port), &error))
        << error;
    ASSERT_TRUE(after->SendSilence(100) && after->SendDtmf("1234", 100, 60));
    ASSERT_TRUE(ReceiveUntil(
        &mrcp, [](const MrcpReply &r) { return r.Token(2) == "RECOGNITION-COMPLETE"; }, &reply));
    EXPECT_EQ(reply.Header("Completion-Cause"), "000 success") << reply.text;
    EXPECT_NE(reply.text.find("1 2 3 4"), std::string::npos) << reply.text;
    SipMessage bye;
    ASSERT_TRUE(sip.Bye("m", &bye));
    EXPECT_EQ(StopAnsweringByes(server, &sip, 0), std::set<std::string>{});
    const std::string log = server->Log();
    EXPECT_NE(log.find("now PCMA/8000 pt 8 from 127.0.0.1:" + std::to_string(after->port())),
              std::string::npos);
    EXPECT_EQ(log.find("wrong-source=0 "), std::string::npos) << "the old source was heard";
}

// Channel opens the plugin answers late (the test plugin holds them until
// released) leave the loop serving: OPTIONS and another INVITE are answered
// meanwhile, CANCEL ends its INVITE 487, an open never answered ends its
// INVITE 500 after the answer time, and the channels answered after their
// dialog ended are closed (exit status 0: no engine channel left open).
TEST_F(ServerTest, LateChannelOpensLeaveTheLoopServing) {
    ServerSetup setup = DefaultSetup();
    setup.plugin = FakePluginPath();
    setup.fake_mode = "open-held";
    ServerProcess *server = StartServer(setup);
    ASSERT_TRUE(server);
    SipPeer sip(server->sip_port());
    const std::string offer = MrcpOffer("new", "0", "a=rtpmap:0 PCMU/8000\r\n");
    ASSERT_TRUE(sip.SendInvite("held", offer));
    SipMessage options, invite, cancel;
    ASSERT_TRUE(sip.Options(&options, 5000));
    EXPECT_EQ(options.status, 200);
    ASSERT_TRUE(sip.InviteAndCancel("cancelled", offer));
    ASSERT_TRUE(sip.WaitFinal("cancelled", "INVITE", &invite, 5000));
    EXPECT_EQ(invite.status, 487) << invite.text;
    ASSERT_TRUE(sip.WaitFinal("cancelled", "CANCEL", &cancel, 5000));
    EXPECT_EQ(cancel.status, 200);
    sip.AckFailure("cancelled", invite);
    EXPECT_FALSE(sip.WaitFinal("held", "INVITE", &invite, 0)) << "answered while held";

    ASSERT_TRUE(sip.WaitFinal("held", "INVITE", &invite, 20000));
    EXPECT_EQ(invite.status, 500) << invite.text;
    sip.AckFailure("held", invite);
    ASSERT_TRUE(WriteTextFile(server->root() + "/var/release-open", ""));
    SipMessage ok;
    ASSERT_TRUE(sip.Invite("released", offer, &ok));
    ASSERT_EQ(ok.status, 200) << ok.text;
    ASSERT_TRUE(sip.Ack("released"));
    EXPECT_EQ(StopAnsweringByes(server, &sip, 1), (std::set<std::string>{"released@vantor-test"}));
    const std::string log = server->Log();
    EXPECT_NE(log.find("SIP Offer Refused 500: channel d1-m0: open failed: no answer within"),
              std::string::npos);
    for (const char *name : {"d1-m0", "d2-m0", "d3-m0"})
        EXPECT_NE(log.find(std::string("Destroy Channel ") + name), std::string::npos) << name;
}

}  // namespace
