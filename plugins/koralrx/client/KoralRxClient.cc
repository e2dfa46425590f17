#include "KoralRxClient.h"

#include <event2/buffer.h>
#include <event2/thread.h>
#include <openssl/err.h>
#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <system_error>

#include "KoralRxLog.h"
#include "KoralRxMessage.h"

namespace KORAL {

namespace {
// Loop passes at teardown: a failed lookup's callback may free a bufferevent
// whose own last step is deferred to the pass after.
const int kTeardownPasses = 3;
}  // namespace

void EventLogCallback(int severity, const char *message) {
    apt_log_priority_e priority;
    switch (severity) {
        case EVENT_LOG_MSG:
            priority = APT_PRIO_INFO;
            break;
        case EVENT_LOG_WARN:
            priority = APT_PRIO_WARNING;
            break;
        case EVENT_LOG_ERR:
            priority = APT_PRIO_ERROR;
            break;
        default:
            priority = APT_PRIO_DEBUG;
            break;
    }
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, priority, "%s", message ? message : "");
}

WebSocketClient::WebSocketClient(const std::string &name, bool debugLogging)
    : m_Name(name), m_Observer(nullptr), m_Waiting(false), m_Running(false), m_EventBase(nullptr) {
    event_set_log_callback(EventLogCallback);
    if (debugLogging) {
        event_enable_debug_logging(EVENT_DBG_ALL);
    }
    if (evthread_use_pthreads() != 0) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "Failed to initialize libevent to use threads");
    }
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    WebSocketSrMessage::InitMessageMaps();
}

WebSocketClient::~WebSocketClient() {
    // The owner shuts the client down first; a thread left running would
    // otherwise outlive the object it works on.
    if (m_Thread.joinable()) {
        Shutdown(true);
    }
    Cleanup();
    WebSocketSrMessage::DestroyMessageMaps();
}

bool WebSocketClient::Start(apr_pool_t *) {
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Start WS client");
    try {
        m_Thread = std::thread(ProviderFunc, this);
    } catch (const std::system_error &) {
        Cleanup();
        return false;
    }
    return true;
}

void *WebSocketClient::ProviderFunc(void *client) {
    pthread_setname_np(pthread_self(), "koralrx-client");
    // Every socket of the plugin is written on this thread. A peer that has
    // gone makes a write raise SIGPIPE, whose default action ends the whole
    // server process: here the write fails with EPIPE instead, and the loss
    // is handled as any other.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    static_cast<WebSocketClient *>(client)->RunEventLoop();
    return nullptr;
}

void WebSocketClient::WakeCallback(evutil_socket_t, short, void *arg) {
    event_base_loopbreak(static_cast<WebSocketClient *>(arg)->m_EventBase);
}

bool WebSocketClient::PostEvent(Event *event) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_EventQueue.push_back(event);
    if (m_Waiting) {
        // An activated event, unlike a bare loopbreak, cannot be lost when it
        // lands just before the loop thread enters its dispatch.
        if (m_WakeEvent) {
            event_active(m_WakeEvent.get(), EV_READ, 0);
        } else if (event_base_loopbreak(m_EventBase) != 0) {
            return false;
        }
    }
    return true;
}

bool WebSocketClient::Shutdown(bool wait) {
    if (!m_Thread.joinable()) {
        return false;
    }
    if (!m_Running) {
        WaitForReady();
    }
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Shut down WS client");
    bool hasBase;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        hasBase = m_EventBase != nullptr;
    }
    if (hasBase) {
        PostEvent(new ShutdownEvent(this));
    }
    if (wait) {
        WaitForShutdown();
    }
    return true;
}

void WebSocketClient::WaitForReady() {
    for (int attempt = 0; attempt < 5 && !m_Running; ++attempt) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "Wait for HTTP client event loop to start, attempt #%d", attempt);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
}

void WebSocketClient::WaitForShutdown() {
    if (m_Thread.joinable()) {
        m_Thread.join();
    }
    Cleanup();
}

void WebSocketClient::Cleanup() {
    std::deque<Event *> events;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        events.swap(m_EventQueue);
    }
    for (Event *e : events) {
        delete e;
    }
}

void WebSocketClient::ProcessShutdown() {
    if (m_AuthClient && m_AuthClient->IsInProgress()) {
        m_AuthClient->Cancel();
    }
    m_Running = false;
}

void WebSocketClient::InitAuth() {
    if (m_AuthClient) {
        m_AuthClient->RetrieveToken(nullptr);
    }
}

