// The WebSocket and the token request through a real HTTP proxy (tinyproxy,
// started here on a free loopback port).
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "ClientFixture.h"
#include "KoralRxNetTransport.h"

using namespace KoralTest;

namespace {

class ProxyTest : public ClientFixture {
  protected:
    TempDir m_Dir{"koral-proxy"};
};

// A proxy that refuses the tunnel, and one that cannot be reached for the
// token request and the WebSocket.
TEST_F(ProxyTest, RefusedTunnelAndUnreachableProxy) {
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

    const std::string unreachable = "http://127.0.0.1:" + std::to_string(FreePort());
    Start([&](KORAL::WebSocketClient &client) { client.m_AuthSettings.m_ProxyUri = unreachable; });
    Conn &n = NewConnection();
    EXPECT_EQ(ConnectAndWait(n, "noproxy", unreachable), kRefused);
    EXPECT_TRUE(m_Log.Contains("Request failed: proxy: "));
    EXPECT_EQ(m_Server->TokenRequests().size(), 1u) << "only the first client's";
}

// A proxy whose reply head is over the limit, sent in one write so that the
// client may read it whole at once: the tunnel is refused all the same, and
// no TLS handshake starts through it. tinyproxy cannot send such a head; a
// one-connection fake proxy on loopback does.
TEST_F(ProxyTest, OversizedReplyHeadIsRefusedEvenWhenItArrivesWhole) {
    int port = 0;
    const int listener = LoopbackSocket(SOCK_STREAM, port);
    ASSERT_GE(listener, 0);
    ASSERT_EQ(listen(listener, 1), 0);
    // Just past the limit, so that no read short of the whole head crosses it.
    const size_t headSize = KORAL::NetTransport::kMaxProxyReplySize + 64;
    std::string reply = "HTTP/1.1 200 Connection established\r\nX-Pad: ";
    reply += std::string(headSize - reply.size() - 4, 'a') + "\r\n\r\n";
    std::string connectHead;
    size_t afterHead = 0;  // bytes the client sent after its CONNECT head
    std::thread proxy([&] {
        pollfd p{listener, POLLIN, 0};
        if (poll(&p, 1, 15000) != 1) return;
        int fd = accept(listener, nullptr, nullptr);
        if (fd < 0) return;
        std::string in;
        char buf[4096];
        bool replied = false;
        // Until the client closes, or 10 s without a byte.
        for (;;) {
            pollfd q{fd, POLLIN, 0};
            if (poll(&q, 1, 10000) != 1) break;
            ssize_t n = read(fd, buf, sizeof(buf));
            if (n <= 0) break;
            in.append(buf, static_cast<size_t>(n));
            size_t end = in.find("\r\n\r\n");
            if (!replied && end != std::string::npos) {
                connectHead = in.substr(0, end + 4);
                afterHead = in.size() - connectHead.size();
                replied =
                    write(fd, reply.data(), reply.size()) == static_cast<ssize_t>(reply.size());
            } else if (replied) {
                afterHead += static_cast<size_t>(n);
            }
        }
        close(fd);
    });
    Start();
    Conn &c = NewConnection();
    Connect(c, "big-head", "http://127.0.0.1:" + std::to_string(port));
    bool connected = c.m_Handler.WaitConnects(1);
    ASSERT_TRUE(CloseAndWait(c));
    proxy.join();
    close(listener);
    ASSERT_TRUE(connected);
    EXPECT_FALSE(c.m_Handler.Connects()[0].m_Ok);
    EXPECT_TRUE(m_Log.Contains("Proxy refused tunnel <big-head>", APT_PRIO_WARNING));
    EXPECT_EQ(connectHead.rfind("CONNECT 127.0.0.1:", 0), 0u) << connectHead;
    EXPECT_EQ(afterHead, 0u) << "the client used the tunnel";
    EXPECT_TRUE(m_Server->Upgrades().empty());
}

}  // namespace
