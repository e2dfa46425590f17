#include "KoralRxAuth.h"

#include "KoralRxAuthHttp.h"
#include "KoralRxClientState.h"
#include "KoralRxLog.h"
#include "KoralRxNetUri.h"

namespace KORAL {

namespace {

// A token without the blanks and line ends around it.
std::string TrimToken(const std::string &body) {
    const char *blanks = " \t\r\n";
    size_t first = body.find_first_not_of(blanks);
    if (first == std::string::npos) return std::string();
    return body.substr(first, body.find_last_not_of(blanks) - first + 1);
}

int32_t EffectiveSeconds(int32_t seconds) {
    return seconds > AuthClient::kMinTimerSeconds ? seconds : AuthClient::kMinTimerSeconds;
}

bool HasControlCharacters(const std::string &text) {
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7f) return true;
    return false;
}

// Non-empty once trimmed, and free of control characters inside.
bool IsUsableToken(const std::string &body) {
    std::string token = TrimToken(body);
    return !token.empty() && !HasControlCharacters(token);
}

// The Host header of a request to `target`: the port is written unless it
// is the scheme's default (RFC 7230, 5.4).
std::string HostHeader(const evhttp_uri *uri, const NetTransport::Target &target) {
    std::string host = evhttp_uri_get_host(uri);
    if (evhttp_uri_get_port(uri) >= 0 && target.m_Port != (target.m_Tls ? 443 : 80)) {
        host += ":" + std::to_string(target.m_Port);
    }
    return host;
}

}  // namespace

AuthClient::Settings::Settings()
    : m_Uri(kDefaultTokenUri),
      m_Retries(5),
      m_ConnectionTimeout(60),
      m_RequestTimeout(30),
      m_ValidationPeriod(480),
      m_ReattemptTimeout(60) {}

AuthClient::AuthClient(const std::string &name, const Settings &settings, event_base *base,
                       evdns_base *dns, SSL_CTX *sslContext)
    : m_Name(name),
      m_Key(settings.m_Key),
      m_Uri(settings.m_Uri),
      m_ProxyUri(settings.m_ProxyUri),
      m_Retries(settings.m_Retries),
      m_ConnectionTimeout(settings.m_ConnectionTimeout),
      m_RequestTimeout(settings.m_RequestTimeout),
      m_ValidationPeriod(settings.m_ValidationPeriod),
      m_ReattemptTimeout(settings.m_ReattemptTimeout),
      m_EventBase(base),
      m_DnsBase(dns),
      m_SslContext(sslContext),
      m_Request(nullptr),
      m_Method("POST"),
      m_State(STATE_UNINITIATED),
      m_ResponseCode(0),
      m_Cause(CAUSE_UNKNOWN),
      m_StartTime(0),
      m_EndTime(0) {}

AuthClient::~AuthClient() {
    Cleanup();
    ClearTimer();
    CloseConnection();
    m_Handlers.clear();
}

const char *AuthClient::GetStateAsString() const { return ClientStateName(m_State); }

const char *AuthClient::GetCompletionCauseAsString(CompletionCause cause) {
    static const char *const names[] = {"unknown",          "success",    "internal-error",
                                        "connection-error", "auth-error", "timedout",
                                        "cancelled"};
    return (cause >= CAUSE_UNKNOWN && cause <= CAUSE_CANCELLED) ? names[cause] : "unknown";
}

bool AuthClient::RetrieveToken(Handler *handler) {
    if (m_State == STATE_COMPLETE) {
        if (handler) {
            handler->OnAccessToken(m_Cause == CAUSE_SUCCESS, m_Token);
        }
        return true;
    }
    if (m_State == STATE_INPROGRESS) {
        if (handler) {
            m_Handlers.push_back(handler);
        }
        return true;
    }

    m_Token.clear();
    m_Method = "POST";
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Initiate HTTP auth <%s> [%s]",
            m_Name.c_str(), m_Uri.c_str());
    if (HasControlCharacters(m_Key)) {
        // The key goes into a header line: a line break would add headers of
        // its own to the request.
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "Invalid subscription key: control characters [%d bytes] <%s>",
                static_cast<int>(m_Key.size()), m_Name.c_str());
        return false;
    }
    ResolvedTarget resolved;
    TargetCheck check = ResolveTarget(m_Uri, m_ProxyUri, resolved);
    m_ParsedUri = std::move(resolved.m_Uri);
    m_ParsedProxyUri = std::move(resolved.m_ProxyUri);
    m_Target = resolved.m_Target;
    switch (check) {
        case TARGET_MALFORMED_URI:
            apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                    "Malformed HTTP URI [%s] provided for <%s>", m_Uri.c_str(), m_Name.c_str());
            return false;
        case TARGET_MALFORMED_PROXY_URI:
            apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                    "Malformed HTTP Proxy URI [%s] provided for <%s>", m_ProxyUri.c_str(),
                    m_Name.c_str());
            return false;
        case TARGET_NO_SCHEME:
            apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                    "Malformed URI scheme [%s] for <%s>", m_Uri.c_str(), m_Name.c_str());
            return false;
        case TARGET_UNKNOWN_SCHEME:
            apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                    "Unknown URI scheme [%s] for <%s>: must be either http or https",
                    resolved.m_Scheme.c_str(), m_Name.c_str());
            return false;
        case TARGET_NO_HOST:
            apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                    "Failed to get host for HTTP <%s>", m_Name.c_str());
            return false;
        case TARGET_NO_PROXY_HOST:
            apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                    "Failed to create HTTP connection for <%s>", m_Name.c_str());
            return false;
        case TARGET_OK:
            break;
    }
    if (!CreateConnection(nullptr)) {
        return false;
    }
    if (!MakeRequest(apr_time_now(), false)) {
        CloseConnection();
        return false;
    }
    if (handler) {
        m_Handlers.push_back(handler);
    }
    return true;
}