void WebSocketClient::CloseWhenFlushed(BuffereventPtr bev) {
    if (!bev) {
        return;
    }
    if (evbuffer_get_length(bufferevent_get_output(bev.get())) == 0) {
        SendTlsCloseNotify(bev.get());
        return;
    }
    bufferevent *b = bev.get();
    m_Lingering[b] = std::move(bev);
    bufferevent_setcb(b, nullptr, LingerWriteCallback, LingerEventCallback, this);
    timeval tv = {kLingerSeconds, 0};
    bufferevent_set_timeouts(b, &tv, &tv);
    bufferevent_enable(b, EV_WRITE);
    bufferevent_disable(b, EV_READ);
}

void WebSocketClient::LingerWriteCallback(bufferevent *bev, void *arg) {
    if (evbuffer_get_length(bufferevent_get_output(bev)) == 0) {
        SendTlsCloseNotify(bev);
        static_cast<WebSocketClient *>(arg)->FreeLingering(bev);
    }
}

void WebSocketClient::LingerEventCallback(bufferevent *bev, short, void *arg) {
    static_cast<WebSocketClient *>(arg)->FreeLingering(bev);
}

void WebSocketClient::FreeLingering(bufferevent *bev) { m_Lingering.erase(bev); }

void WebSocketClient::RunTeardownPasses(event_base *base) {
    for (int pass = 0; pass < kTeardownPasses; ++pass) {
        event_base_loop(base, EVLOOP_NONBLOCK);
    }
}

void WebSocketClient::RunEventLoop() {
    std::string error;
    m_SslContext = CreateTlsClientContext(m_TlsSettings, error);
    if (!m_SslContext) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "Failed to initialize OpenSSL context");
    } else if (!error.empty()) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "Failed to load TLS CA file [%s]: %s; server certificates cannot be verified",
                m_TlsSettings.m_CaFile.c_str(), error.c_str());
    }
    if (!m_TlsSettings.m_Verify) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "TLS server certificate verification is disabled (tls-verify false)");
    }

    EventBasePtr base(event_base_new());
    if (!base) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to initialize event base");
        m_SslContext.reset();
        return;
    }
    if (evthread_make_base_notifiable(base.get()) != 0) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "Failed to make event base notifiable");
    }
    m_DnsBase.reset(
        evdns_base_new(base.get(), m_NameServer.empty() ? EVDNS_BASE_INITIALIZE_NAMESERVERS : 0));
    if (!m_DnsBase) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "Failed to initialize async DNS event base");
    } else if (!m_NameServer.empty() &&
               evdns_base_nameserver_ip_add(m_DnsBase.get(), m_NameServer.c_str()) != 0) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to add name server [%s]",
                m_NameServer.c_str());
    }
    // The token endpoint is resolved through the same asynchronous resolver
    // as the service: a blocking lookup would stall every connection's audio.
    m_AuthClient.reset(
        new AuthClient("Koral", m_AuthSettings, base.get(), m_DnsBase.get(), m_SslContext.get()));
    m_WakeEvent.reset(event_new(base.get(), -1, EV_PERSIST, WakeCallback, this));
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_EventBase = base.get();
    }

    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Start HTTP client event loop");
    m_Running = true;
    if (m_Observer) {
        m_Observer->OnStart(this);
    }

    while (m_Running) {
        Event *event = nullptr;
        {
            std::unique_lock<std::mutex> lock(m_Mutex);
            if (m_EventQueue.empty()) {
                m_Waiting = true;
                lock.unlock();
                event_base_loop(base.get(), EVLOOP_NO_EXIT_ON_EMPTY);
                lock.lock();
                m_Waiting = false;
                if (m_EventQueue.empty()) {
                    continue;
                }
            }
            event = m_EventQueue.front();
            m_EventQueue.pop_front();
        }
        event->Process();
        delete event;
    }

    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Ended HTTP client event loop");
    if (m_Observer) {
        m_Observer->OnShutdown(this);
    }
    // The order matters and is kept explicit: the token client and the
    // lingering sockets first; cancelled lookups release what they hold in a
    // callback that still uses the resolver, and freed bufferevents take
    // their last steps, on the loop's next passes: those run first. Then the
    // resolver goes, failing the lookups still in flight (their owners are
    // told), which again happens on the passes after; then the base goes,
    // and the TLS context last.
    m_AuthClient.reset();
    m_Lingering.clear();
    RunTeardownPasses(base.get());
    m_DnsBase.reset();
    RunTeardownPasses(base.get());
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_EventBase = nullptr;
    }
    m_WakeEvent.reset();
    base.reset();
    m_SslContext.reset();
}

}  // namespace KORAL
