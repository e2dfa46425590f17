#include "KoralRxNetTransport.h"

#include <arpa/inet.h>
#include <event2/bufferevent_ssl.h>
#include <event2/util.h>
#include <netinet/in.h>
#include <openssl/err.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "KoralRxNetTls.h"
#include "KoralRxWsHandshake.h"

namespace KORAL {

// A name lookup in flight. It outlives a transport closed meanwhile: the
// resolver still calls back once (cancelled, or failed when the resolver is
// freed), and only then is it deleted.
struct NetTransport::Lookup {
    NetTransport *m_Transport;  // null once the transport gave the lookup up
    evdns_getaddrinfo_request *m_Request = nullptr;
    bool m_Starting = true;  // evdns_getaddrinfo has not returned yet
    bool m_Done = false;     // answered from within evdns_getaddrinfo
    int m_Result = 0;
    AddrInfoPtr m_Answer;
};

NetTransport::NetTransport(Owner *owner) : m_Owner(owner) {}

NetTransport::~NetTransport() { Close(); }

NetTransport::OpenResult NetTransport::Open(event_base *base, evdns_base *dns, SSL_CTX *context,
                                            const Target &target) {
    Close();
    m_Tls = target.m_Tls;
    m_Host = target.m_Host;
    m_Port = target.m_Port;
    const int options = BEV_OPT_CLOSE_ON_FREE | BEV_OPT_DEFER_CALLBACKS;
    BuffereventPtr bev;
    if (m_Tls) {
        if (!context) {
            return OPEN_NO_TLS_CONTEXT;
        }
        SslPtr ssl = CreateTlsHandle(context, target.m_Host);
        if (!ssl) {
            return OPEN_NO_TLS_HANDLE;
        }
        bev.reset(bufferevent_openssl_socket_new(base, -1, ssl.get(), BUFFEREVENT_SSL_CONNECTING,
                                                 options));
        if (!bev) {
            return OPEN_NO_TLS_BUFFEREVENT;
        }
        // The bufferevent owns the handle from now on and frees it with itself.
        ssl.release();  // NOLINT(bugprone-unused-return-value): bev frees it
        bufferevent_openssl_set_allow_dirty_shutdown(bev.get(), 1);
    } else {
        bev.reset(bufferevent_socket_new(base, -1, options));
        if (!bev) {
            return OPEN_NO_BUFFEREVENT;
        }
    }
    bufferevent_setcb(bev.get(), ReadCallback, WriteCallback, EventCallback, this);
    bufferevent_enable(bev.get(), EV_READ | EV_WRITE);

    const std::string *connectHost = &target.m_Host;
    int connectPort = target.m_Port;
    if (!target.m_ProxyHost.empty()) {
        // The proxy's socket is handed to the endpoint's bufferevent once the
        // tunnel stands, so this one must not close it when freed.
        BuffereventPtr proxy(bufferevent_socket_new(base, -1, BEV_OPT_DEFER_CALLBACKS));
        if (!proxy) {
            return OPEN_NO_BUFFEREVENT;
        }
        bufferevent_setcb(proxy.get(), ProxyReadCallback, nullptr, ProxyEventCallback, this);
        bufferevent_enable(proxy.get(), EV_READ | EV_WRITE);
        m_PendingBev = std::move(bev);
        bev = std::move(proxy);
        m_Tunnelling = true;
        connectHost = &target.m_ProxyHost;
        connectPort = target.m_ProxyPort;
    }
    m_Bev = std::move(bev);
    m_Connected = false;
    if (m_Timeout > 0) {
        SetTimeouts(m_Timeout);
    }
    sockaddr_in address = {};
    if (inet_pton(AF_INET, connectHost->c_str(), &address.sin_addr) == 1) {
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(connectPort));
        if (bufferevent_socket_connect(m_Bev.get(), reinterpret_cast<sockaddr *>(&address),
                                       sizeof(address)) != 0) {
            Close();
            return OPEN_CONNECT_FAILED;
        }
        return OPEN_OK;
    }
    if (!dns) {
        // Without a resolver the lookup blocks here and nothing is left in flight.
        if (bufferevent_socket_connect_hostname(m_Bev.get(), nullptr, AF_INET, connectHost->c_str(),
                                                connectPort) != 0) {
            Close();
            return OPEN_CONNECT_FAILED;
        }
        return OPEN_OK;
    }
    evutil_addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    std::string port = std::to_string(connectPort);
    Lookup *lookup = new Lookup;
    lookup->m_Transport = this;
    lookup->m_Request =
        evdns_getaddrinfo(dns, connectHost->c_str(), port.c_str(), &hints, LookupCallback, lookup);
    lookup->m_Starting = false;
    if (!lookup->m_Done) {
        m_Lookup = lookup;
        return OPEN_OK;
    }
    // Answered at once (hosts file, or a lookup that could not start).
    int result = lookup->m_Result;
    AddrInfoPtr answer = std::move(lookup->m_Answer);
    delete lookup;
    int rc = -1;
    if (result == 0 && answer) {
        rc = bufferevent_socket_connect(m_Bev.get(), answer->ai_addr,
                                        static_cast<int>(answer->ai_addrlen));
    }
    if (rc != 0) {
        Close();
        return OPEN_CONNECT_FAILED;
    }
    return OPEN_OK;
}

