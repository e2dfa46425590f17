#include "TestTlsServer.h"

#include <arpa/inet.h>
#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/bufferevent_ssl.h>
#include <event2/event.h>
#include <event2/listener.h>
#include <event2/thread.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <openssl/ssl.h>
#include <strings.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "KoralRxWsFrame.h"
#include "KoralTest/WsFrame.h"

namespace KoralTest {

namespace {

std::string HeaderOf(const std::string &head, const std::string &name) {
    size_t pos = head.find("\r\n");
    while (pos != std::string::npos && pos + 2 < head.size()) {
        size_t start = pos + 2;
        size_t end = head.find("\r\n", start);
        if (end == std::string::npos || end == start) {
            break;
        }
        std::string line = head.substr(start, end - start);
        size_t colon = line.find(':');
        if (colon != std::string::npos &&
            strcasecmp(line.substr(0, colon).c_str(), name.c_str()) == 0) {
            size_t v = colon + 1;
            while (v < line.size() && line[v] == ' ') {
                ++v;
            }
            return line.substr(v);
        }
        pos = end;
    }
    return std::string();
}

std::string FieldOf(const std::string &header, const std::string &name) {
    std::string h = "\r\n" + header;
    return HeaderOf(h, name);
}

void ReadCb(bufferevent *, void *arg) {
    Peer *p = static_cast<Peer *>(arg);
    p->m_Server->OnRead(*p);
}

void EventCb(bufferevent *, short events, void *arg) {
    Peer *p = static_cast<Peer *>(arg);
    p->m_Server->OnPeerEvent(*p, events);
}

void CloseWhenFlushed(bufferevent *bev, void *arg) {
    if (evbuffer_get_length(bufferevent_get_output(bev)) == 0) {
        Peer *p = static_cast<Peer *>(arg);
        p->m_Server->OnPeerEvent(*p, BEV_EVENT_EOF);
    }
}

void AcceptCb(evconnlistener *, evutil_socket_t fd, sockaddr *, int, void *arg) {
    static_cast<TestTlsServer *>(arg)->OnAccept(fd);
}

void RunPosted(evutil_socket_t, short, void *arg) {
    std::function<void()> *fn = static_cast<std::function<void()> *>(arg);
    (*fn)();
    delete fn;
}

}  // namespace

std::string ClientFrame::Path() const { return FieldOf(m_Header, "Path"); }
std::string ClientFrame::RequestId() const { return FieldOf(m_Header, "X-RequestId"); }
std::string UpgradeRequest::Header(const std::string &name) const { return HeaderOf(m_Head, name); }

std::string UpgradeRequest::AcceptLine() const {
    // RFC 6455, 4.2.2: Base64 of the SHA-1 of the key and the protocol's GUID.
    std::string text = Header("Sec-WebSocket-Key") + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char *>(text.data()), text.size(), digest);
    unsigned char encoded[32];
    int n = EVP_EncodeBlock(encoded, digest, sizeof(digest));
    return "Sec-WebSocket-Accept: " + std::string(reinterpret_cast<char *>(encoded), n) + "\r\n";
}
std::string TokenRequest::Header(const std::string &name) const { return HeaderOf(m_Head, name); }

void Peer::SendRaw(const std::string &bytes) {
    if (m_Bev) {
        bufferevent_write(m_Bev, bytes.data(), bytes.size());
    }
}

void Peer::SendFrame(uint8_t opcode, const std::string &payload, bool fin) {
    SendRaw(KoralTest::WsFrameBytes(opcode, payload, fin));
}

void Peer::SendMessage(const std::string &path, const std::string &requestId,
                       const std::string &body) {
    std::string text = "Path:" + path + "\r\nX-RequestId:" + requestId + "\r\n";
    if (!body.empty()) {
        text += "Content-Type:application/json; charset=utf-8\r\n";
    }
    text += "\r\n" + body;
    SendFrame(0x1, text);
}

void Peer::Close() { m_Server->OnPeerEvent(*this, BEV_EVENT_EOF); }

TestTlsServer::TestTlsServer(const std::string &certFile, const std::string &keyFile)
    : m_CertFile(certFile), m_KeyFile(keyFile) {}

TestTlsServer::~TestTlsServer() { Stop(); }

