// Connection transport against a scripted TLS server: certificate and name
// verification, the upgrade exchange in its odd shapes, received frames in
// their odd shapes, and the bounds that keep a connection from waiting or
// buffering forever.
#include <gtest/gtest.h>

#include "ClientFixture.h"

using namespace KoralTest;
using KORAL::WebSocketSrMessage;

namespace {

class ConnectionTransportTest : public ClientFixture {};

TEST_F(ConnectionTransportTest, CertificateFromUnknownCaIsRefusedWithReason) {
    Start([](KORAL::WebSocketClient &c) { c.m_TlsSettings.m_CaFile = s_Certs->OtherCaFile(); });
    // The token endpoint is the same server: its certificate is refused too.
    Conn &c = NewConnection();
    EXPECT_EQ(ConnectAndWait(c, "ca-1"), kRefused);
    // The refused fetch says why, with OpenSSL's own text.
    EXPECT_TRUE(
        m_Log.Contains("Request failed: certificate verification failed: unable to get local "
                       "issuer certificate",
                       APT_PRIO_WARNING));
    EXPECT_TRUE(m_Server->TokenRequests().empty()) << "the key never left the client";
}

TEST_F(ConnectionTransportTest, ServiceNameMismatchIsRefused) {
    // The token endpoint is trusted; the service presents a certificate of
    // the right CA for another name.
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
}

TEST_F(ConnectionTransportTest, HostNameIsSentAsServerName) {
    Start();
    Conn &c = NewConnection();
    ASSERT_EQ(ConnectAndWait(c, "sni", "", ServiceUri("localhost")), kConnected);
    ASSERT_EQ(m_Server->Upgrades().size(), 1u);
    EXPECT_EQ(m_Server->Upgrades()[0].m_ServerName, "localhost");
    EXPECT_EQ(m_Server->Upgrades()[0].Header("Host"),
              "localhost:" + std::to_string(m_Server->Port()));
}

TEST_F(ConnectionTransportTest, UpgradeResponseInPiecesAndFramesRightBehind) {
    // The response arrives in three writes, the last one carrying a frame.
    m_Server->m_UpgradeReply = [this](const UpgradeRequest &r) {
        int id = r.m_Connection;
        std::string accept = r.AcceptLine();
        m_Server->WithPeer(id, [accept](Peer &p) { p.SendRaw("Upgrade: websocket\r\n" + accept); });
        m_Server->WithPeer(id, [](Peer &p) {
            p.SendRaw("Connection: Upgrade\r\n\r\n");
            p.SendMessage("speech.startDetected", "");
        });
        return std::string("HTTP/1.1 101 Switching Protocols\r\n");
    };
    Start();
    Conn &c = NewConnection();
    EXPECT_EQ(ConnectAndWait(c, "pieces"), kConnected);
    // The frame right behind the blank line is not lost (its request id is
    // the empty id of a connection that has not begun a turn).
    ASSERT_TRUE(c.m_Handler.WaitMessages(1));
    EXPECT_EQ(c.m_Handler.Messages()[0].m_Method,
              WebSocketSrMessage::SERVICE_METHOD_SPEECH_START_DETECTED);
}

TEST_F(ConnectionTransportTest, TwoFramesInOneWriteWithPingBetween) {
    m_Server->m_OnFrame = [](Peer &p, const ClientFrame &f) {
        if (f.m_Opcode != 2) {
            return;
        }
        std::string id = f.RequestId();
        std::string a = "Path:speech.hypothesis\r\nX-RequestId:" + id + "\r\n\r\n{\"Text\":\"a\"}";
        std::string b = "Path:speech.hypothesis\r\nX-RequestId:" + id + "\r\n\r\n{\"Text\":\"b\"}";
        std::string bytes;
        bytes += '\x81';
        bytes += static_cast<char>(a.size());
        bytes += a;
        bytes += "\x89\x04ping";
        bytes += '\x81';
        bytes += static_cast<char>(b.size());
        bytes += b;
        p.SendRaw(bytes);
        p.SendMessage("turn.end", id);
    };
    Start();
    Conn &c = NewConnection();
    Connect(c, "two");
    PostAudio(c, "r", 320);
    ASSERT_TRUE(c.m_Handler.WaitMessages(2));
    EXPECT_EQ(c.m_Handler.Messages()[0].m_Body, "{\"Text\":\"a\"}");
    EXPECT_EQ(c.m_Handler.Messages()[1].m_Body, "{\"Text\":\"b\"}");
    // config, audio, the pong answering the ping with its payload, telemetry.
    ASSERT_TRUE(m_Server->WaitFor([&] { return m_Server->Frames().size() == 4; }));
    std::vector<ClientFrame> frames = m_Server->Frames();
    EXPECT_EQ(frames[2].m_Opcode, 0xA);
    EXPECT_EQ(frames[2].m_Payload, "ping");
    EXPECT_TRUE(frames[2].m_Masked);
    EXPECT_EQ(frames[3].Path(), "telemetry");
}

TEST_F(ConnectionTransportTest, FragmentedMessagesAreReassembledWithinTheBound) {
    // A phrase in three fragments with a ping among them; then a hypothesis
    // whose fragments together pass the 1 MiB bound.
    m_Server->m_OnFrame = [](Peer &p, const ClientFrame &f) {
        if (f.m_Opcode != 2 || f.m_Body.empty()) {
            return;
        }
        std::string id = f.RequestId();
        if (id == "frag") {
            std::string text = "Path:speech.phrase\r\nX-RequestId:" + id +
                               "\r\n\r\n{\"RecognitionStatus\":\"Success\"}";
            p.SendFrame(0x1, text.substr(0, 10), false);
            p.SendFrame(0x9, "mid");
            p.SendFrame(0x0, text.substr(10, 20), false);
            p.SendFrame(0x0, text.substr(30), true);
            return;
        }
        std::string text = "Path:speech.hypothesis\r\nX-RequestId:" + id + "\r\n\r\n";
        p.SendFrame(0x1, text + std::string(600 * 1024, ' '), false);
        p.SendFrame(0x0, std::string(600 * 1024, ' '), true);
    };
    Start();
    Conn &c = NewConnection();
    Connect(c, "frag-1");
    PostAudio(c, "frag", 320);
    ASSERT_TRUE(c.m_Handler.WaitMessages(1));
    WebSocketSrMessage phrase = c.m_Handler.Messages()[0];
    EXPECT_EQ(phrase.m_Method, WebSocketSrMessage::SERVICE_METHOD_SPEECH_PHRASE);
    EXPECT_EQ(phrase.m_RequestId, "frag");
    EXPECT_EQ(phrase.m_Body, "{\"RecognitionStatus\":\"Success\"}");
    EXPECT_GT(phrase.m_ReceiveTime, 0) << "the service's own phrase, not a terminating one";
    ASSERT_TRUE(m_Server->WaitFor([&] {
        for (const ClientFrame &f : m_Server->Frames()) {
            if (f.m_Opcode == 0xA) return f.m_Payload == "mid";
        }
        return false;
    }));

    // Over the bound: the fault of an oversized frame, the turn terminated.
    Connect(c, "frag-1");
    ASSERT_TRUE(c.m_Handler.WaitConnects(2));
    PostAudio(c, "frag-big", 320);
    ASSERT_TRUE(c.m_Handler.WaitMessages(2));
    WebSocketSrMessage terminated = c.m_Handler.Messages()[1];
    EXPECT_EQ(terminated.m_Method, WebSocketSrMessage::SERVICE_METHOD_SPEECH_PHRASE);
    EXPECT_EQ(terminated.m_RequestId, "frag-big");
    EXPECT_EQ(terminated.m_ReceiveTime, 0);
    EXPECT_TRUE(m_Log.Contains("WS frame too large [1228848 bytes] <frag-1>", APT_PRIO_WARNING));
    ASSERT_TRUE(m_Server->WaitFor([&] { return m_Server->Closed() >= 2; }));  // token, then this
}

TEST_F(ConnectionTransportTest, CloseFrameIsAnsweredAndEndsTheTurnAtOnce) {
    // The server sends a close frame during the turn and keeps its socket
    // open: only the client's answer can end the turn.
    m_Server->m_OnFrame = [](Peer &p, const ClientFrame &f) {
        if (f.m_Opcode == 2 && f.RequestId() == "closing") {
            p.SendFrame(0x8, std::string("\x03\xf3going away", 12));
        }
    };
    Start();
    Conn &c = NewConnection();
    Connect(c, "cf");
    PostAudio(c, "closing", 320);
    ASSERT_TRUE(c.m_Handler.WaitMessages(1));
    EXPECT_EQ(c.m_Handler.Messages()[0].m_Method, WebSocketSrMessage::SERVICE_METHOD_SPEECH_PHRASE);
    EXPECT_EQ(c.m_Handler.Messages()[0].m_RequestId, "closing");
    EXPECT_EQ(c.m_Handler.Messages()[0].m_ReceiveTime, 0);
    EXPECT_TRUE(
        m_Log.Contains("WS closed by the service [1011] [going away] <cf>", APT_PRIO_WARNING));
    // The answer echoes the code, masked; then the socket is gone (the
    // token request's connection closed before it).
    ASSERT_TRUE(m_Server->WaitFor(
        [&] { return !m_Server->Frames().empty() && m_Server->Frames().back().m_Opcode == 0x8; }));
    ASSERT_TRUE(m_Server->WaitFor([&] { return m_Server->Closed() >= 2; }));
    std::vector<ClientFrame> frames = m_Server->Frames();
    EXPECT_EQ(frames.back().m_Opcode, 0x8);
    EXPECT_EQ(frames.back().m_Payload, std::string("\x03\xf3", 2));
    EXPECT_TRUE(frames.back().m_Masked);
    // The next recognition connects anew.
    EXPECT_EQ(ConnectAndWait(c, "cf"), kConnected);
    EXPECT_EQ(m_Server->Upgrades().size(), 2u);
}

TEST_F(ConnectionTransportTest, UpgradeWhoseAcceptDoesNotAnswerTheKeyFails) {
    // The first answer carries another key's accept, the second none; the
    // third is right.
    int upgrades = 0;
    m_Server->m_UpgradeReply = [&upgrades](const UpgradeRequest &r) {
        std::string head = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n";
        switch (upgrades++) {
            case 0:
                return head + "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n";
            case 1:
                return head + "\r\n";
            default:
                return head + r.AcceptLine() + "\r\n";
        }
    };
    Start();
    Conn &c = NewConnection();
    for (size_t i = 1; i <= 3; ++i) {
        Connect(c, "accept");
        ASSERT_TRUE(c.m_Handler.WaitConnects(i));
    }
    EXPECT_FALSE(c.m_Handler.Connects()[0].m_Ok);
    EXPECT_FALSE(c.m_Handler.Connects()[1].m_Ok);
    EXPECT_TRUE(c.m_Handler.Connects()[2].m_Ok);
    EXPECT_TRUE(
        m_Log.Contains("WS upgrade rejected <accept>: Sec-WebSocket-Accept "
                       "[s3pPLMBiTxaQ9kYGzzhZRbK+xOo=] does not answer the key sent",
                       APT_PRIO_WARNING));
    EXPECT_TRUE(
        m_Log.Contains("WS upgrade rejected <accept>: no Sec-WebSocket-Accept", APT_PRIO_WARNING));
    EXPECT_EQ(m_Log.Count("WS upgrade failed <accept>"), 2u);
}

TEST_F(ConnectionTransportTest, UnparsableMessageIsDropped) {
    m_Server->m_OnUpgraded = [](Peer &p) {
        p.SendText("Path:speech.phrase\r\nno empty line");
        p.SendMessage("speech.endDetected", "");
    };
    Start();
    Conn &c = NewConnection();
    Connect(c, "bad");
    ASSERT_TRUE(c.m_Handler.WaitMessages(1));
    EXPECT_EQ(c.m_Handler.Messages()[0].m_Method,
              WebSocketSrMessage::SERVICE_METHOD_SPEECH_END_DETECTED);
    EXPECT_TRUE(m_Log.Contains("Failed to parse WS msg", APT_PRIO_WARNING));
}

TEST_F(ConnectionTransportTest, SilentServerEndsInOneFailedConnect) {
    TestTlsServer mute("", "");
    mute.m_Mute = true;
    ASSERT_TRUE(mute.Start());
    Start();
    Conn &c = NewConnection();
    c->SetConnectTimeout(1);
    EXPECT_EQ(
        ConnectAndWait(c, "mute", "", "https://127.0.0.1:" + std::to_string(mute.Port()) + "/s"),
        kRefused);
    EXPECT_TRUE(m_Log.Contains("WS connection timed out [1 sec] <mute>", APT_PRIO_WARNING));
    ASSERT_TRUE(mute.WaitFor([&] { return mute.Accepted() == 1; }));
    ASSERT_TRUE(CloseAndWait(c));
    EXPECT_EQ(c.m_Handler.Connects().size(), 1u);
    mute.Stop();
}

// A service URI that cannot be reached or used fails the connect once, with
// its reason; "<port>" stands for a loopback port where nothing listens.
struct BadUri {
    const char *m_Name;
    const char *m_Uri;
    const char *m_Log;
};
void PrintTo(const BadUri &c, std::ostream *os) { *os << c.m_Name; }

class BadServiceUriTest : public ClientFixture, public ::testing::WithParamInterface<BadUri> {};

TEST_P(BadServiceUriTest, FailsOnceWithItsReason) {
    Start();
    std::string uri = GetParam().m_Uri;
    const size_t port = uri.find("<port>");
    if (port != std::string::npos) uri.replace(port, 6, std::to_string(FreePort()));
    Conn &c = NewConnection();
    EXPECT_EQ(ConnectAndWait(c, "bad", "", uri), kRefused);
    std::string lines;
    for (const LogLine &line : m_Log.Lines()) lines += line.message + "\n";
    EXPECT_TRUE(m_Log.Contains(GetParam().m_Log, APT_PRIO_WARNING)) << lines;
    ASSERT_TRUE(CloseAndWait(c));
    EXPECT_EQ(c.m_Handler.Connects().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Uris, BadServiceUriTest,
    ::testing::Values(BadUri{"RefusedPort", "https://127.0.0.1:<port>/s",
                             "WS connection failed <bad>: Connection refused"},
                      BadUri{"UnknownScheme", "ftp://127.0.0.1/s",
                             "Unknown URI scheme [ftp] for <bad>: must be either http or https"},
                      BadUri{"NoHost", "https:///nohost", "Failed to get host for <bad>"},
                      BadUri{"NotAUri", "not a uri at all",
                             "Malformed HTTP URI [not a uri at all?format=detailed&language=en-US] "
                             "provided for <bad>"}),
    [](const ::testing::TestParamInfo<BadUri> &info) { return info.param.m_Name; });

TEST_F(ConnectionTransportTest, PlainHttpServiceWorksToo) {
    TestTlsServer plain("", "");
    ASSERT_TRUE(plain.Start());
    Start();
    Conn &c = NewConnection();
    EXPECT_EQ(
        ConnectAndWait(c, "plain", "", "http://127.0.0.1:" + std::to_string(plain.Port()) + "/s"),
        kConnected);
    ASSERT_TRUE(plain.WaitFor([&] { return plain.Frames().size() == 1; }));
    EXPECT_EQ(plain.Frames()[0].Path(), "speech.config");
    ASSERT_TRUE(CloseAndWait(c));
    plain.Stop();
}

TEST_F(ConnectionTransportTest, LookupsInFlightEndWithCloseAndShutdown) {
    // Names go to a loopback name server that never answers; nothing leaks
    // (LeakSanitizer) and nothing waits for the lookups.
    SilentNameServer dns;
    const std::string nameServer = dns.Address();
    Start([&](KORAL::WebSocketClient &c) { c.m_NameServer = nameServer; });
    Conn &c = NewConnection();
    Connect(c, "lookup", "", "https://speech.koral.invalid/speech/v1");
    ASSERT_TRUE(dns.WaitQueries(1));
    ASSERT_TRUE(CloseAndWait(c));
    EXPECT_EQ(c.m_Handler.Calls(), (std::vector<std::string>{"connect:0", "close"}));

    // The token endpoint's lookup in flight when the client shuts down, as
    // at an engine close: the fetch is cancelled, the waiting connection told.
    KORAL::WebSocketClient client("WSL", false);
    StartObserver observer;
    client.SetObserver(&observer);
    client.m_NameServer = nameServer;
    client.m_AuthSettings.m_Uri = "https://auth.koral.invalid/sts/v1.0/issueToken";
    ASSERT_TRUE(client.Start(nullptr));
    ASSERT_TRUE(observer.WaitStarted());
    RecordingHandler handler;
    KORAL::WebSocketConnection waiting(&handler, &client, nullptr);
    waiting.Connect("waiting", ServiceUri(), "", "en-US", 16000);
    ASSERT_TRUE(dns.WaitQueries(2));
    client.Shutdown(true);
    EXPECT_EQ(handler.Calls(), (std::vector<std::string>{"connect:0"}));
    EXPECT_EQ(m_Server->TokenRequests().size(), 1u) << "only the first client's";
}

}  // namespace
