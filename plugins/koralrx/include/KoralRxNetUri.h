// What the service and token clients take from a parsed URI: scheme, host,
// port with its default, and the request target.
#pragma once

#include <event2/http.h>

#include <string>

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

// The URI's path ("/" when empty) followed by "?" and its query, if any.
std::string GetRequestTarget(const evhttp_uri *uri);

}  // namespace KORAL
