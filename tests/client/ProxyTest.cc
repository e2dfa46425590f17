// The WebSocket and the token request through a real HTTP proxy (tinyproxy,
// started here on a free loopback port).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "ClientFixture.h"

using namespace koraltest;

namespace {

class TinyProxy {
public:
    // `extra` lines are appended to the configuration.
    bool Start(const TempDir &dir, const std::string &extra = std::string()) {
        m_Port = FreePort();
        m_LogFile = dir.File("tinyproxy-" + std::to_string(m_Port) + ".log");
        std::string conf = dir.File("tinyproxy-" + std::to_string(m_Port) + ".conf");
        std::ofstream out(conf);
        out << "Port " << m_Port << "\nListen 127.0.0.1\nTimeout 30\nAllow 127.0.0.1\n"
            << "MaxClients 20\nLogLevel Info\nLogFile \"" << m_LogFile << "\"\n"
            << extra;
        out.close();
        m_Pid = fork();
        if (m_Pid == 0) {
            execlp("tinyproxy", "tinyproxy", "-d", "-c", conf.c_str(), (char *)nullptr);
            _exit(127);
        }
        if (m_Pid < 0) {
            return false;
        }
        // Ready once it accepts connections.
        for (int i = 0; i < 100; ++i) {
            int fd = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in sin{};
            sin.sin_family = AF_INET;
            sin.sin_port = htons(static_cast<uint16_t>(m_Port));
            sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            bool ok = connect(fd, reinterpret_cast<sockaddr *>(&sin), sizeof(sin)) == 0;
            close(fd);
            if (ok) {
                return true;
            }
            int status = 0;
            if (waitpid(m_Pid, &status, WNOHANG) == m_Pid) {
                m_Pid = -1;
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    ~TinyProxy() {
        if (m_Pid > 0) {
            kill(m_Pid, SIGTERM);
            waitpid(m_Pid, nullptr, 0);
        }
    }
    std::string Uri() const { return "http://127.0.0.1:" + std::to_string(m_Port); }
    std::string Log() const {
        std::ifstream in(m_LogFile);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    int m_Port = 0;

private:
    pid_t m_Pid = -1;
    std::string m_LogFile;
};

}  // namespace

class ProxyTest : public ClientFixture {};

TEST_F(ProxyTest, TokenAndWebSocketThroughTheProxy) {
    TinyProxy proxy;
    ASSERT_TRUE(proxy.Start(*s_Dir)) << "tinyproxy did not start";
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
    EXPECT_TRUE(m_Log.Has("Proxy connected <via-proxy>"));
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
    ASSERT_TRUE(proxy.Start(*s_Dir, "ConnectPort 1\n"));
    Start();
    Conn &c = NewConnection();
    Connect(c, "refused", proxy.Uri());
    ASSERT_TRUE(c.m_Handler.WaitConnects(1));
    EXPECT_FALSE(c.m_Handler.Connects()[0].m_Ok);
    EXPECT_TRUE(m_Log.Has("Proxy refused tunnel <refused>", APT_PRIO_WARNING));
    EXPECT_TRUE(m_Server->Upgrades().empty());
    ASSERT_TRUE(CloseAndWait(c));
    EXPECT_EQ(c.m_Handler.Connects().size(), 1u);
}

TEST_F(ProxyTest, UnreachableProxyFailsTheConnectAndTheToken) {
    std::string proxyUri = "http://127.0.0.1:" + std::to_string(FreePort());
    Start([&](KORAL::WebSocketClient &c) { c.m_AuthSettings.m_ProxyUri = proxyUri; });
    Conn &c = NewConnection();
    Connect(c, "noproxy", proxyUri);
    ASSERT_TRUE(c.m_Handler.WaitConnects(1));
    EXPECT_FALSE(c.m_Handler.Connects()[0].m_Ok);
    EXPECT_TRUE(m_Log.Has("Request failed: proxy: "));
    EXPECT_TRUE(m_Server->TokenRequests().empty());
}
