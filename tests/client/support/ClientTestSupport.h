// Shared pieces of the client tests: a recording connection handler, a
// start observer, a loop barrier and tinyproxy.
#pragma once

#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "KoralRxClient.h"
#include "KoralRxConnection.h"
#include "KoralTest/AprPool.h"
#include "KoralTest/LogCapture.h"
#include "KoralTest/Loopback.h"
#include "KoralTest/TempDir.h"
#include "apt_log.h"

namespace KoralTest {

// Records the connection's callbacks (loop thread) for the test thread.
class RecordingHandler : public KORAL::WebSocketConnection::Handler {
  public:
    struct Connected {
        bool m_Ok;
        KORAL::WebSocketConnection::ConnectionStats m_Stats;
    };
    void OnConnect(bool success, const KORAL::WebSocketConnection::ConnectionStats &stats) override;
    void OnClose() override;
    void OnMessage(const KORAL::WebSocketSrMessage &message) override;

    std::vector<Connected> Connects();
    std::vector<KORAL::WebSocketSrMessage> Messages();
    bool Closed();
    // Order of the callbacks: "connect:1", "connect:0", "message:3", "close".
    std::vector<std::string> Calls();
    bool WaitConnects(size_t n, int timeoutMs = 15000);
    bool WaitMessages(size_t n, int timeoutMs = 15000);
    // Waits for a message that satisfies `pred` (called under the lock).
    bool WaitMessage(const std::function<bool(const KORAL::WebSocketSrMessage &)> &pred,
                     int timeoutMs = 15000);
    bool WaitClosed(int timeoutMs = 15000);

  private:
    bool Wait(const std::function<bool()> &pred, int timeoutMs);
    std::mutex m_Mutex;
    std::condition_variable m_Cond;
    std::vector<Connected> m_Connects;
    std::vector<KORAL::WebSocketSrMessage> m_Messages;
    std::vector<std::string> m_Calls;
    bool m_Closed = false;
};

// Observer that tells the test thread when the loop is up and down.
class StartObserver : public KORAL::WebSocketClient::Observer {
  public:
    bool OnStart(KORAL::WebSocketClient *client) override;
    void OnShutdown(KORAL::WebSocketClient *client) override;
    bool WaitStarted(int timeoutMs = 5000);
    int Shutdowns();

  private:
    std::mutex m_Mutex;
    std::condition_variable m_Cond;
    int m_Starts = 0;
    int m_Shutdowns = 0;
};

// Fulfils `done` when the loop runs it, after everything posted before it.
class PromiseEvent : public KORAL::Event {
  public:
    PromiseEvent(KORAL::WebSocketClient *client, std::promise<void> *done)
        : Event(client), m_Done(done) {}
    void Process() override { m_Done->set_value(); }

  private:
    std::promise<void> *m_Done;
};

// tinyproxy on a free loopback port, stopped with the object.
class TinyProxy {
  public:
    // `extra` lines are appended to the configuration.
    bool Start(const TempDir &dir, const std::string &extra = std::string());
    ~TinyProxy();
    std::string Uri() const { return "http://127.0.0.1:" + std::to_string(m_Port); }
    // What the proxy logged so far.
    std::string Log() const;
    int m_Port = 0;

  private:
    int m_Pid = -1;
    std::string m_LogFile;
};

}  // namespace KoralTest
