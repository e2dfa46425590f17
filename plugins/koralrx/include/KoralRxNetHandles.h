// Owners of the libevent and OpenSSL objects the service client holds: each
// a move-only std::unique_ptr that frees its object with the library's own
// call, so that no early return or replaced handle can leak one.
//
// Where the order of freeing matters (the resolver before the TLS context
// and the event base at the end of the loop), the owner resets them
// explicitly in that order; these types only make sure nothing is left.
#pragma once

#include <event2/bufferevent.h>
#include <event2/dns.h>
#include <event2/event.h>
#include <event2/http.h>
#include <event2/util.h>
#include <openssl/ssl.h>

#include <memory>

namespace KORAL {

struct EventFree {
    // event_free also removes a pending event from its base.
    void operator()(event *e) const { event_free(e); }
};
struct EventBaseFree {
    void operator()(event_base *base) const { event_base_free(base); }
};
struct EvdnsBaseFree {
    // Lookups still in flight fail (their callbacks run): their owners are told.
    void operator()(evdns_base *dns) const { evdns_base_free(dns, 1); }
};
struct BuffereventFree {
    void operator()(bufferevent *bev) const { bufferevent_free(bev); }
};
struct EvhttpUriFree {
    void operator()(evhttp_uri *uri) const { evhttp_uri_free(uri); }
};
struct AddrInfoFree {
    void operator()(evutil_addrinfo *info) const { evutil_freeaddrinfo(info); }
};
struct SslCtxFree {
    void operator()(SSL_CTX *context) const { SSL_CTX_free(context); }
};
struct SslFree {
    void operator()(SSL *ssl) const { SSL_free(ssl); }
};

typedef std::unique_ptr<event, EventFree> EventPtr;
typedef std::unique_ptr<event_base, EventBaseFree> EventBasePtr;
typedef std::unique_ptr<evdns_base, EvdnsBaseFree> EvdnsBasePtr;
typedef std::unique_ptr<bufferevent, BuffereventFree> BuffereventPtr;
typedef std::unique_ptr<evhttp_uri, EvhttpUriFree> EvhttpUriPtr;
typedef std::unique_ptr<evutil_addrinfo, AddrInfoFree> AddrInfoPtr;
typedef std::unique_ptr<SSL_CTX, SslCtxFree> SslCtxPtr;
typedef std::unique_ptr<SSL, SslFree> SslPtr;

}  // namespace KORAL
