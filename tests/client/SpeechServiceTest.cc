// The client against the local speech service over real TLS on loopback;
// the conformance of what the client sent is read from the service's event
// log.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "ClientTestSupport.h"
#include "KoralTest/EventLogReader.h"
#include "KoralTest/SpeechServiceProcess.h"
#include "KoralTest/TestCerts.h"

using namespace koraltest;
using KORAL::WebSocketSrMessage;
using KoralTest::ServiceEvent;

namespace {

const char kRequestA[] = "0123456789abcdef0123456789abcdef";
const char kRequestB[] = "fedcba9876543210fedcba9876543210";

class SpeechServiceTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        KoralTest::InitAprOnce();
        std::string error;
        s_Certs = KoralTest::TestCerts::Make(&error).release();
    }
    static void TearDownTestSuite() {
        delete s_Certs;
        s_Certs = nullptr;
    }

    void TearDown() override {
        for (auto &c : m_Conns) {
            if (!c.second->Closed()) {
                c.first->Close();
                c.second->WaitClosed(8000);
            }
        }
        if (m_Client) {
            m_Client->Shutdown(true);
        }
        m_Conns.clear();
        m_Client.reset();
        m_Service.reset();
    }

    // Starts the service with `scenario` (empty: its default) and the client.
    void Start(const std::string &scenario,
               const std::function<void(KORAL::WebSocketClient &)> &tweak = nullptr) {
        ASSERT_NE(s_Certs, nullptr);
        KoralTest::SpeechServiceOptions o;
        o.m_Scenario = scenario;
        o.m_CertFile = s_Certs->CertFile();
        o.m_KeyFile = s_Certs->KeyFile();
        std::string error;
        m_Service = KoralTest::SpeechServiceProcess::Start(o, &error);
        ASSERT_TRUE(m_Service) << error;
        m_Client.reset(new KORAL::WebSocketClient("WSL", false));
        m_Client->SetObserver(&m_Observer);
        m_Client->m_AuthSettings.m_Uri = m_Service->TokenUrl();
        m_Client->m_AuthSettings.m_Key = m_Service->SubscriptionKey();
        m_Client->m_AuthSettings.m_Retries = 0;
        m_Client->m_TlsSettings.m_CaFile = s_Certs->CaFile();
        if (tweak) {
            tweak(*m_Client);
        }
        ASSERT_TRUE(m_Client->Start(nullptr));
        ASSERT_TRUE(m_Observer.WaitStarted());
    }

    std::pair<KORAL::WebSocketConnection *, RecordingHandler *> NewConnection() {
        RecordingHandler *h = new RecordingHandler;
        KORAL::WebSocketConnection *c = new KORAL::WebSocketConnection(h, m_Client.get(), nullptr);
        m_Conns.emplace_back(std::unique_ptr<KORAL::WebSocketConnection>(c),
                             std::unique_ptr<RecordingHandler>(h));
        return {c, h};
    }

    // Streams `ms` of 16 kHz audio (low noise) under `requestId`, then Stop.
    void StreamTurn(KORAL::WebSocketConnection *c, const std::string &requestId, int ms) {
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

    inline static KoralTest::TestCerts *s_Certs = nullptr;
    LogCapture m_Log;
    StartObserver m_Observer;
    std::unique_ptr<KoralTest::SpeechServiceProcess> m_Service;
    std::unique_ptr<KORAL::WebSocketClient> m_Client;
    std::vector<
        std::pair<std::unique_ptr<KORAL::WebSocketConnection>, std::unique_ptr<RecordingHandler>>>
        m_Conns;
};

}  // namespace

