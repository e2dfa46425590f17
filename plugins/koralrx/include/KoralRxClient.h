// The speech service client: one thread running a libevent loop on which
// every socket, timer, DNS lookup and TLS session of the service
// connections and of the access-token client lives. Other threads only
// post commands (KORAL::Event) to its queue.
#pragma once

#include <apr_pools.h>
#include <event2/bufferevent.h>
#include <event2/dns.h>
#include <event2/event.h>
#include <openssl/ssl.h>

#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "KoralRxAuth.h"
#include "KoralRxClientEvents.h"
#include "KoralRxNetHandles.h"
#include "KoralRxNetTls.h"

namespace KORAL {

// libevent's log callback: the message goes to the host log verbatim, at the
// priority matching libevent's severity.
void EventLogCallback(int severity, const char *message);

class WebSocketClient {
  public:
    class Observer {
      public:
        virtual ~Observer() {}
        // On the loop thread once the loop is up, before the first event.
        virtual bool OnStart(WebSocketClient *client) { return true; }
        // On the loop thread after the loop ended, before its objects go.
        virtual void OnShutdown(WebSocketClient *client) {}
    };

    WebSocketClient(const std::string &name, bool debugLogging);
    virtual ~WebSocketClient();

    WebSocketClient(const WebSocketClient &) = delete;
    WebSocketClient &operator=(const WebSocketClient &) = delete;

    void SetObserver(Observer *observer) { m_Observer = observer; }

    // Creates the loop thread. `pool` is the owner's; the thread and the
    // queue lock are the client's own.
    bool Start(apr_pool_t *pool);
    // Any thread. The event is queued in every case; false only when the
    // loop could not be woken.
    bool PostEvent(Event *event);
    bool Shutdown(bool wait);
    void WaitForReady();
    void WaitForShutdown();
    void Cleanup();

    // Loop thread, from the client's events.
    void ProcessShutdown();
    void InitAuth();

    // Loop thread: frees `bev` once what it still has to send is written (or
    // after kLingerSeconds, or when the loop ends), so that a last message
    // is not cut off by closing right after it; a TLS session that could
    // write it all ends with close_notify.
    void CloseWhenFlushed(BuffereventPtr bev);
    static const int kLingerSeconds = 2;

    const std::string &GetName() const { return m_Name; }
    event_base *GetEventBase() const { return m_EventBase; }
    evdns_base *GetDnsBase() const { return m_DnsBase.get(); }
    SSL_CTX *GetSslContext() const { return m_SslContext.get(); }
    AuthClient *GetAuthClient() const { return m_AuthClient.get(); }
    bool IsRunning() const { return m_Running; }

  private:
    static void *ProviderFunc(void *client);
    static void WakeCallback(evutil_socket_t, short, void *arg);
    static void LingerWriteCallback(bufferevent *bev, void *arg);
    static void LingerEventCallback(bufferevent *bev, short events, void *arg);
    void FreeLingering(bufferevent *bev);
    void RunEventLoop();
    static void RunTeardownPasses(event_base *base);

    std::string m_Name;
    Observer *m_Observer;
    std::thread m_Thread;
    std::mutex m_Mutex;
    std::deque<Event *> m_EventQueue;
    bool m_Waiting;
    std::atomic<bool> m_Running;
    // The loop's base, owned by the loop thread for its lifetime; this is a
    // view of it (under m_Mutex) for the posting threads and the accessors.
    event_base *m_EventBase;
    EvdnsBasePtr m_DnsBase;
    SslCtxPtr m_SslContext;
    EventPtr m_WakeEvent;
    std::map<bufferevent *, BuffereventPtr> m_Lingering;

  public:
    // Filled by the owner before Start.
    AuthClient::Settings m_AuthSettings;
    TlsSettings m_TlsSettings;
    // Seconds a connection waits for a turn's result once the end of its
    // audio is sent (see WebSocketConnection::ProcessStop); at least 1.
    int32_t m_ResultTimeout = 10;
    // Name server ("address[:port]") the resolver asks instead of the
    // system's configuration (resolv.conf and the hosts file); empty for the
    // system's.
    std::string m_NameServer;

  private:
    std::unique_ptr<AuthClient> m_AuthClient;
};

}  // namespace KORAL