bool AuthClient::CreateConnection(const char *) {
    // The target was resolved from the URIs just before: only the TLS
    // context can still be missing.
    if (!m_ParsedUri) {
        return false;
    }
    if (m_Target.m_Tls && !m_SslContext) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "Failed to create HTTPS connection: OpenSSL context is not available for <%s>",
                m_Name.c_str());
        return false;
    }
    m_Connection.reset(new HttpConnection(m_EventBase, m_DnsBase, m_SslContext, m_Target));
    m_Connection->SetTimeout(m_ConnectionTimeout);
    m_Connection->SetRetries(m_Retries);
    return true;
}

bool AuthClient::MakeRequest(const apr_time_t &startTime, bool) {
    if (!m_ParsedUri || !m_Connection) {
        return false;
    }
    HttpRequest *request = new HttpRequest(AuthRequestDone, this);
    request->m_OutputHeaders.emplace_back("Host", HostHeader(m_ParsedUri.get(), m_Target));
    request->m_OutputHeaders.emplace_back("Connection", "close");
    request->m_OutputHeaders.emplace_back("Content-type", "application/x-www-form-urlencoded");
    request->m_OutputHeaders.emplace_back("Ocp-Apim-Subscription-Key", m_Key);
    std::string target = GetRequestTarget(m_ParsedUri.get());

    m_StartTime = startTime;
    m_EndTime = 0;
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Make HTTP request for <%s>",
            m_Name.c_str());
    m_Request = request;
    HttpConnection::MakeResult rv = m_Connection->MakeRequest(request, m_Method, target);
    if (rv != HttpConnection::MAKE_OK) {
        switch (rv) {
            case HttpConnection::MAKE_NO_TLS_HANDLE:
                apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                        "Failed to create new OpenSSL handle for <%s>", m_Name.c_str());
                break;
            case HttpConnection::MAKE_NO_TLS_BUFFEREVENT:
                apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                        "Failed to create new OpenSSL bufferevent for <%s>", m_Name.c_str());
                break;
            default:
                break;
        }
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "Failed to make HTTP request rv %d for <%s>", static_cast<int>(rv), m_Name.c_str());
        m_Request = nullptr;
        return false;
    }
    if (!StartTimer(m_RequestTimeout, AuthRequestTimedout)) {
        // Without its timer a fetch could wait forever: give it up.
        m_Connection->CancelRequest();
        m_Request = nullptr;
        return false;
    }
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Set HTTP request timer %d sec for <%s>",
            EffectiveSeconds(m_RequestTimeout), m_Name.c_str());
    m_State = STATE_INPROGRESS;
    return true;
}

bool AuthClient::StartTimer(int32_t seconds, event_callback_fn callback) {
    m_Timer.reset(evtimer_new(m_EventBase, callback, this));
    if (!m_Timer) {
        return false;
    }
    // Whatever the configuration says, the token endpoint is never asked
    // more often than once per kMinTimerSeconds.
    timeval tv = {EffectiveSeconds(seconds), 0};
    if (evtimer_add(m_Timer.get(), &tv) != 0) {
        m_Timer.reset();
        return false;
    }
    return true;
}

void AuthClient::AuthRequestDone(HttpRequest *request, void *arg) {
    AuthClient *client = static_cast<AuthClient *>(arg);
    if (!client) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "NULL context in HTTP callback");
        return;
    }
    if (!request) {
        const char *text = "connection error";
        int number = 0;
        if (client->m_Connection) {
            text = client->m_Connection->GetErrorText().c_str();
            number = client->m_Connection->GetErrorNumber();
        }
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "Request failed: %s (%d) for HTTP auth <%s>", text, number, client->m_Name.c_str());
        client->m_Request = nullptr;
        client->OnComplete(CAUSE_CONNECTION_ERROR);
        return;
    }
    if (request != client->m_Request) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "Mismatch in HTTP request and response for <%s>", client->m_Name.c_str());
        return;
    }
    client->OnComplete(CAUSE_SUCCESS);
}

