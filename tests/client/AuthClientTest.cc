// The access-token client against a scripted HTTPS token endpoint: the
// request it sends, the cache, revalidation, reattempts after failures and
// the answers to waiting connections.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <thread>

#include "ClientFixture.h"

using namespace KoralTest;

namespace {

class AuthClientTest : public ClientFixture {};

// The first fetch is answered only after both connections asked; its line
// end is not part of the token, and a later connect is answered from the
// cache.
TEST_F(AuthClientTest, WaitingConnectionsShareOneWellFormedRequest) {
    TestTlsServer::TokenReply first;
    first.m_Body = "shared-token\r\n";
    m_Server->QueueTokenReply(first);
    Start();
    Conn &a = NewConnection();
    Conn &b = NewConnection();
    Connect(a, "first");
    Connect(b, "second");
    ASSERT_TRUE(a.m_Handler.WaitConnects(1));
    ASSERT_TRUE(b.m_Handler.WaitConnects(1));
    EXPECT_TRUE(a.m_Handler.Connects()[0].m_Ok);
    EXPECT_TRUE(b.m_Handler.Connects()[0].m_Ok);
    EXPECT_LT(m_Log.IndexOf("Initiate WS connection <first>"),
              m_Log.IndexOf("Initiate WS connection <second>"));
    ASSERT_EQ(m_Server->Upgrades().size(), 2u);
    EXPECT_EQ(m_Server->Upgrades()[0].Header("Authorization"), "Bearer shared-token");
    EXPECT_TRUE(m_Log.Contains("Access token retrieved [12 bytes] <Koral>"));
    EXPECT_TRUE(m_Log.WaitFor("Set revalidation timer [480 sec] for <Koral>"));
    ASSERT_EQ(m_Server->TokenRequests().size(), 1u);
    const TokenRequest r = m_Server->TokenRequests()[0];
    EXPECT_EQ(r.m_Head.substr(0, r.m_Head.find("\r\n")), "POST /sts/v1.0/issueToken HTTP/1.1");
    EXPECT_EQ(r.Header("Host"), "127.0.0.1:" + std::to_string(m_Server->Port()));
    EXPECT_EQ(r.Header("Connection"), "close");
    EXPECT_EQ(r.Header("Content-type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(r.Header("Ocp-Apim-Subscription-Key"), "test-subscription-key");
    EXPECT_EQ(r.Header("Content-Length"), "0");

    Conn &c = NewConnection();
    EXPECT_EQ(ConnectAndWait(c, "cached"), kConnected);
    EXPECT_EQ(m_Server->TokenRequests().size(), 1u) << "answered from the cache";
}

// What the client refuses to use, each failing the connect: a token with an
// inner line break, a key with control characters (never sent), a token URI
// whose fetch cannot start (the client stays uninitiated: the next connect
// tries again).
TEST_F(AuthClientTest, UnusableTokenKeyAndUri) {
    TestTlsServer::TokenReply forged;
    forged.m_Body = "tok\r\nX-Injected: 1";
    m_Server->QueueTokenReply(forged);
    Start();
    Conn &c = NewConnection();
    EXPECT_EQ(ConnectAndWait(c, "forged"), kRefused);
    EXPECT_TRUE(m_Log.Contains("Invalid access token [18 bytes] <Koral>", APT_PRIO_WARNING));
    EXPECT_TRUE(m_Server->Upgrades().empty());

    Start([](KORAL::WebSocketClient &client) {
        client.m_AuthSettings.m_Key = "key\r\nX-Injected: 1";
    });
    Conn &injected = NewConnection();
    EXPECT_EQ(ConnectAndWait(injected, "injected"), kRefused);
    EXPECT_TRUE(m_Log.Contains("Invalid subscription key: control characters [18 bytes] <Koral>",
                               APT_PRIO_WARNING));
    EXPECT_EQ(m_Server->TokenRequests().size(), 1u);

    Start([](KORAL::WebSocketClient &client) { client.m_AuthSettings.m_Uri = "gopher://x/sts"; });
    Conn &nostart = NewConnection();
    EXPECT_EQ(ConnectAndWait(nostart, "nostart"), kRefused);
    EXPECT_TRUE(
        m_Log.Contains("Unknown URI scheme [gopher] for <Koral>: must be either http or https"));
    EXPECT_EQ(ConnectAndWait(nostart, "nostart-2"), kRefused);
}

// A fetch that times out, then one refused: each is reattempted; until a
// reattempt runs, a connect is refused at once from the cache.
TEST_F(AuthClientTest, ReattemptsAfterTimeoutAndUnauthorized) {
    TestTlsServer::TokenReply silent, denied;
    silent.m_Silent = true;
    denied.m_Status = 401;
    denied.m_Body = "bad key";
    m_Server->QueueTokenReply(silent);
    m_Server->QueueTokenReply(denied);
    Start([](KORAL::WebSocketClient &c) {
        c.m_AuthSettings.m_RequestTimeout = 1;
        c.m_AuthSettings.m_ReattemptTimeout = 2;
    });
    Conn &c = NewConnection();
    EXPECT_EQ(ConnectAndWait(c, "slow"), kRefused);
    EXPECT_TRUE(m_Log.Contains("Request timed out for HTTP auth <Koral>", APT_PRIO_INFO));
    ASSERT_TRUE(m_Log.WaitFor("HTTP auth failure [401] <Koral>"));
    EXPECT_TRUE(m_Log.Contains("HTTP auth failure [401] <Koral>", APT_PRIO_WARNING));
    EXPECT_TRUE(m_Log.WaitFor("Set reattempt timer [2 sec] for <Koral>"));
    EXPECT_EQ(ConnectAndWait(c, "denied"), kRefused);
    EXPECT_EQ(m_Server->TokenRequests().size(), 2u);
    EXPECT_TRUE(m_Server->Upgrades().empty());
    ASSERT_TRUE(m_Log.WaitFor("Access token retrieved"));
    EXPECT_EQ(ConnectAndWait(c, "accepted"), kConnected);
    EXPECT_EQ(m_Server->TokenRequests().size(), 3u);
}

TEST_F(AuthClientTest, UnreachableEndpointLogsEachAttemptWithItsReason) {
    int port = FreePort();
    Start([port](KORAL::WebSocketClient &c) {
        c.m_AuthSettings.m_Uri =
            "https://127.0.0.1:" + std::to_string(port) + "/sts/v1.0/issueToken";
        c.m_AuthSettings.m_Retries = 1;
    });
    Conn &c = NewConnection();
    EXPECT_EQ(ConnectAndWait(c, "unreachable"), kRefused);
    const std::string target = "HTTP connection to [127.0.0.1:" + std::to_string(port) + "]";
    EXPECT_EQ(m_Log.Count(target + " failed: Connection refused; retry #1 in 2 sec"), 1u);
    EXPECT_EQ(m_Log.Count("Request failed: Connection refused (111) for HTTP auth <Koral>"), 1u);
    EXPECT_LT(m_Log.IndexOf(target), m_Log.IndexOf("Request failed: "));
}

TEST_F(AuthClientTest, NoSettingMakesTokenRequestsRunAway) {
    // Tokens and 401s in turn; periods of 0 and of a huge value read as
    // negative would each be a tight loop without the client's own floor.
    for (int i = 0; i < 50; ++i) {
        TestTlsServer::TokenReply reply;
        reply.m_Status = i % 2 ? 401 : 200;
        m_Server->QueueTokenReply(reply);
    }
    Start([](KORAL::WebSocketClient &c) {
        c.m_AuthSettings.m_ValidationPeriod = 0;
        c.m_AuthSettings.m_ReattemptTimeout = INT32_MIN;
        c.m_AuthSettings.m_RequestTimeout = 0;
    });
    PostAuth();
    ASSERT_TRUE(m_Log.WaitFor("Set revalidation timer [1 sec] for <Koral>"));
    ASSERT_TRUE(m_Log.WaitFor("Set reattempt timer [1 sec] for <Koral>"));
    auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    size_t requests = m_Server->TokenRequests().size();
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(requests, 2u) << "reattempts go on";
    EXPECT_LE(requests, static_cast<size_t>(seconds) + 2) << "at most one a second";
}

TEST_F(AuthClientTest, ShutdownCancelsTheRunningFetch) {
    TestTlsServer::TokenReply silent;
    silent.m_Silent = true;
    m_Server->QueueTokenReply(silent);
    Start();
    Conn &c = NewConnection();
    Connect(c, "cancelled");
    ASSERT_TRUE(m_Server->WaitFor([&] { return m_Server->TokenRequests().size() == 1; }));
    m_Client->Shutdown(true);
    EXPECT_EQ(c.m_Handler.Connects().size(), 1u);
    EXPECT_FALSE(c.m_Handler.Connects()[0].m_Ok);
    EXPECT_TRUE(m_Log.Contains("Cancel HTTP auth Koral [" + TokenUri() + "]"));
    EXPECT_LT(m_Log.IndexOf("Cancel HTTP auth"), m_Log.IndexOf("Ended HTTP client event loop"));
    // Nothing more to close: the loop is gone.
    m_Conns.clear();
}

}  // namespace
