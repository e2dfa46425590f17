// A started service client, a scripted TLS server on loopback and
// connections with recording handlers, torn down in a safe order.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <list>
#include <memory>
#include <string>

#include "ClientTestSupport.h"
#include "KoralTest/TestCerts.h"
#include "TestTlsServer.h"

namespace KoralTest {

class ClientFixture : public ::testing::Test {
  protected:
    struct Conn {
        RecordingHandler m_Handler;
        std::unique_ptr<KORAL::WebSocketConnection> m_Connection;
        KORAL::WebSocketConnection *operator->() { return m_Connection.get(); }
    };

    static void SetUpTestSuite() {
        KoralTest::InitAprOnce();
        s_Certs = TestCerts::Make(&s_CertsError, true);
    }
    static void TearDownTestSuite() { s_Certs.reset(); }

    void SetUp() override {
        ASSERT_NE(s_Certs, nullptr) << "cannot make the test certificates: " << s_CertsError;
        m_Server.reset(new TestTlsServer(s_Certs->CertFile(), s_Certs->KeyFile()));
    }

    void TearDown() override {
        EndClient();
        m_Server->Stop();
    }

    // Connections close before the client's loop ends (their sockets and
    // timers live on it), then the loop ends.
    void EndClient() {
        for (Conn &c : m_Conns) {
            if (c.m_Connection && !c.m_Handler.Closed()) {
                c->Close();
                c.m_Handler.WaitClosed(8000);
            }
        }
        if (m_Client) m_Client->Shutdown(true);
        m_Conns.clear();
        m_Client.reset();
    }

    // Starts the client with its settings adjusted by `tweak`: the server
    // first, or the client before ended with its connections.
    void Start(const std::function<void(KORAL::WebSocketClient &)> &tweak = nullptr) {
        if (m_Client) {
            EndClient();
        } else {
            ASSERT_TRUE(m_Server->Start());
        }
        m_Client.reset(new KORAL::WebSocketClient("WSL", false));
        m_Observer.reset(new StartObserver);
        m_Client->SetObserver(m_Observer.get());
        m_Client->m_AuthSettings.m_Key = "test-subscription-key";
        m_Client->m_AuthSettings.m_Uri = TokenUri();
        m_Client->m_AuthSettings.m_Retries = 0;
        m_Client->m_TlsSettings.m_CaFile = s_Certs->CaFile();
        if (tweak) {
            tweak(*m_Client);
        }
        ASSERT_TRUE(m_Client->Start(nullptr));
        ASSERT_TRUE(m_Observer->WaitStarted());
    }

    std::string Base(const std::string &host = "127.0.0.1") {
        return "https://" + host + ":" + std::to_string(m_Server->Port());
    }
    std::string TokenUri() { return Base() + "/sts/v1.0/issueToken"; }
    std::string ServiceUri(const std::string &host = "127.0.0.1") {
        return Base(host) + "/speech/recognition/interactive/cognitiveservices/v1";
    }

    Conn &NewConnection() {
        m_Conns.emplace_back();
        Conn &c = m_Conns.back();
        c.m_Connection.reset(new KORAL::WebSocketConnection(&c.m_Handler, m_Client.get(), nullptr));
        return c;
    }

    void Connect(Conn &c, const std::string &id, const std::string &proxy = std::string(),
                 const std::string &uri = std::string()) {
        c->Connect(id, uri.empty() ? ServiceUri() : uri, proxy, "en-US", 16000);
    }

    enum Answer { kNoAnswer, kConnected, kRefused };
    // Connects `c` and waits for the answer to this connect.
    Answer ConnectAndWait(Conn &c, const std::string &id, const std::string &proxy = std::string(),
                          const std::string &uri = std::string()) {
        const size_t before = c.m_Handler.Connects().size();
        Connect(c, id, proxy, uri);
        if (!c.m_Handler.WaitConnects(before + 1)) return kNoAnswer;
        return c.m_Handler.Connects()[before].m_Ok ? kConnected : kRefused;
    }

    // Closes `c` and waits for OnClose.
    bool CloseAndWait(Conn &c) {
        c->Close();
        return c.m_Handler.WaitClosed();
    }

    void PostAudio(Conn &c, const std::string &requestId, size_t bytes, char fill = 1) {
        std::string audio(bytes, fill);
        c->PostAudioData(requestId, &audio[0], audio.size());
    }

    void PostAuth() { m_Client->PostEvent(new KORAL::AuthEvent(m_Client.get())); }

    // Made once per suite: six openssl runs.
    inline static std::unique_ptr<TestCerts> s_Certs;
    inline static std::string s_CertsError;
    LogCapture m_Log;
    std::unique_ptr<StartObserver> m_Observer;
    std::unique_ptr<TestTlsServer> m_Server;
    std::unique_ptr<KORAL::WebSocketClient> m_Client;
    std::list<Conn> m_Conns;
};

}  // namespace KoralTest
