// The client against the local speech service over real TLS on loopback;
// the conformance of what the client sent is read from the service's event
// log.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "ClientFixture.h"
#include "KoralTest/EventLogReader.h"
#include "KoralTest/SpeechServiceProcess.h"

using namespace KoralTest;
using KORAL::WebSocketSrMessage;
using KoralTest::ServiceEvent;

namespace {

const char kRequestA[] = "0123456789abcdef0123456789abcdef";
const char kRequestB[] = "fedcba9876543210fedcba9876543210";

// The phrase a connection makes up when a turn ends without the service's:
// no body, no receive time, the turn's id.
std::function<bool(const WebSocketSrMessage &)> TerminatingPhrase(const std::string &requestId) {
    return [requestId](const WebSocketSrMessage &m) {
        return m.m_Method == WebSocketSrMessage::SERVICE_METHOD_SPEECH_PHRASE && m.m_Body.empty() &&
               m.m_ReceiveTime == 0 && m.m_RequestId == requestId;
    };
}

// The client fixture's client and connections, against the real service
// (its scripted server stays idle).
class SpeechServiceTest : public ClientFixture {
  protected:
    void TearDown() override {
        ClientFixture::TearDown();
        m_Service.reset();
    }

    // Starts the service with `scenario` (empty: its default) on the first
    // call, and the client (anew on later calls).
    void Start(const std::string &scenario,
               const std::function<void(KORAL::WebSocketClient &)> &tweak = nullptr) {
        if (!m_Service) {
            KoralTest::SpeechServiceOptions o;
            o.m_Scenario = scenario;
            o.m_CertFile = s_Certs->CertFile();
            o.m_KeyFile = s_Certs->KeyFile();
            std::string error;
            m_Service = KoralTest::SpeechServiceProcess::Start(o, &error);
            ASSERT_TRUE(m_Service) << error;
        }
        ClientFixture::Start([&](KORAL::WebSocketClient &c) {
            c.m_AuthSettings.m_Uri = m_Service->TokenUrl();
            c.m_AuthSettings.m_Key = m_Service->SubscriptionKey();
            c.m_TlsSettings.m_CaFile = s_Certs->CaFile();
            if (tweak) tweak(c);
        });
    }

    // Streams `ms` of 16 kHz audio (low noise) under `requestId`, then Stop.
    void StreamTurn(Conn &c, const std::string &requestId, int ms) {
        std::string chunk(2560, '\0');
        for (size_t i = 0; i < chunk.size(); i += 2) {
            chunk[i] = static_cast<char>((i * 7) % 13);
        }
        for (int t = 0; t < ms; t += 80) {
            c->PostAudioData(requestId, &chunk[0], chunk.size());
        }
        c->Stop(requestId);
    }

    std::vector<ServiceEvent> Events(const std::string &name) {
        return KoralTest::EventLogReader(m_Service->EventLogPath()).Read(name);
    }

    bool WaitEvent(const std::string &name, const std::string &path, size_t count = 1) {
        KoralTest::EventLogReader reader(m_Service->EventLogPath());
        return reader.WaitFor([&](const std::vector<ServiceEvent> &events) {
            size_t n = 0;
            for (const ServiceEvent &e : events) {
                if (e.Event() == name && (path.empty() || e.Str("path") == path)) {
                    ++n;
                }
            }
            return n >= count;
        });
    }

