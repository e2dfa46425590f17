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

    // Starts the service with `scenario` (empty: its default) and the client.
    void Start(const std::string &scenario,
               const std::function<void(KORAL::WebSocketClient &)> &tweak = nullptr) {
        KoralTest::SpeechServiceOptions o;
        o.m_Scenario = scenario;
        o.m_CertFile = s_Certs->CertFile();
        o.m_KeyFile = s_Certs->KeyFile();
        std::string error;
        m_Service = KoralTest::SpeechServiceProcess::Start(o, &error);
        ASSERT_TRUE(m_Service) << error;
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
    EXPECT_TRUE(Events("violation").empty());
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

// A turn the service breaks off: the connection ends it with a terminating
// phrase of its own, a later Stop answers nothing more, and the next
// recognition connects on a new socket, the broken one never reused.
struct BrokenTurn {
    const char *m_Name;
    const char *m_Fault;  // the scenario's fault at speech.phrase
    const char *m_Log;    // the client's account of it
};
void PrintTo(const BrokenTurn &c, std::ostream *os) { *os << c.m_Name; }

class SpeechServiceBrokenTurnTest : public SpeechServiceTest,
                                    public ::testing::WithParamInterface<BrokenTurn> {};

TEST_P(SpeechServiceBrokenTurnTest, EndsInATerminatingPhrase) {
    Start(std::string(R"({"turns":[{"status":"Success","nbest":["hello"],"faults":[)") +
          GetParam().m_Fault + "]}]}");
    Conn &c = NewConnection();
    c->Connect("conn-5", m_Service->ServiceUrl(), "", "en-US", 16000);
    StreamTurn(c, kRequestA, 400);
    ASSERT_TRUE(m_Log.WaitFor(GetParam().m_Log)) << m_Service->Stderr();
    ASSERT_TRUE(m_Log.WaitFor("Terminate recognition <conn-5>"));
    EXPECT_TRUE(c.m_Handler.WaitMessage(TerminatingPhrase(kRequestA)));
    ASSERT_TRUE(WaitEvent("disconnect", "")) << m_Service->Stderr();
    c->Stop(kRequestA);
    c->Connect("conn-5", m_Service->ServiceUrl(), "", "en-US", 16000);
    ASSERT_TRUE(c.m_Handler.WaitConnects(2));
    EXPECT_TRUE(c.m_Handler.Connects()[1].m_Ok);
    EXPECT_GT(c.m_Handler.Connects()[1].m_Stats.m_StartTime, 0) << "a new socket";
    EXPECT_EQ(Events("upgrade").size(), 2u);
    size_t terminating = 0;
    for (const WebSocketSrMessage &m : c.m_Handler.Messages()) {
        terminating += TerminatingPhrase(kRequestA)(m) ? 1 : 0;
    }
    EXPECT_EQ(terminating, 1u) << "the Stop after the loss answered again";
}

INSTANTIATE_TEST_SUITE_P(
    Faults, SpeechServiceBrokenTurnTest,
    ::testing::Values(BrokenTurn{"SocketClosed", R"({"at":"speech.phrase","action":"close"})",
                                 "WS disconnected <conn-5>"},
                      // A 2 MiB body behind a 114-byte header, in one frame.
                      BrokenTurn{"OversizedFrame",
                                 R"({"at":"speech.phrase","action":"oversized","bytes":2097152})",
                                 "WS frame too large [2097266 bytes] <conn-5>"}),
    [](const ::testing::TestParamInfo<BrokenTurn> &info) { return info.param.m_Name; });

// Connects that end at the upgrade or in TLS set-up, and the line that says
// why; a failed connect is told once, and a refused upgrade leaves the
// connection uninitiated.
struct ConnectCase {
    const char *m_Name;
    const char *m_Scenario;
    bool m_Verify;
    bool m_MissingCa;
    bool m_Ok;
    const char *m_Log;
};
void PrintTo(const ConnectCase &c, std::ostream *os) { *os << c.m_Name; }

class SpeechServiceConnectTest : public SpeechServiceTest,
                                 public ::testing::WithParamInterface<ConnectCase> {};

TEST_P(SpeechServiceConnectTest, OutcomeAndReason) {
    const ConnectCase &p = GetParam();
    Start(p.m_Scenario, [&p](KORAL::WebSocketClient &c) {
        if (p.m_MissingCa) c.m_TlsSettings.m_CaFile = "/nonexistent-ca.pem";
        c.m_TlsSettings.m_Verify = p.m_Verify;
    });
    Conn &c = NewConnection();
    c->Connect("conn-4", m_Service->ServiceUrl(), "", "en-US", 16000);
    ASSERT_TRUE(c.m_Handler.WaitConnects(1));
    EXPECT_EQ(c.m_Handler.Connects()[0].m_Ok, p.m_Ok);
    EXPECT_TRUE(m_Log.Contains(p.m_Log, APT_PRIO_WARNING));
    // A CA file that cannot be read stops the token request too.
    if (p.m_MissingCa && p.m_Verify) {
        EXPECT_TRUE(Events("token").empty());
    }
    // The upgrade's answer came: its time is kept even though it refused.
    if (!Events("upgrade").empty()) {
        EXPECT_GT(c.m_Handler.Connects()[0].m_Stats.m_CompleteTime, 0);
    }
    c->Close();
    ASSERT_TRUE(c.m_Handler.WaitClosed());
    EXPECT_EQ(c.m_Handler.Connects().size(), 1u);
    if (!p.m_Ok) {
        EXPECT_EQ(c->GetState(), KORAL::WebSocketConnection::STATE_UNINITIATED);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, SpeechServiceConnectTest,
    ::testing::Values(ConnectCase{"UpgradeRefused", R"({"upgrade":{"status":403}})", true, false,
                                  false, "WS upgrade failed <conn-4>\nHTTP/1.1 403 Forbidden"},
                      ConnectCase{"UnknownCaRefused", "", true, true, false,
                                  "Failed to load TLS CA file [/nonexistent-ca.pem]"},
                      ConnectCase{"AcceptedWithoutVerification", "", false, true, true,
                                  "TLS server certificate verification is disabled"}),
    [](const ::testing::TestParamInfo<ConnectCase> &info) { return info.param.m_Name; });

// A connection closed by its owner ends its TLS session with close_notify:
// the service reads a clean end of the stream, not a truncated one.
TEST_F(SpeechServiceTest, CloseEndsTheTlsSessionCleanly) {
    Start("");
    Conn &c = NewConnection();
    c->Connect("conn-close", m_Service->ServiceUrl(), "", "en-US", 16000);
    StreamTurn(c, kRequestA, 400);
    ASSERT_TRUE(WaitEvent("message", "telemetry")) << m_Service->Stderr();
    c->Close();
    ASSERT_TRUE(c.m_Handler.WaitClosed());
    ASSERT_TRUE(WaitEvent("disconnect", "")) << m_Service->Stderr();
    std::vector<ServiceEvent> ups = Events("upgrade");
    std::vector<ServiceEvent> ends = Events("disconnect");
    ASSERT_EQ(ups.size(), 1u);
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(ends[0].Connection(), ups[0].Connection());
    EXPECT_EQ(ends[0].Str("by"), "client");
    // Without close_notify: "stream truncated".
    EXPECT_EQ(ends[0].Str("error"), "End of file") << ends[0].m_Line;
}

}  // namespace
