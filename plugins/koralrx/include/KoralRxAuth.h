// The access-token client: fetches the bearer token for the subscription key
// from the token endpoint, caches it, refreshes it on a period, retries
// after failures and answers the connections that wait for it. Runs on the
// service client's loop thread only.
#pragma once

#include <apr_time.h>
#include <event2/dns.h>
#include <event2/event.h>
#include <event2/http.h>
#include <openssl/ssl.h>

#include <cstdint>
#include <list>
#include <memory>
#include <string>

#include "KoralRxEndpoints.h"
#include "KoralRxNetHandles.h"
#include "KoralRxNetTransport.h"

namespace KORAL {

class HttpConnection;
class HttpRequest;

class AuthClient {
  public:
    class Handler {
      public:
        virtual ~Handler() {}
        virtual void OnAccessToken(bool ok, const std::string &token) = 0;
    };

    struct Settings {
        Settings();

        std::string m_Key;
        std::string m_Uri;
        std::string m_ProxyUri;
        int32_t m_Retries;
        int32_t m_ConnectionTimeout;  // seconds
        int32_t m_RequestTimeout;     // seconds
        int32_t m_ValidationPeriod;   // seconds
        int32_t m_ReattemptTimeout;   // seconds
    };

    // Floor of every timer of the client (request, revalidation, reattempt),
    // so that no setting can turn token fetching into a tight loop.
    static const int32_t kMinTimerSeconds = 1;

    enum State { STATE_UNINITIATED = 0, STATE_INPROGRESS = 1, STATE_COMPLETE = 2 };

    enum CompletionCause {
        CAUSE_UNKNOWN = 0,
        CAUSE_SUCCESS = 1,
        CAUSE_INTERNAL_ERROR = 2,
        CAUSE_CONNECTION_ERROR = 3,
        CAUSE_AUTH_ERROR = 4,
        CAUSE_TIMEDOUT = 5,
        CAUSE_CANCELLED = 6
    };

    AuthClient(const std::string &name, const Settings &settings, event_base *base, evdns_base *dns,
               SSL_CTX *sslContext);
    virtual ~AuthClient();

    AuthClient(const AuthClient &) = delete;
    AuthClient &operator=(const AuthClient &) = delete;

    // Answers `handler` at once from the cache, or when the running fetch
    // ends; starts a fetch when none ran. False when a fetch cannot even be
    // started (the handler is then not kept and will not be called).
    bool RetrieveToken(Handler *handler);
    // Abandons the running fetch; waiting handlers are answered false.
    bool Cancel();
    void RevalidateToken();
    void OnComplete(CompletionCause cause);
    void OnTimeout();

    bool IsInProgress() const { return m_State == STATE_INPROGRESS; }
    State GetState() const { return m_State; }
    CompletionCause GetCause() const { return m_Cause; }
    int32_t GetResponseCode() const { return m_ResponseCode; }
    const std::string &GetToken() const { return m_Token; }
    const char *GetStateAsString() const;
    static const char *GetCompletionCauseAsString(CompletionCause cause);

  private:
    bool CreateConnection(const char *scheme);
    // Every fetch is a first attempt: the connection retries on its own.
    bool MakeRequest(const apr_time_t &startTime, bool retry);
    void SetComplete(CompletionCause cause);
    bool StartTimer(int32_t seconds, event_callback_fn callback);
    void ClearTimer();
    void CloseConnection();
    void Cleanup();

    static void AuthRequestDone(HttpRequest *request, void *arg);
    static void AuthRequestTimedout(evutil_socket_t, short, void *arg);
    static void AccessTokenTimedout(evutil_socket_t, short, void *arg);

    std::string m_Name;
    std::string m_Key;
    std::string m_Uri;
    std::string m_ProxyUri;
    int32_t m_Retries;
    int32_t m_ConnectionTimeout;
    int32_t m_RequestTimeout;
    int32_t m_ValidationPeriod;
    int32_t m_ReattemptTimeout;
    event_base *m_EventBase;
    evdns_base *m_DnsBase;
    SSL_CTX *m_SslContext;
    std::unique_ptr<HttpConnection> m_Connection;
    HttpRequest *m_Request;  // owned by m_Connection while in flight
    EventPtr m_Timer;
    EvhttpUriPtr m_ParsedUri;
    EvhttpUriPtr m_ParsedProxyUri;
    NetTransport::Target m_Target;  // where the fetch connects, from the two URIs
    const char *m_Method;
    std::list<Handler *> m_Handlers;
    std::string m_Token;
    State m_State;
    int32_t m_ResponseCode;
    CompletionCause m_Cause;
    apr_time_t m_StartTime;
    apr_time_t m_EndTime;
};

}  // namespace KORAL