bool TestTlsServer::Start() {
    evthread_use_pthreads();
    if (!m_CertFile.empty()) {
        m_Ctx = SSL_CTX_new(TLS_server_method());
        if (!m_Ctx || SSL_CTX_use_certificate_chain_file(m_Ctx, m_CertFile.c_str()) != 1 ||
            SSL_CTX_use_PrivateKey_file(m_Ctx, m_KeyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
            return false;
        }
    }
    m_Base = event_base_new();
    if (!m_Base) {
        return false;
    }
    evthread_make_base_notifiable(m_Base);
    sockaddr_in sin;
    memset(&sin, 0, sizeof(sin));
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sin.sin_port = 0;
    m_Listener =
        evconnlistener_new_bind(m_Base, AcceptCb, this, LEV_OPT_CLOSE_ON_FREE | LEV_OPT_REUSEABLE,
                                16, reinterpret_cast<sockaddr *>(&sin), sizeof(sin));
    if (!m_Listener) {
        return false;
    }
    socklen_t len = sizeof(sin);
    getsockname(evconnlistener_get_fd(m_Listener), reinterpret_cast<sockaddr *>(&sin), &len);
    m_Port = ntohs(sin.sin_port);
    m_Thread = std::thread([this] { Run(); });
    return true;
}

void TestTlsServer::Run() { event_base_loop(m_Base, EVLOOP_NO_EXIT_ON_EMPTY); }

void TestTlsServer::Stop() {
    if (m_Thread.joinable()) {
        Post([this] {
            for (Peer *p : m_Peers) {
                FreePeer(p);
                delete p;
            }
            m_Peers.clear();
            event_base_loopbreak(m_Base);
        });
        m_Thread.join();
    }
    if (m_Listener) {
        evconnlistener_free(m_Listener);
        m_Listener = nullptr;
    }
    if (m_Base) {
        event_base_free(m_Base);
        m_Base = nullptr;
    }
    if (m_Ctx) {
        SSL_CTX_free(m_Ctx);
        m_Ctx = nullptr;
    }
}

void TestTlsServer::Post(std::function<void()> fn) {
    timeval zero = {0, 0};
    event_base_once(m_Base, -1, EV_TIMEOUT, RunPosted, new std::function<void()>(std::move(fn)),
                    &zero);
}

void TestTlsServer::WithPeer(int id, const std::function<void(Peer &)> &fn) {
    Post([this, id, fn] {
        for (Peer *p : m_Peers) {
            if (p->m_Id == id && p->m_Bev) {
                fn(*p);
                return;
            }
        }
    });
}

void TestTlsServer::SendTokenResponse(Peer &peer, const std::string &response) {
    peer.SendRaw(response);
    bufferevent_setcb(peer.m_Bev, nullptr, CloseWhenFlushed, EventCb, &peer);
}

void TestTlsServer::ReleaseHeldTokens() {
    // On the server thread: a request already counted has its reply held by then.
    Post([this] {
        std::vector<std::pair<int, std::string>> held;
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            held.swap(m_Held);
        }
        for (const auto &h : held) {
            for (Peer *p : m_Peers) {
                if (p->m_Id == h.first && p->m_Bev) {
                    SendTokenResponse(*p, h.second);
                }
            }
        }
    });
}

void TestTlsServer::QueueTokenReply(const TokenReply &reply) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_TokenReplies.push_back(reply);
}

void TestTlsServer::Record(const std::function<void()> &fn) {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        fn();
    }
    m_Cond.notify_all();
}

bool TestTlsServer::WaitFor(const std::function<bool()> &pred, int timeoutMs) {
    // `pred` locks for itself: checked again at each change, or after 50 ms
    // should a change come between a check and the wait.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::unique_lock<std::mutex> lock(m_Mutex);
        m_Cond.wait_for(lock, std::chrono::milliseconds(50));
    }
    return true;
}

void TestTlsServer::OnAccept(int fd) {
    Peer *peer = new Peer;
    peer->m_Server = this;
    peer->m_Id = ++m_NextId;
    m_Peers.push_back(peer);
    if (m_Ctx) {
        peer->m_Bev = bufferevent_openssl_socket_new(
            m_Base, fd, SSL_new(m_Ctx), BUFFEREVENT_SSL_ACCEPTING, BEV_OPT_CLOSE_ON_FREE);
        bufferevent_openssl_set_allow_dirty_shutdown(peer->m_Bev, 1);
    } else {
        peer->m_Bev = bufferevent_socket_new(m_Base, fd, BEV_OPT_CLOSE_ON_FREE);
    }
    bufferevent_setcb(peer->m_Bev, ReadCb, nullptr, EventCb, peer);
    bufferevent_enable(peer->m_Bev, EV_READ | EV_WRITE);
}

void TestTlsServer::FreePeer(Peer *peer) {
    if (peer->m_Bev) {
        bufferevent_free(peer->m_Bev);
        peer->m_Bev = nullptr;
        Record([this] { ++m_Closed; });
    }
}

