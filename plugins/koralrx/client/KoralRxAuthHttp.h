// One HTTP/1.1 request at a time to the token endpoint, directly or through
// an HTTP proxy tunnel, over the shared transport. Modelled on libevent's
// HTTP client (whose public interface has no proxy variant): a connection
// with a timeout and a retry count for connecting, and a request whose
// callback receives the request with its response, or null when the
// connection failed.
#pragma once

#include <memory>
#include <string>

#include "KoralRxNetHandles.h"
#include "KoralRxNetHttp.h"
#include "KoralRxNetTransport.h"

namespace KORAL {

class HttpRequest {
  public:
    typedef void (*Callback)(HttpRequest *request, void *arg);

    HttpRequest(Callback callback, void *arg) : m_Callback(callback), m_Arg(arg) {}

    HttpHeaders m_OutputHeaders;
    std::string m_OutputBody;
    HttpResponseReader m_Response;

    Callback m_Callback;
    void *m_Arg;
};

class HttpConnection : private NetTransport::Owner {
  public:
    enum MakeResult {
        MAKE_OK = 0,
        MAKE_BUSY = -1,
        MAKE_NO_TLS_CONTEXT = -2,
        MAKE_NO_TLS_HANDLE = -3,
        MAKE_NO_TLS_BUFFEREVENT = -4,
        MAKE_NO_BUFFEREVENT = -5,
        MAKE_CONNECT_FAILED = -6
    };

    HttpConnection(event_base *base, evdns_base *dns, SSL_CTX *context,
                   const NetTransport::Target &target);
    ~HttpConnection() override;

    // Timeout in seconds of connecting, reading and writing.
    void SetTimeout(int seconds) { m_Timeout = seconds; }
    // How many times a failed connect is tried again (2 s, then doubling).
    void SetRetries(int retries) { m_Retries = retries; }

    // Takes `request` and sends it when connected. The callback runs later
    // (never from within this call); the request is freed after it returns.
    MakeResult MakeRequest(HttpRequest *request, const char *method, const std::string &target);

    // Abandons the request without calling back.
    void CancelRequest();

    // The last connection failure, for log lines.
    const std::string &GetErrorText() const { return m_ErrorText; }
    int GetErrorNumber() const { return m_ErrorNumber; }

  private:
    void OnTransportProxyEvent(short events, const std::string &reason) override;
    void OnTransportProxyRefused(const std::string &statusLine) override;
    void OnTransportConnected() override;
    void OnTransportRead(evbuffer *input) override;
    void OnTransportEvent(short events, const std::string &reason) override;

    MakeResult Connect();
    // Where the socket goes: the proxy when there is one, else the endpoint.
    const std::string &ConnectHost() const {
        return m_Target.m_ProxyHost.empty() ? m_Target.m_Host : m_Target.m_ProxyHost;
    }
    int ConnectPort() const {
        return m_Target.m_ProxyHost.empty() ? m_Target.m_Port : m_Target.m_ProxyPort;
    }
    void OnConnectFailed(const std::string &reason);
    void Fail(const std::string &reason);
    void Complete();
    static void RetryCallback(evutil_socket_t, short, void *arg);

    event_base *m_Base;
    evdns_base *m_Dns;
    SSL_CTX *m_Context;
    NetTransport::Target m_Target;
    NetTransport m_Transport;
    EventPtr m_RetryTimer;
    std::unique_ptr<HttpRequest> m_Request;
    std::string m_RequestText;
    int m_Timeout = 0;
    int m_Retries = 0;
    int m_RetryCount = 0;
    std::string m_ErrorText;
    int m_ErrorNumber = 0;
};

}  // namespace KORAL
