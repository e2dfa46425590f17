#include "KoralRxAuthHttp.h"

#include <event2/util.h>

#include <cerrno>

#include "KoralRxLog.h"

namespace KORAL {

HttpConnection::HttpConnection(event_base *base, evdns_base *dns, SSL_CTX *context,
                               const NetTransport::Target &target)
    : m_Base(base), m_Dns(dns), m_Context(context), m_Target(target), m_Transport(this) {}

HttpConnection::~HttpConnection() {
    m_RetryTimer.reset();
    m_Transport.Close();
}

HttpConnection::MakeResult HttpConnection::MakeRequest(HttpRequest *request, const char *method,
                                                       const std::string &target) {
    if (m_Request) {
        delete request;
        return MAKE_BUSY;
    }
    m_Request.reset(request);
    m_RequestText =
        ComposeHttpRequest(method, target, request->m_OutputHeaders, request->m_OutputBody);
    m_RetryCount = 0;
    MakeResult rv = Connect();
    if (rv != MAKE_OK) {
        m_Request.reset();
    }
    return rv;
}

HttpConnection::MakeResult HttpConnection::Connect() {
    m_Transport.SetTimeouts(m_Timeout);
    switch (m_Transport.Open(m_Base, m_Dns, m_Context, m_Target)) {
        case NetTransport::OPEN_OK:
            return MAKE_OK;
        case NetTransport::OPEN_NO_TLS_CONTEXT:
            return MAKE_NO_TLS_CONTEXT;
        case NetTransport::OPEN_NO_TLS_HANDLE:
            return MAKE_NO_TLS_HANDLE;
        case NetTransport::OPEN_NO_TLS_BUFFEREVENT:
            return MAKE_NO_TLS_BUFFEREVENT;
        case NetTransport::OPEN_NO_BUFFEREVENT:
            return MAKE_NO_BUFFEREVENT;
        case NetTransport::OPEN_CONNECT_FAILED:
            break;
    }
    return MAKE_CONNECT_FAILED;
}

void HttpConnection::CancelRequest() {
    m_Request.reset();
    if (m_RetryTimer) {
        event_del(m_RetryTimer.get());
    }
    m_Transport.Close();
}

void HttpConnection::OnTransportProxyEvent(short events, const std::string &reason) {
    if (!(events & BEV_EVENT_CONNECTED)) {
        m_ErrorNumber = m_Transport.GetLastSocketError();
        OnConnectFailed("proxy: " + reason);
    }
}

void HttpConnection::OnTransportProxyRefused(const std::string &statusLine) {
    m_ErrorNumber = ECONNREFUSED;
    OnConnectFailed("proxy refused the tunnel: " + statusLine);
}

void HttpConnection::OnTransportConnected() {
    if (!m_Request) {
        m_Transport.Close();
        return;
    }
    bufferevent_write(m_Transport.Bev(), m_RequestText.data(), m_RequestText.size());
}

void HttpConnection::OnTransportRead(evbuffer *input) {
    if (!m_Request) {
        evbuffer_drain(input, evbuffer_get_length(input));
        return;
    }
    size_t size = evbuffer_get_length(input);
    const char *data = reinterpret_cast<const char *>(evbuffer_pullup(input, -1));
    HttpResponseReader::Status status = m_Request->m_Response.Feed(data, size);
    evbuffer_drain(input, size);
    if (status == HttpResponseReader::DONE) {
        Complete();
    } else if (status == HttpResponseReader::FAILED) {
        m_ErrorNumber = EPROTO;
        Fail(m_Request->m_Response.m_Error);
    }
}

void HttpConnection::OnTransportEvent(short events, const std::string &reason) {
    int error = m_Transport.GetLastSocketError();
    if (!m_Request) {
        m_Transport.Close();
        return;
    }
    if (!m_Transport.IsConnected()) {
        m_ErrorNumber = error;
        OnConnectFailed(reason);
        return;
    }
    if ((events & BEV_EVENT_EOF) && m_Request->m_Response.FeedEof() == HttpResponseReader::DONE) {
        Complete();
        return;
    }
    m_ErrorNumber = (events & BEV_EVENT_TIMEOUT) ? ETIMEDOUT : error;
    Fail(reason);
}

void HttpConnection::OnConnectFailed(const std::string &reason) {
    m_Transport.Close();
    if (m_Retries < 0 || m_RetryCount < m_Retries) {
        timeval tv = {2, 0};
        for (int i = 0; i < m_RetryCount && tv.tv_sec < 3600; ++i) {
            tv.tv_sec *= 2;
        }
        ++m_RetryCount;
        if (!m_RetryTimer) {
            m_RetryTimer.reset(evtimer_new(m_Base, RetryCallback, this));
        }
        if (m_RetryTimer && evtimer_add(m_RetryTimer.get(), &tv) == 0) {
            // The attempt that ends the request is reported by its callback;
            // each one retried is logged here, once, with its reason.
            apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                    "HTTP connection to [%s:%d] failed: %s; retry #%d in %d sec",
                    ConnectHost().c_str(), ConnectPort(), reason.c_str(), m_RetryCount,
                    static_cast<int>(tv.tv_sec));
            m_ErrorText = reason;
            return;
        }
    }
    Fail(reason);
}

void HttpConnection::RetryCallback(evutil_socket_t, short, void *arg) {
    HttpConnection *c = static_cast<HttpConnection *>(arg);
    if (!c->m_Request) {
        return;
    }
    if (c->Connect() != MAKE_OK) {
        c->Fail(c->m_ErrorText.empty() ? std::string("connection error") : c->m_ErrorText);
    }
}

void HttpConnection::Fail(const std::string &reason) {
    m_ErrorText = reason;
    m_Transport.Close();
    // The callback may free this connection: nothing of it is touched after.
    std::unique_ptr<HttpRequest> request = std::move(m_Request);
    if (request && request->m_Callback) {
        request->m_Callback(nullptr, request->m_Arg);
    }
}

void HttpConnection::Complete() {
    m_Transport.Close();
    std::unique_ptr<HttpRequest> request = std::move(m_Request);
    if (request && request->m_Callback) {
        request->m_Callback(request.get(), request->m_Arg);
    }
}

}  // namespace KORAL