void TestTlsServer::OnPeerEvent(Peer &peer, short events) {
    if (events & BEV_EVENT_CONNECTED) {
        return;
    }
    // Keep the Peer object (scripts may still hold it); only drop its socket.
    FreePeer(&peer);
}

void TestTlsServer::OnRead(Peer &peer) {
    evbuffer *in = bufferevent_get_input(peer.m_Bev);
    size_t n = evbuffer_get_length(in);
    std::string data(n, '\0');
    evbuffer_remove(in, &data[0], n);
    peer.m_In += data;
    if (!peer.m_Upgraded) {
        size_t end = peer.m_In.find("\r\n\r\n");
        if (end == std::string::npos || peer.m_Token) {
            return;
        }
        std::string head = peer.m_In.substr(0, end + 4);
        peer.m_In.erase(0, end + 4);
        HandleHead(peer, head);
        if (!peer.m_Upgraded || !peer.m_Bev) {
            return;
        }
    }
    HandleFrames(peer);
}

void TestTlsServer::HandleHead(Peer &peer, const std::string &head) {
    std::string sni;
    if (m_Ctx) {
        SSL *ssl = bufferevent_openssl_get_ssl(peer.m_Bev);
        const char *name = ssl ? SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name) : nullptr;
        sni = name ? name : "";
    }
    if (head.compare(0, 5, "POST ") == 0) {
        peer.m_Token = true;
        TokenReply reply;
        int count = 0;
        Record([&] {
            m_TokenRequests.push_back(TokenRequest{head});
            count = ++m_TokenCount;
            if (!m_TokenReplies.empty()) {
                reply = m_TokenReplies.front();
                m_TokenReplies.pop_front();
            }
        });
        if (reply.m_Silent) {
            return;
        }
        std::string body = reply.m_Body.empty() && reply.m_Status == 200
                               ? "token-" + std::to_string(count)
                               : reply.m_Body;
        std::string response =
            "HTTP/1.1 " + std::to_string(reply.m_Status) + " Status\r\n" +
            "Content-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
            "\r\nConnection: close\r\n\r\n" + body;
        if (reply.m_Held) {
            Record([&] { m_Held.emplace_back(peer.m_Id, response); });
            return;
        }
        SendTokenResponse(peer, response);
        return;
    }
    UpgradeRequest request{peer.m_Id, head, sni};
    Record([&] { m_Upgrades.push_back(request); });
    std::string reply = m_UpgradeReply ? m_UpgradeReply(request)
                                       : "HTTP/1.1 101 Switching Protocols\r\n"
                                         "Upgrade: websocket\r\n"
                                         "Connection: Upgrade\r\n" +
                                             request.AcceptLine() + "\r\n";
    peer.SendRaw(reply);
    if (strncasecmp(reply.c_str(), "HTTP/1.1 101", 12) == 0) {
        peer.m_Upgraded = true;
    }
}

void TestTlsServer::HandleFrames(Peer &peer) {
    while (peer.m_Bev) {
        KORAL::WsFrame::Header h;
        std::string payload;
        KORAL::WsFrame::ReadStatus st =
            KORAL::WsFrame::ReadFrame(reinterpret_cast<const uint8_t *>(peer.m_In.data()),
                                      peer.m_In.size(), 1 << 24, h, payload);
        if (st != KORAL::WsFrame::READ_FRAME) {
            return;
        }
        peer.m_In.erase(0, h.m_HeaderSize + h.m_Length);
        ClientFrame f;
        f.m_Connection = peer.m_Id;
        f.m_Opcode = h.m_Opcode;
        f.m_Masked = h.m_Masked;
        memcpy(f.m_Key, h.m_Key, 4);
        f.m_Payload = payload;
        if (h.m_Opcode == 1) {
            size_t end = payload.find("\r\n\r\n");
            f.m_Header = payload.substr(0, end == std::string::npos ? payload.size() : end + 2);
            f.m_Body = end == std::string::npos ? std::string() : payload.substr(end + 4);
        } else if (h.m_Opcode == 2 && payload.size() >= 2) {
            size_t len = (static_cast<uint8_t>(payload[0]) << 8) | static_cast<uint8_t>(payload[1]);
            f.m_Header = payload.substr(2, len);
            f.m_Body = payload.substr(std::min(payload.size(), 2 + len));
        }
        Record([&] { m_Frames.push_back(f); });
        if (m_OnFrame) {
            m_OnFrame(peer, f);
        }
    }
}

}  // namespace KoralTest