    std::unique_ptr<KoralTest::SpeechServiceProcess> m_Service;
};

// Also a ping before turn.start, answered by a conforming pong, and a
// speech.startDetected under a foreign request id, dropped.
TEST_F(SpeechServiceTest, RecognitionConformsToTheService) {
    Start(R"({"turns":[{"faults":[{"at":"turn.start","action":"ping","payload":"still there"},
                                  {"at":"speech.startDetected","action":"wrong-request-id",
                                   "requestId":"99999999999999999999999999999999"}]}]})");
    Conn &c = NewConnection();
    c->Connect("conn-1", m_Service->ServiceUrl(), "", "en-US", 16000);
    StreamTurn(c, kRequestA, 800);
    ASSERT_TRUE(c.m_Handler.WaitConnects(1));
    ASSERT_TRUE(c.m_Handler.Connects()[0].m_Ok);
    // The phrase arrives; the turn ends with telemetry.
    ASSERT_TRUE(WaitEvent("message", "telemetry")) << m_Service->Stderr();
    // The phrase reached the owner, with the turn's id like every message.
    EXPECT_TRUE(c.m_Handler.WaitMessage([](const WebSocketSrMessage &m) {
        return m.m_Method == WebSocketSrMessage::SERVICE_METHOD_SPEECH_PHRASE &&
               m.m_Body.find("yes please") != std::string::npos;
    }));
    for (const WebSocketSrMessage &m : c.m_Handler.Messages()) EXPECT_EQ(m.m_RequestId, kRequestA);
    EXPECT_TRUE(
        m_Log.Contains("Unexpected request id 99999999999999999999999999999999, waiting "
                       "for " +
                       std::string(kRequestA) + " <conn-1>"));

    std::vector<ServiceEvent> violations = Events("violation");
    EXPECT_TRUE(violations.empty()) << (violations.empty() ? "" : violations[0].m_Line);
    std::vector<ServiceEvent> ups = Events("upgrade");
    ASSERT_EQ(ups.size(), 1u);
    EXPECT_EQ(ups[0].Int("status"), 101) << ups[0].m_Line;
    std::vector<ServiceEvent> tokens = Events("token");
    ASSERT_EQ(tokens.size(), 1u);
    EXPECT_EQ(tokens[0].Str("method"), "POST");
    EXPECT_EQ(tokens[0].Str("target"), "/sts/v1.0/issueToken");

    std::vector<ServiceEvent> msgs = Events("message");
    ASSERT_GE(msgs.size(), 4u);
    EXPECT_EQ(msgs[0].Str("path"), "speech.config");
    EXPECT_EQ(msgs[0].Str("requestId"), "");
    EXPECT_TRUE(msgs[0].Bool("bodyIsJson"));
    size_t audio = 0, ends = 0, wavs = 0;
    for (size_t i = 1; i < msgs.size(); ++i) {
        if (msgs[i].Str("path") != "audio") {
            continue;
        }
        ++audio;
        EXPECT_EQ(msgs[i].Str("requestId"), kRequestA);
        EXPECT_EQ(msgs[i].Str("contentType"), "audio/x-wav");
        if (msgs[i].Bool("wav")) {
            ++wavs;
            EXPECT_EQ(audio, 1u) << "only the first audio message carries the WAV header";
            EXPECT_EQ(msgs[i].Int("wavRate"), 16000);
            EXPECT_EQ(msgs[i].Int("wavChannels"), 1);
            EXPECT_EQ(msgs[i].Int("wavBits"), 16);
        }
        if (msgs[i].Bool("endOfAudio")) {
            ++ends;
        }
    }
    EXPECT_EQ(audio, 11u);  // ten chunks and the end of audio
    EXPECT_EQ(wavs, 1u);
    EXPECT_EQ(ends, 1u);
    EXPECT_EQ(msgs.back().Str("path"), "telemetry");
    EXPECT_EQ(msgs.back().Str("requestId"), kRequestA);
    EXPECT_TRUE(msgs.back().Bool("bodyIsJson"));

    // A connection closed by its owner ends its TLS session with close_notify
    // (it once did not): the service reads a clean end of the stream, not a
    // truncated one ("stream truncated").
    ASSERT_TRUE(CloseAndWait(c));
    ASSERT_TRUE(WaitEvent("disconnect", "")) << m_Service->Stderr();
    std::vector<ServiceEvent> gone = Events("disconnect");
    ASSERT_EQ(gone.size(), 1u);
    EXPECT_EQ(gone[0].Connection(), ups[0].Connection());
    EXPECT_EQ(gone[0].Str("by"), "client");
    EXPECT_EQ(gone[0].Str("error"), "End of file") << gone[0].m_Line;
}

TEST_F(SpeechServiceTest, ReusedConnectionAndResultTimeout) {
    // The first turn's phrase comes at once and its turn.end late; the second
    // turn stalls before its phrase.
    Start(R"({"turns":[{"faults":[{"at":"turn.end","action":"delay","delayMs":2500}]},
                       {"faults":[{"at":"speech.phrase","action":"stall"}]}]})",
          [](KORAL::WebSocketClient &c) { c.m_ResultTimeout = 1; });
    Conn &c = NewConnection();
    c->Connect("conn-2", m_Service->ServiceUrl(), "", "en-US", 16000);
    StreamTurn(c, kRequestA, 400);
    // The phrase in time stopped the result timer: the socket outlives it.
    ASSERT_TRUE(WaitEvent("message", "telemetry")) << m_Service->Stderr();
    // Late audio of the ended turn is dropped (the service would log it as
    // ignored); the next recognition reuses the socket without a second
    // speech.config, a WAV header leading its turn (else a violation).
    std::string late(320, 1);
    c->PostAudioData(kRequestA, &late[0], late.size());
    c->Connect("conn-2", m_Service->ServiceUrl(), "", "en-US", 16000);
    ASSERT_TRUE(c.m_Handler.WaitConnects(2));
    EXPECT_TRUE(c.m_Handler.Connects()[1].m_Ok);
    EXPECT_EQ(c.m_Handler.Connects()[1].m_Stats.m_StartTime, 0);
    StreamTurn(c, kRequestB, 400);
    ASSERT_TRUE(m_Log.WaitFor("Result Timed Out [" + std::string(kRequestB) + "] <conn-2>"));
    EXPECT_EQ(m_Log.Count("Result Timed Out"), 1u);
    EXPECT_TRUE(m_Log.Contains("Result Timed Out", APT_PRIO_WARNING));
    // The turn ends as a lost socket's does, and the socket is gone.
    EXPECT_TRUE(c.m_Handler.WaitMessage(TerminatingPhrase(kRequestB)));
    ASSERT_TRUE(WaitEvent("disconnect", "")) << m_Service->Stderr();
    c->Connect("conn-2", m_Service->ServiceUrl(), "", "en-US", 16000);
    ASSERT_TRUE(c.m_Handler.WaitConnects(3));
    EXPECT_TRUE(c.m_Handler.Connects()[2].m_Ok);
    EXPECT_GT(c.m_Handler.Connects()[2].m_Stats.m_StartTime, 0) << "a new socket";
    EXPECT_EQ(Events("upgrade").size(), 2u);
    EXPECT_EQ(Events("token").size(), 1u);
    EXPECT_TRUE(Events("violation").empty());
    EXPECT_TRUE(Events("ignored").empty());
}