TEST_F(SpeechServiceTest, RecognitionConformsToTheService) {
    Start("");
    auto c = NewConnection();
    c.first->Connect("conn-1", m_Service->ServiceUrl(), "", "en-US", 16000);
    StreamTurn(c.first, kRequestA, 800);
    ASSERT_TRUE(c.second->WaitConnects(1));
    ASSERT_TRUE(c.second->Connects()[0].m_Ok);
    // The phrase arrives; the turn ends with telemetry.
    ASSERT_TRUE(WaitEvent("message", "telemetry")) << m_Service->Stderr();
    // The phrase reached the owner, with the turn's id like every message.
    bool phrase = false;
    for (int i = 0; i < 100 && !phrase; ++i) {
        for (const WebSocketSrMessage &m : c.second->Messages()) {
            EXPECT_EQ(m.m_RequestId, kRequestA);
            if (m.m_Method == WebSocketSrMessage::SERVICE_METHOD_SPEECH_PHRASE) {
                phrase = true;
                EXPECT_NE(m.m_Body.find("yes please"), std::string::npos) << m.m_Body;
            }
        }
        c.second->WaitMessages(c.second->Messages().size() + 1, 50);
    }
    EXPECT_TRUE(phrase);

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
    auto c = NewConnection();
    c.first->Connect("conn-2", m_Service->ServiceUrl(), "", "en-US", 16000);
    StreamTurn(c.first, kRequestA, 400);
    // The phrase in time stopped the result timer: the socket outlives it.
    ASSERT_TRUE(WaitEvent("message", "telemetry")) << m_Service->Stderr();
    c.first->Connect("conn-2", m_Service->ServiceUrl(), "", "en-US", 16000);
    ASSERT_TRUE(c.second->WaitConnects(2));
    EXPECT_TRUE(c.second->Connects()[1].m_Ok);
    EXPECT_EQ(c.second->Connects()[1].m_Stats.m_StartTime, 0);
    StreamTurn(c.first, kRequestB, 400);
    ASSERT_TRUE(m_Log.WaitFor("Result Timed Out [" + std::string(kRequestB) + "] <conn-2>"));
    EXPECT_EQ(m_Log.Count("Result Timed Out"), 1u);
    EXPECT_TRUE(m_Log.Contains("Result Timed Out", APT_PRIO_WARNING));
    // The turn ends as a lost socket's does, and the socket is gone.
    bool terminated = false;
    for (int i = 0; i < 100 && !terminated; ++i) {
        for (const WebSocketSrMessage &m : c.second->Messages()) {
            terminated |= m.m_Method == WebSocketSrMessage::SERVICE_METHOD_SPEECH_PHRASE &&
                          m.m_RequestId == kRequestB && m.m_Body.empty();
        }
        c.second->WaitMessages(c.second->Messages().size() + 1, 50);
    }
    EXPECT_TRUE(terminated);
    ASSERT_TRUE(WaitEvent("disconnect", "")) << m_Service->Stderr();
    c.first->Connect("conn-2", m_Service->ServiceUrl(), "", "en-US", 16000);
    ASSERT_TRUE(c.second->WaitConnects(3));
    EXPECT_TRUE(c.second->Connects()[2].m_Ok);
    EXPECT_GT(c.second->Connects()[2].m_Stats.m_StartTime, 0) << "a new socket";
    EXPECT_EQ(Events("upgrade").size(), 2u);
    EXPECT_TRUE(Events("violation").empty());
}

TEST_F(SpeechServiceTest, TokenRefusedOnceThenReattempted) {
    Start(R"({"token":{"status":401,"count":1}})",
          [](KORAL::WebSocketClient &c) { c.m_AuthSettings.m_ReattemptTimeout = 1; });
    auto c = NewConnection();
    c.first->Connect("conn-3", m_Service->ServiceUrl(), "", "en-US", 16000);
    ASSERT_TRUE(c.second->WaitConnects(1));
    EXPECT_FALSE(c.second->Connects()[0].m_Ok);
    EXPECT_TRUE(m_Log.Contains("HTTP auth failure [401] <Koral>"));
    ASSERT_TRUE(m_Log.WaitFor("Access token retrieved"));
    c.first->Connect("conn-3", m_Service->ServiceUrl(), "", "en-US", 16000);
    ASSERT_TRUE(c.second->WaitConnects(2));
    EXPECT_TRUE(c.second->Connects()[1].m_Ok);
}

TEST_F(SpeechServiceTest, UpgradeRefused) {
    Start(R"({"upgrade":{"status":403}})");
    auto c = NewConnection();
    c.first->Connect("conn-4", m_Service->ServiceUrl(), "", "en-US", 16000);
    ASSERT_TRUE(c.second->WaitConnects(1));
    EXPECT_FALSE(c.second->Connects()[0].m_Ok);
    EXPECT_TRUE(m_Log.Contains("WS upgrade failed <conn-4>"));
}

TEST_F(SpeechServiceTest, ConnectionDroppedMidTurnGivesTerminatingPhrase) {
    Start(R"({"turns":[{"status":"Success","nbest":["hello"],
              "faults":[{"at":"speech.phrase","action":"close"}]}]})");
    auto c = NewConnection();
    c.first->Connect("conn-5", m_Service->ServiceUrl(), "", "en-US", 16000);
    StreamTurn(c.first, kRequestA, 400);
    ASSERT_TRUE(m_Log.WaitFor("Terminate recognition <conn-5>")) << m_Service->Stderr();
    // The terminating phrase: no body, no receive time, the turn's id.
    bool terminated = false;
    for (int i = 0; i < 100 && !terminated; ++i) {
        for (const WebSocketSrMessage &m : c.second->Messages()) {
            if (m.m_Method == WebSocketSrMessage::SERVICE_METHOD_SPEECH_PHRASE &&
                m.m_Body.empty() && m.m_ReceiveTime == 0 && m.m_RequestId == kRequestA) {
                terminated = true;
            }
        }
        c.second->WaitMessages(c.second->Messages().size() + 1, 50);
    }
    EXPECT_TRUE(terminated);
}

