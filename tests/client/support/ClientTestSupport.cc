#include "ClientTestSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "apt_log.h"

namespace KoralTest {

void RecordingHandler::OnConnect(bool success,
                                 const KORAL::WebSocketConnection::ConnectionStats &stats) {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Connects.push_back(Connected{success, stats});
        m_Calls.push_back(success ? "connect:1" : "connect:0");
    }
    m_Cond.notify_all();
}

void RecordingHandler::OnClose() {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Closed = true;
        m_Calls.push_back("close");
    }
    m_Cond.notify_all();
}

void RecordingHandler::OnMessage(const KORAL::WebSocketSrMessage &message) {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Messages.push_back(message);
        m_Calls.push_back("message:" + std::to_string(message.m_Method));
    }
    m_Cond.notify_all();
}

std::vector<RecordingHandler::Connected> RecordingHandler::Connects() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Connects;
}

std::vector<KORAL::WebSocketSrMessage> RecordingHandler::Messages() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Messages;
}

std::vector<std::string> RecordingHandler::Calls() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Calls;
}

bool RecordingHandler::Closed() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Closed;
}

bool RecordingHandler::Wait(const std::function<bool()> &pred, int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_Mutex);
    return m_Cond.wait_for(lock, std::chrono::milliseconds(timeoutMs), pred);
}

bool RecordingHandler::WaitConnects(size_t n, int timeoutMs) {
    return Wait([&] { return m_Connects.size() >= n; }, timeoutMs);
}

bool RecordingHandler::WaitMessages(size_t n, int timeoutMs) {
    return Wait([&] { return m_Messages.size() >= n; }, timeoutMs);
}

bool RecordingHandler::WaitMessage(
    const std::function<bool(const KORAL::WebSocketSrMessage &)> &pred, int timeoutMs) {
    return Wait(
        [&] {
            for (const KORAL::WebSocketSrMessage &m : m_Messages)
                if (pred(m)) return true;
            return false;
        },
        timeoutMs);
}

bool RecordingHandler::WaitClosed(int timeoutMs) {
    return Wait([&] { return m_Closed; }, timeoutMs);
}

bool StartObserver::OnStart(KORAL::WebSocketClient *) {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        ++m_Starts;
    }
    m_Cond.notify_all();
    return true;
}

void StartObserver::OnShutdown(KORAL::WebSocketClient *) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    ++m_Shutdowns;
}

bool StartObserver::WaitStarted(int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_Mutex);
    return m_Cond.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return m_Starts > 0; });
}

int StartObserver::Shutdowns() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Shutdowns;
}

bool TinyProxy::Start(const TempDir &dir, const std::string &extra) {
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
        sockaddr_in sin;
        memset(&sin, 0, sizeof(sin));
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

TinyProxy::~TinyProxy() {
    if (m_Pid > 0) {
        kill(m_Pid, SIGTERM);
        waitpid(m_Pid, nullptr, 0);
    }
}

std::string TinyProxy::Log() const {
    std::ifstream in(m_LogFile);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace KoralTest