void NetTransport::LookupCallback(int result, evutil_addrinfo *answer, void *arg) {
    Lookup *lookup = static_cast<Lookup *>(arg);
    if (lookup->m_Starting) {
        lookup->m_Done = true;
        lookup->m_Result = result;
        lookup->m_Answer.reset(answer);
        return;
    }
    NetTransport *transport = lookup->m_Transport;
    delete lookup;
    AddrInfoPtr owned(answer);
    if (!transport) {
        return;
    }
    transport->m_Lookup = nullptr;
    transport->OnLookup(result, std::move(owned));
}

void NetTransport::OnLookup(int result, AddrInfoPtr answer) {
    if (result != 0 || !answer) {
        m_LastSocketError = 0;
        ReportFailure(std::string("host lookup failed: ") +
                      (result != 0 ? evutil_gai_strerror(result) : "no address"));
        return;
    }
    int rc = bufferevent_socket_connect(m_Bev.get(), answer->ai_addr,
                                        static_cast<int>(answer->ai_addrlen));
    answer.reset();
    if (rc != 0) {
        m_LastSocketError = EVUTIL_SOCKET_ERROR();
        ReportFailure(std::string("connect failed: ") +
                      evutil_socket_error_to_string(m_LastSocketError));
    }
}

void NetTransport::ReportFailure(const std::string &reason) {
    if (m_Tunnelling) {
        m_Owner->OnTransportProxyEvent(BEV_EVENT_ERROR, reason);
    } else {
        m_Owner->OnTransportEvent(BEV_EVENT_ERROR, reason);
    }
}

void NetTransport::CancelLookup() {
    if (!m_Lookup) {
        return;
    }
    // The resolver calls back once more (cancelled); the lookup is freed then.
    Lookup *lookup = m_Lookup;
    m_Lookup = nullptr;
    lookup->m_Transport = nullptr;
    evdns_getaddrinfo_cancel(lookup->m_Request);
}

void NetTransport::SetTimeouts(int seconds) {
    m_Timeout = seconds;
    timeval tv = {seconds, 0};
    const timeval *t = seconds > 0 ? &tv : nullptr;
    if (m_Bev) {
        bufferevent_set_timeouts(m_Bev.get(), t, t);
    }
    if (m_PendingBev) {
        bufferevent_set_timeouts(m_PendingBev.get(), t, t);
    }
}

void NetTransport::FreeBufferevent(BuffereventPtr &bev, bool closeSocket) {
    if (!bev) {
        return;
    }
    evutil_socket_t fd = bufferevent_getfd(bev.get());
    bev.reset();
    if (closeSocket && fd >= 0) {
        evutil_closesocket(fd);
    }
}

void NetTransport::Close() {
    CancelLookup();
    // While tunnelling, m_Bev is the proxy's bufferevent, which does not own
    // its socket: close it here so that an abandoned tunnel does not leak it.
    FreeBufferevent(m_Bev, m_Tunnelling);
    FreeBufferevent(m_PendingBev, false);
    m_Tunnelling = false;
    m_Connected = false;
}

BuffereventPtr NetTransport::Detach() {
    if (!m_Connected || m_Tunnelling || !m_Bev) {
        Close();
        return BuffereventPtr();
    }
    BuffereventPtr bev = std::move(m_Bev);
    Close();
    return bev;
}

std::string NetTransport::DescribeFailure(bufferevent *bev, short events, int socketError) const {
    std::string reason;
    if (events & BEV_EVENT_TIMEOUT) {
        reason = "timed out";
    } else if (events & BEV_EVENT_EOF) {
        reason = "closed by peer";
    }
    if (bev) {
        int dnsError = bufferevent_socket_get_dns_error(bev);
        if (dnsError) {
            return std::string("host lookup failed: ") + evutil_gai_strerror(dnsError);
        }
    }
    if (m_Tls && !m_Tunnelling && bev) {
        std::string tls = DescribeTlsFailure(bev, socketError);
        if (!tls.empty()) {
            // A refused or reset connection shows up as an end of stream
            // with the system's reason: the reason alone says it.
            if (!(events & BEV_EVENT_TIMEOUT) && !m_Connected) {
                return tls;
            }
            return reason.empty() ? tls : reason + "; " + tls;
        }
    }
    if (reason.empty() && (events & BEV_EVENT_ERROR) && socketError) {
        reason = evutil_socket_error_to_string(socketError);
    }
    return reason.empty() ? std::string("connection error") : reason;
}

