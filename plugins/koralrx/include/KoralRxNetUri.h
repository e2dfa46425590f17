// What the service and token clients take from a parsed URI: scheme, host,
// port with its default, and the request target.
#pragma once

#include <event2/http.h>

#include <string>

#include "KoralRxNetHandles.h"
#include "KoralRxNetTransport.h"

namespace KORAL {

enum UriCheck {
    URI_OK,
    URI_NO_SCHEME,       // the URI has no scheme
    URI_UNKNOWN_SCHEME,  // neither http nor https
    URI_NO_HOST
};

struct UriEndpoint {
    bool m_Tls = false;
    std::string m_Scheme;
    std::string m_Host;
    int m_Port = -1;
};

// Scheme (`scheme` when given, else the URI's), host and port (the URI's,
// else 443 for https and 80 for http), checked in that order.
UriCheck GetUriEndpoint(const evhttp_uri *uri, const char *scheme, UriEndpoint &endpoint);

// Host and port of a proxy URI; the port defaults to 443 when the endpoint
// behind it is https and 80 when it is http. False without a host.
bool GetProxyEndpoint(const evhttp_uri *proxy, bool tls, std::string &host, int &port);

enum TargetCheck {
    TARGET_OK,
    TARGET_MALFORMED_URI,
    TARGET_MALFORMED_PROXY_URI,
    TARGET_NO_SCHEME,
    TARGET_UNKNOWN_SCHEME,
    TARGET_NO_HOST,
    TARGET_NO_PROXY_HOST
};

// Where a connection goes: the endpoint URI and the proxy URI parsed, and
// the transport's target made of them.
struct ResolvedTarget {
    EvhttpUriPtr m_Uri;
    EvhttpUriPtr m_ProxyUri;  // null when direct
    std::string m_Scheme;     // the endpoint's scheme as written (for log lines)
    NetTransport::Target m_Target;
};

// Parses `uri` and, when not empty, `proxyUri`, and checks them in this
// order: both parse, the endpoint's scheme (http or https) and host, the
// proxy's host. On TARGET_OK `target` is complete; otherwise it holds what
// was read before the check that failed.
TargetCheck ResolveTarget(const std::string &uri, const std::string &proxyUri,
                          ResolvedTarget &target);

// The URI's path ("/" when empty) followed by "?" and its query, if any.
std::string GetRequestTarget(const evhttp_uri *uri);

}  // namespace KORAL
