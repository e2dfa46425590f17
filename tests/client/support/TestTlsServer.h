// A scripted speech service for the client tests: one TLS (or plain) port
// on loopback serving the token endpoint (POST) and the WebSocket endpoint
// (GET + upgrade) from its own libevent thread, recording everything the
// client sends. Used where the real service cannot produce a case (split
// upgrade responses, odd frames, held or forged tokens).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct event_base;
struct evconnlistener;
struct bufferevent;
typedef struct ssl_ctx_st SSL_CTX;

namespace KoralTest {

// A frame the client sent, unmasked, with the service message split out.
struct ClientFrame {
    int m_Connection = 0;
    uint8_t m_Opcode = 0;
    bool m_Masked = false;
    uint8_t m_Key[4] = {0, 0, 0, 0};
    std::string m_Payload;
    // Text: header block (up to the empty line) and body. Binary: the header
    // text after the 2-byte length, and the bytes after it.
    std::string m_Header;
    std::string m_Body;
    std::string Path() const;
    std::string RequestId() const;
};

struct UpgradeRequest {
    int m_Connection = 0;
    std::string m_Head;
    std::string m_ServerName;  // SNI, empty when none
    std::string Header(const std::string &name) const;
    // "Sec-WebSocket-Accept: ..." with CR LF, answering this request's key.
    std::string AcceptLine() const;
};

struct TokenRequest {
    std::string m_Head;
    std::string Header(const std::string &name) const;
};

class TestTlsServer;

// A client connection, used on the server thread from the scripts.
class Peer {
  public:
    void SendFrame(uint8_t opcode, const std::string &payload, bool fin = true);
    void SendRaw(const std::string &bytes);
    void Close();
    // Sends a service message: Path, X-RequestId, optional body.
    void SendMessage(const std::string &path, const std::string &requestId,
                     const std::string &body = std::string());

    TestTlsServer *m_Server = nullptr;
    bufferevent *m_Bev = nullptr;
    int m_Id = 0;
    std::string m_In;
    bool m_Upgraded = false;
    bool m_Token = false;
};

class TestTlsServer {
  public:
    struct TokenReply {
        int m_Status = 200;
        std::string m_Body;     // empty: "token-N"
        bool m_Silent = false;  // accept and never answer
        bool m_Held = false;    // answer only at ReleaseHeldTokens()
    };

    // certFile/keyFile empty: plain TCP.
    TestTlsServer(const std::string &certFile, const std::string &keyFile);
    ~TestTlsServer();

    bool Start();
    void Stop();
    int Port() const { return m_Port; }

    // Scripts (set before Start, run on the server thread).
    std::function<void(Peer &, const ClientFrame &)> m_OnFrame;
    // Raw bytes answering an upgrade; empty: a plain 101 response.
    std::function<std::string(const UpgradeRequest &)> m_UpgradeReply;

    void QueueTokenReply(const TokenReply &reply);
    // Sends the held token replies.
    void ReleaseHeldTokens();
    // Runs `fn` with the peer of connection `id` on the server thread.
    void WithPeer(int id, const std::function<void(Peer &)> &fn);

    // What the clients sent so far, and the connections closed.
    std::vector<ClientFrame> Frames() { return Locked(m_Frames); }
    std::vector<UpgradeRequest> Upgrades() { return Locked(m_Upgrades); }
    std::vector<TokenRequest> TokenRequests() { return Locked(m_TokenRequests); }
    int Closed() { return Locked(m_Closed); }
    // Waits until `pred` holds (checked under the lock on every change).
    bool WaitFor(const std::function<bool()> &pred, int timeoutMs = 10000);

    // Internal, server thread.
    void OnAccept(int fd);
    void OnRead(Peer &peer);
    void OnPeerEvent(Peer &peer, short events);
    void Record(const std::function<void()> &fn);

    std::mutex m_Mutex;
    std::condition_variable m_Cond;

  private:
    template <class T>
    T Locked(const T &member) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return member;
    }
    // Runs `fn` on the server thread.
    void Post(std::function<void()> fn);
    void HandleHead(Peer &peer, const std::string &head);
    void HandleFrames(Peer &peer);
    void FreePeer(Peer *peer);
    void SendTokenResponse(Peer &peer, const std::string &response);
    void Run();

    std::string m_CertFile;
    std::string m_KeyFile;
    SSL_CTX *m_Ctx = nullptr;
    event_base *m_Base = nullptr;
    evconnlistener *m_Listener = nullptr;
    std::thread m_Thread;
    int m_Port = 0;
    int m_NextId = 0;
    int m_TokenCount = 0;
    std::vector<Peer *> m_Peers;
    std::deque<TokenReply> m_TokenReplies;
    std::vector<ClientFrame> m_Frames;
    std::vector<UpgradeRequest> m_Upgrades;
    std::vector<TokenRequest> m_TokenRequests;
    std::vector<std::pair<int, std::string>> m_Held;  // peer id, response
    int m_Closed = 0;
};

}  // namespace KoralTest