// The token request and the WebSocket each through their own tunnel; TLS
// runs end to end through the tunnel and checks the service's name.
TEST_F(SpeechServiceTest, TokenAndRecognitionThroughAProxy) {
    TempDir dir;
    TinyProxy proxy;
    ASSERT_TRUE(proxy.Start(dir)) << "tinyproxy did not start";
    std::string proxyUri = proxy.Uri();
    Start("", [&](KORAL::WebSocketClient &c) { c.m_AuthSettings.m_ProxyUri = proxyUri; });
    std::string byName = m_Service->ServiceUrl();
    byName.replace(byName.find("127.0.0.1"), 9, "localhost");
    Conn &c = NewConnection();
    c->Connect("conn-9", byName, proxyUri, "en-US", 16000);
    StreamTurn(c, kRequestA, 400);
    ASSERT_TRUE(c.m_Handler.WaitConnects(1));
    ASSERT_TRUE(c.m_Handler.Connects()[0].m_Ok);
    EXPECT_TRUE(m_Log.Contains("Proxy connected <conn-9>"));
    ASSERT_TRUE(WaitEvent("message", "telemetry")) << m_Service->Stderr();
    EXPECT_TRUE(c.m_Handler.WaitMessage([](const WebSocketSrMessage &m) {
        return m.m_Method == WebSocketSrMessage::SERVICE_METHOD_SPEECH_PHRASE &&
               m.m_Body.find("yes please") != std::string::npos;
    }));
    EXPECT_TRUE(Events("violation").empty());
    EXPECT_EQ(Events("token").size(), 1u);
    std::string log = proxy.Log();
    std::string port = std::to_string(m_Service->Port());
    EXPECT_NE(log.find("CONNECT 127.0.0.1:" + port), std::string::npos) << log;
    EXPECT_NE(log.find("CONNECT localhost:" + port), std::string::npos) << log;
}

// Connects that end at the upgrade or in TLS set-up, and the line that says
// why; a failed connect is told once, and a refused upgrade leaves the
// connection uninitiated with the time of its answer.
TEST_F(SpeechServiceTest, ConnectOutcomesAndTheirReasons) {
    Start(R"({"upgrade":{"status":403,"count":1}})");
    Conn &refused = NewConnection();
    EXPECT_EQ(ConnectAndWait(refused, "conn-4", "", m_Service->ServiceUrl()), kRefused);
    EXPECT_TRUE(
        m_Log.Contains("WS upgrade failed <conn-4>\nHTTP/1.1 403 Forbidden", APT_PRIO_WARNING));
    EXPECT_GT(refused.m_Handler.Connects()[0].m_Stats.m_CompleteTime, 0);
    ASSERT_TRUE(CloseAndWait(refused));
    EXPECT_EQ(refused.m_Handler.Connects().size(), 1u);
    EXPECT_EQ(refused->GetState(), KORAL::WebSocketConnection::STATE_UNINITIATED);
    EXPECT_EQ(Events("token").size(), 1u);

    // A CA file that cannot be read stops the token request too.
    for (bool verify : {true, false}) {
        SCOPED_TRACE(verify ? "verified" : "not verified");
        Start("", [verify](KORAL::WebSocketClient &client) {
            client.m_TlsSettings.m_CaFile = "/nonexistent-ca.pem";
            client.m_TlsSettings.m_Verify = verify;
        });
        Conn &c = NewConnection();
        EXPECT_EQ(ConnectAndWait(c, "conn-ca", "", m_Service->ServiceUrl()),
                  verify ? kRefused : kConnected);
        EXPECT_EQ(Events("token").size(), verify ? 1u : 2u);
    }
    EXPECT_TRUE(
        m_Log.Contains("Failed to load TLS CA file [/nonexistent-ca.pem]", APT_PRIO_WARNING));
    EXPECT_TRUE(
        m_Log.Contains("TLS server certificate verification is disabled", APT_PRIO_WARNING));
}

}  // namespace
