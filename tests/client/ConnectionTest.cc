// The connection against a scripted TLS server on loopback, for what the
// real service cannot produce: the exact frames the client sends, upgrade
// answers and received frames in odd shapes, certificates and names, token
// timing around a lost socket, and the bounds that keep a connection from
// waiting or buffering forever.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "ClientFixture.h"
#include "KoralTest/WsFrame.h"

using namespace KoralTest;
using KORAL::WebSocketSrMessage;

namespace {

const char kPhrase[] =
    "{\"RecognitionStatus\":\"Success\",\"NBest\":[{\"Confidence\":0.9,\"Lexical\":\"hello\"}]}";

// A service that answers the turn: turn.start and speech.startDetected on
// its first audio, then hypothesis, phrase, endDetected and turn.end on the
// end-of-audio message.
void ServeTurns(Peer &peer, const ClientFrame &f) {
    if (f.m_Opcode != 2) return;
    const std::string id = f.RequestId();
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

// The frames of `frames` with Path `path`, or on the server's connection
// `peer` when `path` is empty.
std::vector<ClientFrame> Of(const std::vector<ClientFrame> &frames, const std::string &path,
                            int peer = 0) {
    std::vector<ClientFrame> out;
    for (const ClientFrame &f : frames)
        if (path.empty() ? f.m_Connection == peer : f.Path() == path) out.push_back(f);
    return out;
}

// The phrase a connection makes up when a turn ends without the service's.
void ExpectTerminatingPhrase(const WebSocketSrMessage &m, const std::string &requestId) {
    EXPECT_EQ(m.m_Method, WebSocketSrMessage::SERVICE_METHOD_SPEECH_PHRASE);
    EXPECT_EQ(m.m_RequestId, requestId);
    EXPECT_TRUE(m.m_Body.empty());
    EXPECT_EQ(m.m_ReceiveTime, 0);
}

class ConnectionTest : public ClientFixture {
  protected:
    // The server's connection that carried the upgrade of `connectionId`.
    int PeerOf(const std::string &connectionId) {
        for (const UpgradeRequest &u : m_Server->Upgrades())
            if (u.Header("X-ConnectionId") == connectionId) return u.m_Connection;
        return -1;
    }
};

// A turn asserted on the frames the service received and on what reached
// the connection's owner. (What the real service checks itself, masking,
// the upgrade's fields, paths, request ids, a reused socket's next turn, is
// SpeechServiceTest's.)
TEST_F(ConnectionTest, TurnsAsTheServiceSeesThem) {
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
    ASSERT_TRUE(m_Server->WaitFor([&] { return !Of(m_Server->Frames(), "telemetry").empty(); }));

    std::vector<UpgradeRequest> ups = m_Server->Upgrades();
    ASSERT_EQ(ups.size(), 1u);
    EXPECT_EQ(ups[0].m_Head.substr(0, ups[0].m_Head.find("\r\n")),
              "GET " + ServiceUri() + "?format=detailed&language=en-US HTTP/1.1");
    EXPECT_EQ(ups[0].Header("Host"), "127.0.0.1:" + std::to_string(m_Server->Port()));
    EXPECT_EQ(ups[0].m_ServerName, "") << "no SNI for an address";

    std::vector<ClientFrame> frames = m_Server->Frames();
    ASSERT_EQ(frames.size(), 5u);  // config, 2 audio, end of audio, telemetry
    // speech.config first.
    EXPECT_EQ(frames[0].Path(), "speech.config");
    EXPECT_NE(frames[0].m_Header.find("X-Timestamp:"), std::string::npos);
    EXPECT_NE(frames[0].m_Header.find("Content-Type:application/json; charset=utf-8"),
              std::string::npos);
    EXPECT_EQ(frames[0].m_Body,
              "{\"context\":{\"system\":{\"version\":\"2.0.12341\"}},\"device\":{\"manufacturer\":"
              "\"Lumetra\",\"model\":\"koralrx\",\"version\":\"1.8.0\"}}");
    // The pending audio in order, the first led by the WAV header.
    EXPECT_EQ(frames[1].m_Header.substr(frames[1].m_Header.size() - 5), "wav\r\n")
        << "binary headers end with their last line, no empty line";
    ASSERT_EQ(frames[1].m_Body.size(), 44u + 2560u);
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

// A connect while connecting is ignored; a Stop without audio answers at
// once, without network traffic; messages of other requests are counted in
// telemetry, not forwarded, and a turn that ends without a result ends its
// recognition with a terminating phrase (it once stayed unanswered).
TEST_F(ConnectionTest, StrayConnectsStopsAndMessages) {
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
    Connect(c, "chan-3");
    Connect(c, "chan-3-dup");
    ASSERT_TRUE(c.m_Handler.WaitConnects(1));
    c->Stop("never-streamed");
    ASSERT_TRUE(c.m_Handler.WaitMessages(1));
    ExpectTerminatingPhrase(c.m_Handler.Messages()[0], "never-streamed");
    EXPECT_TRUE(m_Log.Contains("Send stop response: no in-progress request found <chan-3>"));
    EXPECT_TRUE(m_Log.Contains("Inapropriate connect request <chan-3-dup>", APT_PRIO_WARNING));

    PostAudio(c, "cur", 640);
    c->Stop("cur");
    ASSERT_TRUE(m_Server->WaitFor([&] { return !Of(m_Server->Frames(), "telemetry").empty(); }));
    ASSERT_TRUE(c.m_Handler.WaitMessages(2));
    ASSERT_TRUE(CloseAndWait(c));
    EXPECT_EQ(c.m_Handler.Messages().size(), 2u) << "the stray phrase was forwarded";
    ExpectTerminatingPhrase(c.m_Handler.Messages()[1], "cur");
    EXPECT_TRUE(m_Log.Contains("Unexpected request id old-request, waiting for cur <chan-3>"));
    const std::string body = Of(m_Server->Frames(), "telemetry")[0].m_Body;
    // Unknown path under "", the stray phrase counted, turn.start before turn.end.
    EXPECT_NE(body.find("\"\": \""), std::string::npos) << body;
    EXPECT_NE(body.find("\"speech.phrase\": \""), std::string::npos) << body;
    EXPECT_LT(body.find("turn.start"), body.find("turn.end"));
    EXPECT_EQ(c.m_Handler.Connects().size(), 1u);
    for (const ClientFrame &f : Of(m_Server->Frames(), "audio"))
        EXPECT_EQ(f.RequestId(), "cur") << "the Stop without audio sent something";
}

TEST_F(ConnectionTest, IdleSocketLossThenLateTokenKeepsAudioAndStop) {
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
        m_Server->WaitFor([&] { return !Of(m_Server->Frames(), "speech.config").empty(); }));
    m_Server->WithPeer(m_Server->Upgrades()[0].m_Connection, [](Peer &p) { p.Close(); });
    ASSERT_TRUE(m_Log.WaitFor("WS disconnected <chan-idle>"));
    ASSERT_TRUE(m_Server->WaitFor([&] { return m_Server->TokenRequests().size() == 2; }));
    // The next recognition waits for the late token with its audio and Stop.
    Connect(c, "chan-idle-2");
    PostAudio(c, "late", 640, 7);
    PostAudio(c, "late", 640, 8);
    c->Stop("late");
    std::promise<void> queued;
    m_Client->PostEvent(new PromiseEvent(m_Client.get(), &queued));
    queued.get_future().wait();
    EXPECT_EQ(c.m_Handler.Connects().size(), 1u);
    m_Server->ReleaseHeldTokens();
    ASSERT_TRUE(c.m_Handler.WaitConnects(2));
    EXPECT_TRUE(c.m_Handler.Connects()[1].m_Ok);
    ASSERT_TRUE(c.m_Handler.WaitMessages(4));
    EXPECT_EQ(c.m_Handler.Messages()[2].m_RequestId, "late");
    EXPECT_FALSE(c.m_Handler.Messages()[2].m_Body.empty()) << "the service's own phrase";
    std::vector<ClientFrame> audio = Of(m_Server->Frames(), "audio");
    ASSERT_EQ(audio.size(), 3u);
    EXPECT_EQ(audio[0].m_Body.substr(0, 4), "RIFF");
    EXPECT_EQ(audio[1].m_Body, std::string(640, 8));
    EXPECT_TRUE(audio[2].m_Body.empty());
    EXPECT_EQ(m_Server->Upgrades()[1].Header("Authorization"), "Bearer token-2");
}

// A close during a turn waits up to 5 s for turn.end: one connection's
// service sends it, the other's never does. A close while the token is
// fetched does not wait.
TEST_F(ConnectionTest, ClosesDuringATurnAndWhileTheTokenIsFetched) {
    Start();
    Conn &answered = NewConnection();
    Conn &silent = NewConnection();
    Connect(answered, "chan-6");
    Connect(silent, "chan-7");
    ASSERT_TRUE(answered.m_Handler.WaitConnects(1));
    ASSERT_TRUE(silent.m_Handler.WaitConnects(1));
    PostAudio(answered, "t", 640);
    PostAudio(silent, "silent", 640);
    ASSERT_TRUE(m_Server->WaitFor([&] { return Of(m_Server->Frames(), "audio").size() == 2; }));
    answered->Close();
    silent->Close();
    ASSERT_TRUE(m_Log.WaitFor("Wait [5 sec] for end of turn [t] <chan-6>"));
    EXPECT_FALSE(answered.m_Handler.Closed());
    m_Server->WithPeer(PeerOf("chan-6"), [](Peer &p) { p.SendMessage("turn.end", "t"); });
    ASSERT_TRUE(answered.m_Handler.WaitClosed());
    EXPECT_FALSE(m_Log.Contains("Turn [t] timedout"));
    // The telemetry written just before the close still reaches the service.
    ASSERT_TRUE(m_Server->WaitFor([&] { return Of(m_Server->Frames(), "telemetry").size() == 1; }));
    ASSERT_TRUE(silent.m_Handler.WaitClosed(10000));
    EXPECT_TRUE(m_Log.Contains("Turn [silent] timedout <chan-7>", APT_PRIO_WARNING));
    EXPECT_EQ(silent.m_Handler.Calls(), (std::vector<std::string>{"connect:1", "close"}));
    ASSERT_TRUE(m_Server->WaitFor([&] { return m_Server->Closed() == 3; }));  // token, both

    // A close while the token is fetched is answered at once.
    TestTlsServer::TokenReply slow;
    slow.m_Silent = true;
    m_Server->QueueTokenReply(slow);
    Start([](KORAL::WebSocketClient &c) { c.m_AuthSettings.m_RequestTimeout = 1; });
    Conn &fetching = NewConnection();
    Connect(fetching, "chan-8");
    ASSERT_TRUE(CloseAndWait(fetching));
    EXPECT_EQ(fetching.m_Handler.Calls(), (std::vector<std::string>{"connect:0", "close"}));
    EXPECT_EQ(m_Server->Upgrades().size(), 2u);
}

// Certificates: a server of an unknown CA (the token endpoint is the same
// server: the key never leaves the client), a service certificate for
// another name, and the host name sent as the server name.
TEST_F(ConnectionTest, CertificatesAndNames) {
    Start([](KORAL::WebSocketClient &c) { c.m_TlsSettings.m_CaFile = s_Certs->OtherCaFile(); });
    Conn &unknown = NewConnection();
    EXPECT_EQ(ConnectAndWait(unknown, "ca-1"), kRefused);
    EXPECT_TRUE(
        m_Log.Contains("Request failed: certificate verification failed: unable to get local "
                       "issuer certificate",
                       APT_PRIO_WARNING));
    EXPECT_TRUE(m_Server->TokenRequests().empty());

    TestTlsServer wrong(s_Certs->WrongNameCertFile(), s_Certs->WrongNameKeyFile());
    ASSERT_TRUE(wrong.Start());
    Start();
    Conn &c = NewConnection();
    EXPECT_EQ(ConnectAndWait(c, "name-1", "",
                             "https://127.0.0.1:" + std::to_string(wrong.Port()) + "/speech/v1"),
              kRefused);
    EXPECT_TRUE(
        m_Log.Contains("WS connection failed <name-1>: certificate verification failed: "
                       "IP address mismatch",
                       APT_PRIO_WARNING));
    EXPECT_TRUE(wrong.Upgrades().empty());
    wrong.Stop();
    ASSERT_EQ(ConnectAndWait(c, "sni", "", ServiceUri("localhost")), kConnected);
    ASSERT_EQ(m_Server->Upgrades().size(), 1u);
    EXPECT_EQ(m_Server->Upgrades()[0].m_ServerName, "localhost");
    EXPECT_EQ(m_Server->Upgrades()[0].Header("Host"),
              "localhost:" + std::to_string(m_Server->Port()));
}

// Upgrade answers: another key's accept, none, then a right one in three
// writes with a frame right behind its blank line (the frame is not lost).
TEST_F(ConnectionTest, UpgradeAnswersInOddShapes) {
    int upgrades = 0;
    m_Server->m_UpgradeReply = [this, &upgrades](const UpgradeRequest &r) {
        std::string status = "HTTP/1.1 101 Switching Protocols\r\n";
        switch (upgrades++) {
            case 0:
                return status +
                       "Upgrade: websocket\r\n"
                       "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n";
            case 1:
                return status + "Upgrade: websocket\r\n\r\n";
            default:
                break;
        }
        const int id = r.m_Connection;
        const std::string accept = r.AcceptLine();
        m_Server->WithPeer(id, [accept](Peer &p) { p.SendRaw("Upgrade: websocket\r\n" + accept); });
        m_Server->WithPeer(id, [](Peer &p) {
            p.SendRaw("Connection: Upgrade\r\n\r\n");
            p.SendMessage("speech.startDetected", "");
        });
        return status;
    };
    Start();
    Conn &c = NewConnection();
    EXPECT_EQ(ConnectAndWait(c, "accept"), kRefused);
    EXPECT_EQ(ConnectAndWait(c, "accept"), kRefused);
    EXPECT_EQ(ConnectAndWait(c, "accept"), kConnected);
    EXPECT_TRUE(
        m_Log.Contains("WS upgrade rejected <accept>: Sec-WebSocket-Accept "
                       "[s3pPLMBiTxaQ9kYGzzhZRbK+xOo=] does not answer the key sent",
                       APT_PRIO_WARNING));
    EXPECT_TRUE(
        m_Log.Contains("WS upgrade rejected <accept>: no Sec-WebSocket-Accept", APT_PRIO_WARNING));
    EXPECT_EQ(m_Log.Count("WS upgrade failed <accept>"), 2u);
    const std::vector<UpgradeRequest> ups = m_Server->Upgrades();
    ASSERT_EQ(ups.size(), 3u);
    EXPECT_EQ(ups[2].Header("Sec-WebSocket-Key").size(), 24u);
    EXPECT_NE(ups[1].Header("Sec-WebSocket-Key"), ups[2].Header("Sec-WebSocket-Key"))
        << "a fresh key per upgrade";
    // Its request id is the empty id of a connection that has not begun a turn.
    ASSERT_TRUE(c.m_Handler.WaitMessages(1));
    EXPECT_EQ(c.m_Handler.Messages()[0].m_Method,
              WebSocketSrMessage::SERVICE_METHOD_SPEECH_START_DETECTED);
}

// Received frames in odd shapes, one connection each, told apart by the
// request id of the audio: two messages in one write with a ping between,
// a phrase in fragments with a ping among them, fragments together over the
// 1 MiB bound, a frame announced over it, a close frame with the socket kept open, and a message
// that does not parse.
TEST_F(ConnectionTest, ReceivedFramesInOddShapes) {
    m_Server->m_OnFrame = [](Peer &p, const ClientFrame &f) {
        if (f.m_Opcode != 2 || f.m_Body.empty()) return;
        const std::string id = f.RequestId();
        const std::string head = "Path:speech.phrase\r\nX-RequestId:" + id + "\r\n\r\n";
        if (id == "two") {
            const std::string a =
                "Path:speech.hypothesis\r\nX-RequestId:two\r\n\r\n{\"Text\":\"a\"}";
            const std::string b =
                "Path:speech.hypothesis\r\nX-RequestId:two\r\n\r\n{\"Text\":\"b\"}";
            p.SendRaw(WsFrameBytes(kWsText, a) + WsFrameBytes(kWsPing, "ping") +
                      WsFrameBytes(kWsText, b));
            p.SendMessage("turn.end", id);
        } else if (id == "frag") {
            const std::string text = head + "{\"RecognitionStatus\":\"Success\"}";
            p.SendFrame(kWsText, text.substr(0, 10), false);
            p.SendFrame(kWsPing, "mid");
            p.SendFrame(kWsContinuation, text.substr(10, 20), false);
            p.SendFrame(kWsContinuation, text.substr(30), true);
            p.SendMessage("turn.end", id);
        } else if (id == "big") {
            p.SendFrame(kWsText, head + std::string(600 * 1024, ' '), false);
            p.SendFrame(kWsContinuation, std::string(600 * 1024, ' '), true);
        } else if (id == "huge") {
            p.SendRaw(std::string("\x81\x7f\0\0\0\0\0\x20\0\0", 10));  // 2 MiB announced
        } else if (id == "closing") {
            p.SendFrame(kWsClose, std::string("\x03\xf3going away", 12));
        } else if (id == "bad") {
            p.SendFrame(kWsText, "Path:speech.phrase\r\nno empty line");
            p.SendMessage("speech.endDetected", id);
            p.SendMessage("turn.end", id);
        }
    };
    Start();
    for (const char *id : {"two", "frag", "big", "huge", "closing", "bad"}) {
        Conn &c = NewConnection();
        Connect(c, std::string("c-") + id);
        PostAudio(c, id, 320);
    }
    auto conn = m_Conns.begin();
    Conn &two = *conn++, &frag = *conn++, &big = *conn++, &huge = *conn++, &closing = *conn++,
         &bad = *conn++;
    {
        SCOPED_TRACE("two messages and a ping in one write");
        ASSERT_TRUE(two.m_Handler.WaitMessages(2));
        EXPECT_EQ(two.m_Handler.Messages()[0].m_Body, "{\"Text\":\"a\"}");
        EXPECT_EQ(two.m_Handler.Messages()[1].m_Body, "{\"Text\":\"b\"}");
        // config, audio, the pong answering the ping with its payload, telemetry.
        const int peer = PeerOf("c-two");
        ASSERT_TRUE(
            m_Server->WaitFor([&] { return Of(m_Server->Frames(), "", peer).size() == 4; }));
        std::vector<ClientFrame> frames = Of(m_Server->Frames(), "", peer);
        EXPECT_EQ(frames[2].m_Opcode, kWsPong);
        EXPECT_EQ(frames[2].m_Payload, "ping");
        EXPECT_TRUE(frames[2].m_Masked);
        EXPECT_EQ(frames[3].Path(), "telemetry");
    }
    {
        SCOPED_TRACE("fragments");
        ASSERT_TRUE(frag.m_Handler.WaitMessages(1));
        const WebSocketSrMessage phrase = frag.m_Handler.Messages()[0];
        EXPECT_EQ(phrase.m_Method, WebSocketSrMessage::SERVICE_METHOD_SPEECH_PHRASE);
        EXPECT_EQ(phrase.m_RequestId, "frag");
        EXPECT_EQ(phrase.m_Body, "{\"RecognitionStatus\":\"Success\"}");
        EXPECT_GT(phrase.m_ReceiveTime, 0) << "the service's own phrase, not a terminating one";
        const int peer = PeerOf("c-frag");
        ASSERT_TRUE(m_Server->WaitFor([&] {
            for (const ClientFrame &f : Of(m_Server->Frames(), "", peer))
                if (f.m_Opcode == kWsPong) return f.m_Payload == "mid";
            return false;
        }));
    }
    {
        SCOPED_TRACE("over the bound");
        ASSERT_TRUE(big.m_Handler.WaitMessages(1));
        ExpectTerminatingPhrase(big.m_Handler.Messages()[0], "big");
        EXPECT_TRUE(m_Log.Contains("WS frame too large [1228839 bytes] <c-big>", APT_PRIO_WARNING));
        ASSERT_TRUE(huge.m_Handler.WaitMessages(1));
        ExpectTerminatingPhrase(huge.m_Handler.Messages()[0], "huge");
        EXPECT_TRUE(
            m_Log.Contains("WS frame too large [2097152 bytes] <c-huge>", APT_PRIO_WARNING));
    }
    {
        SCOPED_TRACE("close frame");
        // Only the client's answer can end the turn.
        ASSERT_TRUE(closing.m_Handler.WaitMessages(1));
        ExpectTerminatingPhrase(closing.m_Handler.Messages()[0], "closing");
        EXPECT_TRUE(m_Log.Contains("WS closed by the service [1011] [going away] <c-closing>",
                                   APT_PRIO_WARNING));
        // The answer echoes the code, masked.
        const int peer = PeerOf("c-closing");
        ASSERT_TRUE(m_Server->WaitFor([&] {
            std::vector<ClientFrame> frames = Of(m_Server->Frames(), "", peer);
            return !frames.empty() && frames.back().m_Opcode == kWsClose;
        }));
        const ClientFrame answer = Of(m_Server->Frames(), "", peer).back();
        EXPECT_EQ(answer.m_Payload, std::string("\x03\xf3", 2));
        EXPECT_TRUE(answer.m_Masked);
        // The next recognition connects anew.
        EXPECT_EQ(ConnectAndWait(closing, "c-closing"), kConnected);
    }
    {
        SCOPED_TRACE("unparsable message");
        ASSERT_TRUE(bad.m_Handler.WaitMessages(1));
        EXPECT_EQ(bad.m_Handler.Messages()[0].m_Method,
                  WebSocketSrMessage::SERVICE_METHOD_SPEECH_END_DETECTED);
        EXPECT_TRUE(m_Log.Contains("Failed to parse WS msg", APT_PRIO_WARNING));
    }
    // The token's socket, the oversized ones' and the closed one's are gone.
    ASSERT_TRUE(m_Server->WaitFor([&] { return m_Server->Closed() >= 4; }));
    EXPECT_EQ(m_Server->Upgrades().size(), 7u);
}

// Service URIs that cannot be reached or used each fail their connect once,
// with their reason: nothing listening, an unknown scheme, no host, not a
// URI, a server that accepts and never answers; a plain http one works.
TEST_F(ConnectionTest, ServiceUrisThatFailAndOneThatWorks) {
    // A port that takes connections (in its backlog) and never answers.
    int mutePort = 0;
    const int mute = LoopbackSocket(SOCK_STREAM, mutePort);
    ASSERT_EQ(listen(mute, 4), 0);
    TestTlsServer plain("", "");
    ASSERT_TRUE(plain.Start());
    Start();
    const struct {
        std::string uri;
        std::string log;
    } cases[] = {
        {"https://127.0.0.1:" + std::to_string(FreePort()) + "/s",
         "WS connection failed <bad-0>: Connection refused"},
        {"ftp://127.0.0.1/s", "Unknown URI scheme [ftp] for <bad-1>: must be either http or https"},
        {"https:///nohost", "Failed to get host for <bad-2>"},
        {"not a uri at all",
         "Malformed HTTP URI [not a uri at all?format=detailed&language=en-US] provided for "
         "<bad-3>"},
        {"https://127.0.0.1:" + std::to_string(mutePort) + "/s",
         "WS connection timed out [1 sec] <bad-4>"},
    };
    for (size_t i = 0; i < 5; ++i) {
        SCOPED_TRACE(cases[i].uri);
        Conn &c = NewConnection();
        c->SetConnectTimeout(1);
        EXPECT_EQ(ConnectAndWait(c, "bad-" + std::to_string(i), "", cases[i].uri), kRefused);
        EXPECT_TRUE(m_Log.Contains(cases[i].log, APT_PRIO_WARNING));
        ASSERT_TRUE(CloseAndWait(c));
        EXPECT_EQ(c.m_Handler.Connects().size(), 1u);
    }
    Conn &c = NewConnection();
    EXPECT_EQ(
        ConnectAndWait(c, "plain", "", "http://127.0.0.1:" + std::to_string(plain.Port()) + "/s"),
        kConnected);
    ASSERT_TRUE(plain.WaitFor([&] { return plain.Frames().size() == 1; }));
    EXPECT_EQ(plain.Frames()[0].Path(), "speech.config");
    ASSERT_TRUE(CloseAndWait(c));
    close(mute);
    plain.Stop();
}

// Name lookups in flight end with their connection and with the client's
// loop (they once leaked at an engine close): names go to a loopback name
// server that never answers; nothing leaks (LeakSanitizer) and nothing
// waits for the lookups.
TEST_F(ConnectionTest, LookupsInFlightEndWithCloseAndShutdown) {
    // A name server on a loopback UDP port that reads every query and never
    // answers, so that each lookup stays in flight.
    int port = 0;
    const int dns = LoopbackSocket(SOCK_DGRAM, port);
    ASSERT_GE(dns, 0);
    const std::string nameServer = "127.0.0.1:" + std::to_string(port);
    auto query = [dns] {
        pollfd p{dns, POLLIN, 0};
        char packet[1500];
        return poll(&p, 1, 10000) == 1 && recv(dns, packet, sizeof(packet), 0) > 0;
    };
    Start([&](KORAL::WebSocketClient &c) { c.m_NameServer = nameServer; });
    Conn &c = NewConnection();
    Connect(c, "lookup", "", "https://speech.koral.invalid/speech/v1");
    ASSERT_TRUE(query());
    ASSERT_TRUE(CloseAndWait(c));
    EXPECT_EQ(c.m_Handler.Calls(), (std::vector<std::string>{"connect:0", "close"}));

    // The token endpoint's lookup in flight when the client shuts down, as
    // at an engine close: the fetch is cancelled, the waiting connection told.
    Start([&](KORAL::WebSocketClient &client) {
        client.m_NameServer = nameServer;
        client.m_AuthSettings.m_Uri = "https://auth.koral.invalid/sts/v1.0/issueToken";
    });
    Conn &waiting = NewConnection();
    Connect(waiting, "waiting");
    ASSERT_TRUE(query());
    m_Client->Shutdown(true);
    EXPECT_EQ(waiting.m_Handler.Calls(), (std::vector<std::string>{"connect:0"}));
    EXPECT_EQ(m_Server->TokenRequests().size(), 1u) << "only the first client's";
    m_Conns.clear();
    close(dns);
}

}  // namespace
