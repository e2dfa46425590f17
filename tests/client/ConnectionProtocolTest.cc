// The recognition protocol against a scripted TLS service on loopback:
// what the client sends (asserted on the frames the service received) and
// what reaches the connection's owner.
#include <gtest/gtest.h>

#include <future>

#include "ClientFixture.h"

using namespace KoralTest;
using KORAL::WebSocketSrMessage;

namespace {

const char kPhrase[] =
    "{\"RecognitionStatus\":\"Success\",\"NBest\":[{\"Confidence\":0.9,\"Lexical\":\"hello\"}]}";

// A service that answers the turn: turn.start and speech.startDetected on
// its first audio, then hypothesis, phrase, endDetected and turn.end on the
// end-of-audio message.
void ServeTurns(Peer &peer, const ClientFrame &f) {
    if (f.m_Opcode != 2) {
        return;
    }
    std::string id = f.RequestId();
    if (f.m_Body.size() > 44 && f.m_Body.compare(0, 4, "RIFF") == 0) {
        peer.SendMessage("turn.start", id, "{}");
        peer.SendMessage("speech.startDetected", id, "{}");
    } else if (f.m_Body.empty()) {
        peer.SendMessage("speech.hypothesis", id, "{\"Text\":\"hel\"}");
        peer.SendMessage("speech.phrase", id, kPhrase);
        peer.SendMessage("speech.endDetected", id, "{}");
        peer.SendMessage("turn.end", id);
    }
}

std::vector<ClientFrame> OfPath(const std::vector<ClientFrame> &frames, const std::string &path) {
    std::vector<ClientFrame> out;
    for (const ClientFrame &f : frames) {
        if (f.Path() == path) {
            out.push_back(f);
        }
    }
    return out;
}

// Runs on the loop thread after everything posted before it.
class Barrier : public KORAL::Event {
  public:
    Barrier(KORAL::WebSocketClient *client, std::promise<void> *done)
        : Event(client), m_Done(done) {}
    void Process() override { m_Done->set_value(); }

