// The WebSocket and the token request through a real HTTP proxy (tinyproxy,
// started here on a free loopback port).
#include <gtest/gtest.h>

#include "ClientFixture.h"

using namespace KoralTest;

namespace {

class ProxyTest : public ClientFixture {
  protected:
    TempDir m_Dir{"koral-proxy"};
};

TEST_F(ProxyTest, TokenAndWebSocketThroughTheProxy) {
    TinyProxy proxy;
    ASSERT_TRUE(proxy.Start(m_Dir)) << "tinyproxy did not start";
    m_Server->m_OnFrame = [](Peer &p, const ClientFrame &f) {
        if (f.m_Opcode == 2 && f.m_Body.empty()) {
            p.SendMessage("speech.phrase", f.RequestId(), "{\"RecognitionStatus\":\"NoMatch\"}");
            p.SendMessage("turn.end", f.RequestId());
        }
    };
    std::string proxyUri = proxy.Uri();
    Start([&](KORAL::WebSocketClient &c) { c.m_AuthSettings.m_ProxyUri = proxyUri; });
    Conn &c = NewConnection();
    Connect(c, "via-proxy", proxyUri, ServiceUri("localhost"));
    PostAudio(c, "p1", 3200);
    c->Stop("p1");
    ASSERT_TRUE(c.m_Handler.WaitConnects(1));
    ASSERT_TRUE(c.m_Handler.Connects()[0].m_Ok);
    ASSERT_TRUE(c.m_Handler.WaitMessages(1));
    EXPECT_EQ(c.m_Handler.Messages()[0].m_Body, "{\"RecognitionStatus\":\"NoMatch\"}");
    EXPECT_TRUE(m_Log.Contains("Proxy connected <via-proxy>"));
    // TLS ran end to end through the tunnel, with the service's name.
    ASSERT_EQ(m_Server->Upgrades().size(), 1u);
    EXPECT_EQ(m_Server->Upgrades()[0].m_ServerName, "localhost");
    ASSERT_EQ(m_Server->TokenRequests().size(), 1u);
    ASSERT_TRUE(m_Server->WaitFor([&] { return m_Server->Frames().size() == 4; }));
    // The proxy saw both tunnels, to the token endpoint and to the service.
    std::string log = proxy.Log();
    std::string port = std::to_string(m_Server->Port());
    EXPECT_NE(log.find("CONNECT 127.0.0.1:" + port), std::string::npos) << log;
    EXPECT_NE(log.find("CONNECT localhost:" + port), std::string::npos) << log;
}

TEST_F(ProxyTest, RefusedTunnelFailsTheConnect) {
    TinyProxy proxy;
    // Tunnels only to a port nobody uses here.
    ASSERT_TRUE(proxy.Start(m_Dir, "ConnectPort 1\n"));
    Start();
    Conn &c = NewConnection();
    EXPECT_EQ(ConnectAndWait(c, "refused", proxy.Uri()), kRefused);
    EXPECT_TRUE(m_Log.Contains("Proxy refused tunnel <refused>", APT_PRIO_WARNING));
    EXPECT_TRUE(m_Server->Upgrades().empty());
    ASSERT_TRUE(CloseAndWait(c));
    EXPECT_EQ(c.m_Handler.Connects().size(), 1u);
}

TEST_F(ProxyTest, UnreachableProxyFailsTheConnectAndTheToken) {
    std::string proxyUri = "http://127.0.0.1:" + std::to_string(FreePort());
    Start([&](KORAL::WebSocketClient &c) { c.m_AuthSettings.m_ProxyUri = proxyUri; });
    Conn &c = NewConnection();
    EXPECT_EQ(ConnectAndWait(c, "noproxy", proxyUri), kRefused);
    EXPECT_TRUE(m_Log.Contains("Request failed: proxy: "));
    EXPECT_TRUE(m_Server->TokenRequests().empty());
}

}  // namespace