TEST_F(SpeechServiceTest, OversizedFrameGivesTerminatingPhrase) {
    Start(R"({"turns":[{"status":"Success","nbest":["hello"],
              "faults":[{"at":"speech.phrase","action":"oversized","bytes":2097152}]}]})");
    auto c = NewConnection();
    c.first->Connect("conn-6", m_Service->ServiceUrl(), "", "en-US", 16000);
    StreamTurn(c.first, kRequestA, 400);
    ASSERT_TRUE(m_Log.WaitFor("WS frame too large")) << m_Service->Stderr();
    ASSERT_TRUE(m_Log.WaitFor("Terminate recognition <conn-6>"));
}

TEST_F(SpeechServiceTest, PingsFragmentsAndForeignRequestIds) {
    Start(R"({"turns":[{"status":"Success","nbest":["hello"],"hypotheses":["hel"],
              "faults":[{"at":"turn.start","action":"ping"},
                        {"at":"speech.startDetected","action":"wrong-request-id",
                         "requestId":"99999999999999999999999999999999"}]}]})");
    auto c = NewConnection();
    c.first->Connect("conn-7", m_Service->ServiceUrl(), "", "en-US", 16000);
    StreamTurn(c.first, kRequestA, 400);
    ASSERT_TRUE(WaitEvent("message", "telemetry")) << m_Service->Stderr();
    std::string replies;
    for (const ServiceEvent &e : Events("reply")) {
        replies += e.m_Line.substr(0, 160) + "\n";
    }
    EXPECT_TRUE(
        m_Log.Contains("Unexpected request id 99999999999999999999999999999999, waiting for "))
        << replies;
    for (const WebSocketSrMessage &m : c.second->Messages()) {
        EXPECT_EQ(m.m_RequestId, kRequestA) << "only the turn's own messages are forwarded";
    }
    EXPECT_TRUE(Events("violation").empty());
}

TEST_F(SpeechServiceTest, TokenAndRecognitionThroughAProxy) {
    TempDir dir;
    TinyProxy proxy;
    ASSERT_TRUE(proxy.Start(dir)) << "tinyproxy did not start";
    std::string proxyUri = proxy.Uri();
    Start("", [&](KORAL::WebSocketClient &c) { c.m_AuthSettings.m_ProxyUri = proxyUri; });
    auto c = NewConnection();
    c.first->Connect("conn-9", m_Service->ServiceUrl(), proxyUri, "en-US", 16000);
    StreamTurn(c.first, kRequestA, 400);
    ASSERT_TRUE(c.second->WaitConnects(1));
    ASSERT_TRUE(c.second->Connects()[0].m_Ok);
    ASSERT_TRUE(WaitEvent("message", "telemetry")) << m_Service->Stderr();
    EXPECT_TRUE(Events("violation").empty());
    std::string log = proxy.Log();
    std::string target = "CONNECT 127.0.0.1:" + std::to_string(m_Service->Port());
    size_t first = log.find(target);
    ASSERT_NE(first, std::string::npos) << log;
    EXPECT_NE(log.find(target, first + 1), std::string::npos) << "token and WebSocket tunnels";
}

TEST_F(SpeechServiceTest, AcceptedWithoutVerification) {
    Start("", [](KORAL::WebSocketClient &c) {
        c.m_TlsSettings.m_CaFile = "/nonexistent-ca.pem";
        c.m_TlsSettings.m_Verify = false;
    });
    auto c = NewConnection();
    c.first->Connect("conn-10", m_Service->ServiceUrl(), "", "en-US", 16000);
    ASSERT_TRUE(c.second->WaitConnects(1));
    EXPECT_TRUE(c.second->Connects()[0].m_Ok);
    EXPECT_TRUE(m_Log.Contains("TLS server certificate verification is disabled"));
}

TEST_F(SpeechServiceTest, UnknownCaRefused) {
    Start("", [](KORAL::WebSocketClient &c) { c.m_TlsSettings.m_CaFile = "/nonexistent-ca.pem"; });
    auto c = NewConnection();
    c.first->Connect("conn-8", m_Service->ServiceUrl(), "", "en-US", 16000);
    ASSERT_TRUE(c.second->WaitConnects(1));
    EXPECT_FALSE(c.second->Connects()[0].m_Ok);
    EXPECT_TRUE(m_Log.Contains("Failed to load TLS CA file [/nonexistent-ca.pem]"));
    EXPECT_TRUE(Events("token").empty());
}

// A connection closed by its owner ends its TLS session with close_notify:
// the service reads a clean end of the stream, not a truncated one.
TEST_F(SpeechServiceTest, CloseEndsTheTlsSessionCleanly) {
    Start("");
    auto c = NewConnection();
    c.first->Connect("conn-close", m_Service->ServiceUrl(), "", "en-US", 16000);
    StreamTurn(c.first, kRequestA, 400);
    ASSERT_TRUE(WaitEvent("message", "telemetry")) << m_Service->Stderr();
    c.first->Close();
    ASSERT_TRUE(c.second->WaitClosed());
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