  private:
    std::promise<void> *m_Done;
};

class ConnectionProtocolTest : public ClientFixture {};

TEST_F(ConnectionProtocolTest, FullTurnAsTheServiceSeesIt) {
    m_Server->m_OnFrame = ServeTurns;
    Start();
    Conn &c = NewConnection();
    Connect(c, "chan-1");
    // Audio posted before the upgrade waits for speech.config.
    PostAudio(c, "req-1", 2560, 1);
    PostAudio(c, "req-1", 2560, 2);
    c->Stop("req-1");
    c->Stop("req-1");
    ASSERT_TRUE(c.m_Handler.WaitConnects(1));
    EXPECT_TRUE(c.m_Handler.Connects()[0].m_Ok);
    EXPECT_GT(c.m_Handler.Connects()[0].m_Stats.m_StartTime, 0);
    EXPECT_GE(c.m_Handler.Connects()[0].m_Stats.m_CompleteTime,
              c.m_Handler.Connects()[0].m_Stats.m_StartTime);
    ASSERT_TRUE(c.m_Handler.WaitMessages(4));
    ASSERT_TRUE(
        m_Server->WaitFor([&] { return !OfPath(m_Server->Frames(), "telemetry").empty(); }));

    // The upgrade request.
    std::vector<UpgradeRequest> ups = m_Server->Upgrades();
    ASSERT_EQ(ups.size(), 1u);
    EXPECT_EQ(ups[0].m_Head.substr(0, ups[0].m_Head.find("\r\n")),
              "GET " + ServiceUri() + "?format=detailed&language=en-US HTTP/1.1");
    EXPECT_EQ(ups[0].Header("Host"), "127.0.0.1:" + std::to_string(m_Server->Port()));
    EXPECT_EQ(ups[0].Header("Authorization"), "Bearer token-1");
    EXPECT_EQ(ups[0].Header("X-ConnectionId"), "chan-1");
    EXPECT_EQ(ups[0].Header("Sec-WebSocket-Version"), "13");
    EXPECT_EQ(ups[0].Header("Sec-WebSocket-Key").size(), 24u);
    EXPECT_EQ(ups[0].m_ServerName, "") << "no SNI for an address";

    std::vector<ClientFrame> frames = m_Server->Frames();
    ASSERT_EQ(frames.size(), 5u);  // config, 2 audio, end of audio, telemetry
    for (const ClientFrame &f : frames) {
        EXPECT_TRUE(f.m_Masked);
    }
    // speech.config first, without X-RequestId.
    EXPECT_EQ(frames[0].m_Opcode, 1);
    EXPECT_EQ(frames[0].Path(), "speech.config");
    EXPECT_EQ(frames[0].m_Header.find("X-RequestId"), std::string::npos);
    EXPECT_NE(frames[0].m_Header.find("X-Timestamp:"), std::string::npos);
    EXPECT_NE(frames[0].m_Header.find("Content-Type:application/json; charset=utf-8"),
              std::string::npos);
    EXPECT_EQ(frames[0].m_Body,
              "{\"context\":{\"system\":{\"version\":\"2.0.12341\"}},\"device\":{\"manufacturer\":"
              "\"Lumetra\",\"model\":\"koralrx\",\"version\":\"1.8.0\"}}");
    // The pending audio in order, the first led by the WAV header.
    EXPECT_EQ(frames[1].m_Opcode, 2);
    EXPECT_EQ(frames[1].Path(), "audio");
    EXPECT_EQ(frames[1].RequestId(), "req-1");
    EXPECT_NE(frames[1].m_Header.find("Content-Type:audio/x-wav\r\n"), std::string::npos);
    EXPECT_EQ(frames[1].m_Header.substr(frames[1].m_Header.size() - 5), "wav\r\n")
        << "binary headers end with their last line, no empty line";
    ASSERT_EQ(frames[1].m_Body.size(), 44u + 2560u);
    EXPECT_EQ(frames[1].m_Body.substr(0, 4), "RIFF");
    EXPECT_EQ(frames[1].m_Body[44], 1);
    EXPECT_EQ(frames[2].m_Body, std::string(2560, 2));
    // One empty end-of-audio message for two Stops.
    EXPECT_EQ(frames[3].Path(), "audio");
    EXPECT_EQ(frames[3].RequestId(), "req-1");
    EXPECT_TRUE(frames[3].m_Body.empty());
    // Masking keys differ between frames.
    EXPECT_FALSE(memcmp(frames[1].m_Key, frames[2].m_Key, 4) == 0 &&
                 memcmp(frames[2].m_Key, frames[3].m_Key, 4) == 0);
    // Telemetry after turn.end: every received path with its times.
    const ClientFrame &t = frames[4];
    EXPECT_EQ(t.Path(), "telemetry");
    EXPECT_EQ(t.RequestId(), "req-1");
    for (const char *path : {"speech.startDetected", "speech.hypothesis", "speech.phrase",
                             "speech.endDetected", "turn.start", "turn.end"}) {
        EXPECT_NE(t.m_Body.find(std::string("\"") + path + "\": \""), std::string::npos) << path;
    }
    EXPECT_EQ(t.m_Body.rfind("{\n  \"ReceivedMessages\": [{\n", 0), 0u) << t.m_Body;

    // The owner got methods 1 to 4 only, in order, copied with receive times.
    std::vector<WebSocketSrMessage> msgs = c.m_Handler.Messages();
    ASSERT_EQ(msgs.size(), 4u);
    EXPECT_EQ(msgs[0].m_Method, WebSocketSrMessage::SERVICE_METHOD_SPEECH_START_DETECTED);
    EXPECT_EQ(msgs[1].m_Method, WebSocketSrMessage::SERVICE_METHOD_SPEECH_HYPOTHESIS);
    EXPECT_EQ(msgs[2].m_Method, WebSocketSrMessage::SERVICE_METHOD_SPEECH_PHRASE);
    EXPECT_EQ(msgs[2].m_Body, kPhrase);
    EXPECT_EQ(msgs[2].m_ContentType, "application/json; charset=utf-8");
    EXPECT_EQ(msgs[3].m_Method, WebSocketSrMessage::SERVICE_METHOD_SPEECH_END_DETECTED);
    for (const auto &m : msgs) {
        EXPECT_EQ(m.m_RequestId, "req-1");
        EXPECT_GT(m.m_ReceiveTime, 0);
    }
    EXPECT_EQ(c->GetTurnState(), KORAL::WebSocketConnection::TURN_ENDED);
}

TEST_F(ConnectionProtocolTest, ReusedSocketAndSecondTurn) {
    m_Server->m_OnFrame = ServeTurns;
    Start();
    Conn &c = NewConnection();
    Connect(c, "chan-2");
    ASSERT_TRUE(c.m_Handler.WaitConnects(1));
    PostAudio(c, "a", 320);
    c->Stop("a");
    ASSERT_TRUE(c.m_Handler.WaitMessages(4));
    // Late audio of the ended turn is dropped.
    PostAudio(c, "a", 320);
    // The next recognition reuses the socket at once, with zero stats.
    EXPECT_EQ(ConnectAndWait(c, "chan-2-again"), kConnected);
    EXPECT_EQ(c.m_Handler.Connects()[1].m_Stats.m_StartTime, 0);
    EXPECT_EQ(c.m_Handler.Connects()[1].m_Stats.m_CompleteTime, 0);
    PostAudio(c, "b", 320);
    c->Stop("b");
    ASSERT_TRUE(c.m_Handler.WaitMessages(8));
    ASSERT_TRUE(
        m_Server->WaitFor([&] { return OfPath(m_Server->Frames(), "telemetry").size() == 2; }));
    EXPECT_EQ(m_Server->Upgrades().size(), 1u);
    EXPECT_EQ(m_Server->TokenRequests().size(), 1u);
    std::vector<ClientFrame> audio = OfPath(m_Server->Frames(), "audio");
    ASSERT_EQ(audio.size(), 4u) << "late audio was not sent";
    EXPECT_EQ(audio[2].RequestId(), "b");
    EXPECT_EQ(audio[2].m_Body.substr(0, 4), "RIFF") << "a new turn starts with the WAV header";
    EXPECT_EQ(OfPath(m_Server->Frames(), "speech.config").size(), 1u);
}

// A connect while connecting is ignored; a Stop without audio answers at
// once, without network traffic.
TEST_F(ConnectionProtocolTest, ConnectWhileConnectingAndStopWithoutAudio) {
    Start();
    Conn &c = NewConnection();
    Connect(c, "chan-3");
    Connect(c, "chan-3-dup");
    ASSERT_TRUE(c.m_Handler.WaitConnects(1));
    c->Stop("never-streamed");
    ASSERT_TRUE(c.m_Handler.WaitMessages(1));
    WebSocketSrMessage m = c.m_Handler.Messages()[0];
    EXPECT_EQ(m.m_Method, WebSocketSrMessage::SERVICE_METHOD_SPEECH_PHRASE);
    EXPECT_EQ(m.m_RequestId, "never-streamed");
    EXPECT_TRUE(m.m_Body.empty());
    EXPECT_EQ(m.m_ReceiveTime, 0);
    EXPECT_TRUE(m_Log.Contains("Send stop response: no in-progress request found <chan-3>"));
    ASSERT_TRUE(CloseAndWait(c));
    EXPECT_EQ(OfPath(m_Server->Frames(), "audio").size(), 0u) << "no network traffic";
    EXPECT_EQ(c.m_Handler.Connects().size(), 1u);
    EXPECT_TRUE(m_Log.Contains("Inapropriate connect request <chan-3-dup>", APT_PRIO_WARNING));
}

TEST_F(ConnectionProtocolTest, MessagesOfOtherRequestsAreCountedNotForwarded) {
    m_Server->m_OnFrame = [](Peer &peer, const ClientFrame &f) {
        if (f.m_Opcode == 2 && f.m_Body.empty()) {
            peer.SendMessage("speech.phrase", "old-request", "{}");
            peer.SendMessage("turn.start", f.RequestId(), "{}");
            peer.SendMessage("Turn.End", f.RequestId());
            peer.SendMessage("turn.end", f.RequestId());
        }
    };
    Start();
    Conn &c = NewConnection();
    Connect(c, "chan-4");
    PostAudio(c, "cur", 640);
    c->Stop("cur");
    ASSERT_TRUE(
        m_Server->WaitFor([&] { return !OfPath(m_Server->Frames(), "telemetry").empty(); }));
    // The stray phrase is not forwarded; the turn that ended without a result
    // ends its recognition with the terminating phrase of its own request.
    ASSERT_TRUE(c.m_Handler.WaitMessages(1));
    EXPECT_EQ(c.m_Handler.Messages().size(), 1u);
    EXPECT_EQ(c.m_Handler.Messages()[0].m_RequestId, "cur");
    EXPECT_TRUE(c.m_Handler.Messages()[0].m_Body.empty());
    EXPECT_TRUE(m_Log.Contains("Unexpected request id old-request, waiting for cur <chan-4>"));
    std::string body = OfPath(m_Server->Frames(), "telemetry")[0].m_Body;
    // Unknown path under "", the stray phrase counted, turn.start before turn.end.
    EXPECT_NE(body.find("\"\": \""), std::string::npos) << body;
    EXPECT_NE(body.find("\"speech.phrase\": \""), std::string::npos) << body;
    EXPECT_LT(body.find("turn.start"), body.find("turn.end"));
}

TEST_F(ConnectionProtocolTest, IdleSocketLossThenLateTokenKeepsAudioAndStop) {
    m_Server->m_OnFrame = ServeTurns;
    TestTlsServer::TokenReply first, late;
    late.m_Held = true;
    m_Server->QueueTokenReply(first);
    m_Server->QueueTokenReply(late);
    // The revalidation a second after the first token is held by the server.
    Start([](KORAL::WebSocketClient &c) { c.m_AuthSettings.m_ValidationPeriod = 1; });
    Conn &c = NewConnection();
    Connect(c, "chan-idle");
    ASSERT_TRUE(c.m_Handler.WaitConnects(1));
    ASSERT_TRUE(
        m_Server->WaitFor([&] { return !OfPath(m_Server->Frames(), "speech.config").empty(); }));
    m_Server->WithPeer(m_Server->Upgrades()[0].m_Connection, [](Peer &p) { p.Close(); });
    ASSERT_TRUE(m_Log.WaitFor("WS disconnected <chan-idle>"));
    ASSERT_TRUE(m_Server->WaitFor([&] { return m_Server->TokenRequests().size() == 2; }));
    // The next recognition waits for the late token with its audio and Stop.
    Connect(c, "chan-idle-2");
    PostAudio(c, "late", 640, 7);
    PostAudio(c, "late", 640, 8);
    c->Stop("late");
    std::promise<void> queued;
    m_Client->PostEvent(new Barrier(m_Client.get(), &queued));
    queued.get_future().wait();
    EXPECT_EQ(c.m_Handler.Connects().size(), 1u);
    m_Server->ReleaseHeldTokens();
    ASSERT_TRUE(c.m_Handler.WaitConnects(2));
    EXPECT_TRUE(c.m_Handler.Connects()[1].m_Ok);
    ASSERT_TRUE(c.m_Handler.WaitMessages(4));
    EXPECT_EQ(c.m_Handler.Messages()[2].m_RequestId, "late");
    EXPECT_FALSE(c.m_Handler.Messages()[2].m_Body.empty()) << "the service's own phrase";
    std::vector<ClientFrame> audio = OfPath(m_Server->Frames(), "audio");
    ASSERT_EQ(audio.size(), 3u);
    EXPECT_EQ(audio[0].m_Body.substr(0, 4), "RIFF");
    EXPECT_EQ(audio[1].m_Body, std::string(640, 8));
    EXPECT_TRUE(audio[2].m_Body.empty());
    EXPECT_EQ(m_Server->Upgrades()[1].Header("Authorization"), "Bearer token-2");
}

TEST_F(ConnectionProtocolTest, CloseDuringTurnWaitsForTurnEnd) {
    Start();
    Conn &c = NewConnection();
    Connect(c, "chan-6");
    ASSERT_TRUE(c.m_Handler.WaitConnects(1));
    PostAudio(c, "t", 640);
    ASSERT_TRUE(m_Server->WaitFor([&] { return OfPath(m_Server->Frames(), "audio").size() == 1; }));
    c->Close();
    ASSERT_TRUE(m_Log.WaitFor("Wait [5 sec] for end of turn [t] <chan-6>"));
    EXPECT_FALSE(c.m_Handler.Closed());
    m_Server->WithPeer(m_Server->Upgrades()[0].m_Connection,
                       [](Peer &p) { p.SendMessage("turn.end", "t"); });
    ASSERT_TRUE(c.m_Handler.WaitClosed());
    EXPECT_FALSE(m_Log.Contains("timedout"));
    // The telemetry written just before the close still reaches the service.
    ASSERT_TRUE(
        m_Server->WaitFor([&] { return OfPath(m_Server->Frames(), "telemetry").size() == 1; }));
    ASSERT_TRUE(m_Server->WaitFor([&] { return m_Server->Closed() == 2; }));
}

TEST_F(ConnectionProtocolTest, CloseDuringTurnGivesUpAfterFiveSeconds) {
    Start();
    Conn &c = NewConnection();
    Connect(c, "chan-7");
    ASSERT_TRUE(c.m_Handler.WaitConnects(1));
    PostAudio(c, "silent", 640);
    c->Close();
    ASSERT_TRUE(c.m_Handler.WaitClosed(10000));
    EXPECT_TRUE(m_Log.Contains("Turn [silent] timedout <chan-7>", APT_PRIO_WARNING));
    EXPECT_EQ(c.m_Handler.Calls(), (std::vector<std::string>{"connect:1", "close"}));
}

TEST_F(ConnectionProtocolTest, CloseWhileTheTokenIsFetched) {
    TestTlsServer::TokenReply slow;
    slow.m_Silent = true;
    m_Server->QueueTokenReply(slow);
    Start([](KORAL::WebSocketClient &c) { c.m_AuthSettings.m_RequestTimeout = 1; });
    Conn &c = NewConnection();
    Connect(c, "chan-8");
    c->Close();
    ASSERT_TRUE(c.m_Handler.WaitClosed());
    EXPECT_EQ(c.m_Handler.Calls(), (std::vector<std::string>{"connect:0", "close"}));
    EXPECT_TRUE(m_Server->Upgrades().empty());
}

}  // namespace
