// The byte stream under a service connection and under the token request:
// a TCP connection made by host name (IPv4) directly or through an HTTP
// proxy's CONNECT tunnel, with TLS on top for https. Thin glue over
// libevent bufferevents; what the bytes mean is the owner's business.
//
// Host names are looked up by the transport itself through the loop's
// asynchronous resolver, so that closing the transport cancels a lookup in
// flight: a bufferevent's own lookup is not cancelled when the bufferevent
// is freed, and the two would keep each other alive for good. A numeric
// address is connected to without any lookup.
#pragma once

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/dns.h>
#include <event2/event.h>
#include <openssl/ssl.h>

#include <string>

#include "KoralRxNetHandles.h"

namespace KORAL {

class NetTransport {
  public:
    // Every call arrives on the loop thread from a libevent callback; the
    // owner may Close() the transport from within any of them.
    class Owner {
      public:
        virtual ~Owner() {}
        // An event on the proxy connection; on BEV_EVENT_CONNECTED the CONNECT
        // request has already been written.
        virtual void OnTransportProxyEvent(short events, const std::string &reason) = 0;
        // Bytes of the proxy's reply arrived.
        virtual void OnTransportProxyRead() {}
        // The proxy answered the CONNECT request with something other than 2xx.
        virtual void OnTransportProxyRefused(const std::string &statusLine) = 0;
        // The stream to the endpoint is up (after the TLS handshake for https).
        virtual void OnTransportConnected() = 0;
        virtual void OnTransportRead(evbuffer *input) = 0;
        virtual void OnTransportWrite() {}
        // End of stream, error or timeout on the endpoint's stream.
        virtual void OnTransportEvent(short events, const std::string &reason) = 0;
    };

    struct Target {
        bool m_Tls = false;
        std::string m_Host;
        int m_Port = -1;
        std::string m_ProxyHost;  // empty: direct
        int m_ProxyPort = -1;
    };

    enum OpenResult {
        OPEN_OK,
        OPEN_NO_TLS_CONTEXT,
        OPEN_NO_TLS_HANDLE,
        OPEN_NO_TLS_BUFFEREVENT,
        OPEN_NO_BUFFEREVENT,
        OPEN_CONNECT_FAILED
    };

    // Largest proxy reply head accepted before the tunnel is given up.
    static const size_t kMaxProxyReplySize = size_t{16} * 1024;

    explicit NetTransport(Owner *owner);
    ~NetTransport();

    NetTransport(const NetTransport &) = delete;
    NetTransport &operator=(const NetTransport &) = delete;

    // Starts connecting; the outcome arrives through the owner (a failed
    // lookup as an event with its reason), never from within this call.
    OpenResult Open(event_base *base, evdns_base *dns, SSL_CTX *context, const Target &target);

    // Read and write timeouts in seconds (covering the connect), 0 for none.
    void SetTimeouts(int seconds);

    // Cancels a lookup in flight and frees both bufferevents (the socket is
    // closed with them).
    void Close();
    // Gives up the established stream to the caller (null while tunnelling
    // or not connected, in which case everything is freed as by Close).
    BuffereventPtr Detach();

    bool IsOpen() const { return m_Bev != nullptr; }
    // The host name of the endpoint (or proxy) is still being looked up.
    bool IsResolving() const { return m_Lookup != nullptr; }
    // The stream to the endpoint is established (TLS handshake done).
    bool IsConnected() const { return m_Connected; }
    bufferevent *Bev() const { return m_Bev.get(); }
    evbuffer *Output() const { return m_Bev ? bufferevent_get_output(m_Bev.get()) : nullptr; }

    // System error number seen with the last failure event (0 if none).
    int GetLastSocketError() const { return m_LastSocketError; }

    // Why an event with `events` happened, for log lines.
    std::string DescribeFailure(bufferevent *bev, short events, int socketError) const;

  private:
    struct Lookup;

    static void ReadCallback(bufferevent *bev, void *arg);
    static void WriteCallback(bufferevent *bev, void *arg);
    static void EventCallback(bufferevent *bev, short events, void *arg);
    static void ProxyReadCallback(bufferevent *bev, void *arg);
    static void ProxyEventCallback(bufferevent *bev, short events, void *arg);

    void ProxyReceive(bufferevent *bev);
    void ProcessProxyEvents(bufferevent *bev, short events);
    bool TakeOverTunnel();
    static void FreeBufferevent(BuffereventPtr &bev, bool closeSocket);
    static void LookupCallback(int result, evutil_addrinfo *answer, void *arg);
    void OnLookup(int result, AddrInfoPtr answer);
    void CancelLookup();
    void ReportFailure(const std::string &reason);

    Owner *m_Owner;
    Lookup *m_Lookup = nullptr;   // the name lookup in flight, if any
    BuffereventPtr m_Bev;         // the connecting stream (the proxy's while tunnelling)
    BuffereventPtr m_PendingBev;  // the endpoint's stream waiting for the tunnel
    bool m_Tunnelling = false;
    bool m_Tls = false;
    bool m_Connected = false;
    int m_Timeout = 0;
    int m_LastSocketError = 0;
    std::string m_Host;
    int m_Port = -1;
};

}  // namespace KORAL