void AuthClient::OnComplete(CompletionCause cause) {
    if (m_State != STATE_INPROGRESS) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "False complete event: authentication not in-progress <%s>", m_Name.c_str());
        m_Request = nullptr;
        return;
    }
    m_EndTime = apr_time_now();
    if (m_Request) {
        const HttpResponseReader &response = m_Request->m_Response;
        m_ResponseCode = response.m_Code;
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO,
                "Received HTTP response %d in %d msec for <%s> [%s]", m_ResponseCode,
                static_cast<int>((m_EndTime - m_StartTime) / 1000), m_Name.c_str(), m_Uri.c_str());
        for (const auto &h : response.m_Headers) {
            apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "  %s: %s", h.first.c_str(),
                    h.second.c_str());
        }
        if (m_ResponseCode == 200 && !IsUsableToken(response.m_Body)) {
            // The token goes into the upgrade request's Authorization header:
            // line breaks or other control characters would break that request.
            apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                    "Invalid access token [%d bytes] <%s>",
                    static_cast<int>(response.m_Body.size()), m_Name.c_str());
            cause = CAUSE_AUTH_ERROR;
        } else if (m_ResponseCode == 200) {
            m_Token = TrimToken(response.m_Body);
            apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO,
                    "Access token retrieved [%d bytes] <%s>", static_cast<int>(m_Token.size()),
                    m_Name.c_str());
        } else if (m_ResponseCode != 304) {
            apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "HTTP auth failure [%d] <%s>",
                    m_ResponseCode, m_Name.c_str());
            cause = CAUSE_AUTH_ERROR;
        }
    }
    m_Request = nullptr;
    ClearTimer();
    CloseConnection();
    SetComplete(cause);
}

void AuthClient::AuthRequestTimedout(evutil_socket_t, short, void *arg) {
    static_cast<AuthClient *>(arg)->OnTimeout();
}

void AuthClient::OnTimeout() {
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Request timed out for HTTP auth <%s>",
            m_Name.c_str());
    if (m_State != STATE_INPROGRESS) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "False timer event: auth not in-progress <%s>", m_Name.c_str());
        return;
    }
    if (m_Connection) {
        m_Connection->CancelRequest();
    }
    m_Request = nullptr;
    ClearTimer();
    CloseConnection();
    SetComplete(CAUSE_TIMEDOUT);
}

bool AuthClient::Cancel() {
    if (m_State != STATE_INPROGRESS) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "False cancellation request: auth not in-progress <%s>", m_Name.c_str());
        return false;
    }
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Cancel HTTP auth %s [%s]", m_Name.c_str(),
            m_Uri.c_str());
    if (m_Connection) {
        m_Connection->CancelRequest();
    }
    m_Request = nullptr;
    ClearTimer();
    CloseConnection();
    SetComplete(CAUSE_CANCELLED);
    return true;
}

void AuthClient::SetComplete(CompletionCause cause) {
    m_State = STATE_COMPLETE;
    m_Cause = cause;
    // A handler may ask again from within its answer; it then gets the
    // cached answer, not a place in the list being answered.
    std::list<Handler *> handlers;
    handlers.swap(m_Handlers);
    for (Handler *h : handlers) {
        h->OnAccessToken(cause == CAUSE_SUCCESS, m_Token);
    }
    if (cause == CAUSE_SUCCESS) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO,
                "Set revalidation timer [%d sec] for <%s>", EffectiveSeconds(m_ValidationPeriod),
                m_Name.c_str());
        StartTimer(m_ValidationPeriod, AccessTokenTimedout);
    } else {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Set reattempt timer [%d sec] for <%s>",
                EffectiveSeconds(m_ReattemptTimeout), m_Name.c_str());
        StartTimer(m_ReattemptTimeout, AccessTokenTimedout);
    }
}

void AuthClient::AccessTokenTimedout(evutil_socket_t, short, void *arg) {
    static_cast<AuthClient *>(arg)->RevalidateToken();
}

void AuthClient::RevalidateToken() {
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Revalidate access token for HTTP auth <%s>",
            m_Name.c_str());
    if (m_State != STATE_COMPLETE) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "False timer event: auth not in complete state <%s>", m_Name.c_str());
        return;
    }
    Cleanup();
    ClearTimer();
    RetrieveToken(nullptr);
}

void AuthClient::Cleanup() {
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Clean up HTTP auth <%s>", m_Name.c_str());
    m_ParsedUri.reset();
    m_ParsedProxyUri.reset();
    m_Target = NetTransport::Target();
    m_State = STATE_UNINITIATED;
    m_ResponseCode = 0;
    m_Cause = CAUSE_UNKNOWN;
    m_StartTime = 0;
    m_EndTime = 0;
    m_Token.clear();
}

void AuthClient::ClearTimer() {
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Clear HTTP timer <%s>", m_Name.c_str());
    m_Timer.reset();
}

void AuthClient::CloseConnection() {
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Close HTTP connection <%s>",
            m_Name.c_str());
    m_Connection.reset();
}

}  // namespace KORAL