void NetTransport::ReadCallback(bufferevent *bev, void *arg) {
    NetTransport *t = static_cast<NetTransport *>(arg);
    t->m_Owner->OnTransportRead(bufferevent_get_input(bev));
}

void NetTransport::WriteCallback(bufferevent *bev, void *arg) {
    static_cast<NetTransport *>(arg)->m_Owner->OnTransportWrite();
}

void NetTransport::EventCallback(bufferevent *bev, short events, void *arg) {
    int socketError = EVUTIL_SOCKET_ERROR();
    NetTransport *t = static_cast<NetTransport *>(arg);
    if (events & BEV_EVENT_CONNECTED) {
        t->m_Connected = true;
        t->m_Owner->OnTransportConnected();
        return;
    }
    t->m_LastSocketError = socketError;
    std::string reason = t->DescribeFailure(bev, events, socketError);
    t->m_Owner->OnTransportEvent(events, reason);
}

void NetTransport::ProxyReadCallback(bufferevent *bev, void *arg) {
    static_cast<NetTransport *>(arg)->ProxyReceive(bev);
}

void NetTransport::ProxyEventCallback(bufferevent *bev, short events, void *arg) {
    int socketError = EVUTIL_SOCKET_ERROR();
    NetTransport *t = static_cast<NetTransport *>(arg);
    if (events & BEV_EVENT_CONNECTED) {
        t->ProcessProxyEvents(bev, events);
        return;
    }
    t->m_LastSocketError = socketError;
    std::string reason = t->DescribeFailure(bev, events, socketError);
    t->m_Owner->OnTransportProxyEvent(events, reason);
}

void NetTransport::ProcessProxyEvents(bufferevent *bev, short events) {
    bufferevent_enable(bev, EV_READ | EV_WRITE);
    std::string request = WsHandshake::ComposeProxyConnect(m_Host, m_Port);
    bufferevent_write(bev, request.data(), request.size());
    m_Owner->OnTransportProxyEvent(events, std::string());
}

void NetTransport::ProxyReceive(bufferevent *bev) {
    m_Owner->OnTransportProxyRead();
    if (bev != m_Bev.get() || !m_Tunnelling) {
        return;  // the owner gave up meanwhile
    }
    // The whole reply head must be consumed before the tunnel is used, or its
    // tail would be read as the first bytes of the TLS handshake.
    evbuffer *input = bufferevent_get_input(bev);
    size_t size = evbuffer_get_length(input);
    const char *data = reinterpret_cast<const char *>(evbuffer_pullup(input, -1));
    size_t end = WsHandshake::FindHeadEnd(data, size);
    // Bounded whatever the reads brought: a head that came whole in one read
    // is held to the same size as one still arriving.
    if (end == std::string::npos ? size > kMaxProxyReplySize : end > kMaxProxyReplySize) {
        m_Owner->OnTransportProxyRefused(WsHandshake::FirstLine(data, std::min(size, end)));
        return;
    }
    if (end == std::string::npos) return;
    int status = WsHandshake::StatusCode(data, end);
    if (status < 200 || status > 299) {
        m_Owner->OnTransportProxyRefused(WsHandshake::FirstLine(data, end));
        return;
    }
    if (!TakeOverTunnel()) {
        m_Owner->OnTransportEvent(BEV_EVENT_ERROR, "failed to take over the proxy tunnel");
    }
}

bool NetTransport::TakeOverTunnel() {
    evutil_socket_t fd = bufferevent_getfd(m_Bev.get());
    m_Bev = std::move(m_PendingBev);
    m_Tunnelling = false;
    if (bufferevent_setfd(m_Bev.get(), fd) != 0) {
        evutil_closesocket(fd);
        return false;
    }
    if (m_Timeout > 0) {
        SetTimeouts(m_Timeout);
    }
    bufferevent_enable(m_Bev.get(), EV_READ | EV_WRITE);
    if (!m_Tls) {
        // A connect without an address on a connected socket reports
        // BEV_EVENT_CONNECTED as soon as the socket is writable. With TLS the
        // handshake starts on its own and reports it when done.
        return bufferevent_socket_connect(m_Bev.get(), nullptr, 0) == 0;
    }
    return true;
}

}  // namespace KORAL
