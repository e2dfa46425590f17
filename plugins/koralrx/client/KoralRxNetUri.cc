#include "KoralRxNetUri.h"

#include <strings.h>

namespace KORAL {

UriCheck GetUriEndpoint(const evhttp_uri *uri, const char *scheme, UriEndpoint &endpoint) {
    if (!scheme) {
        scheme = evhttp_uri_get_scheme(uri);
    }
    if (!scheme || !*scheme) {
        return URI_NO_SCHEME;
    }
    endpoint.m_Scheme = scheme;
    if (strcasecmp(scheme, "https") == 0) {
        endpoint.m_Tls = true;
    } else if (strcasecmp(scheme, "http") == 0) {
        endpoint.m_Tls = false;
    } else {
        return URI_UNKNOWN_SCHEME;
    }
    const char *host = evhttp_uri_get_host(uri);
    if (!host || !*host) {
        return URI_NO_HOST;
    }
    endpoint.m_Host = host;
    int port = evhttp_uri_get_port(uri);
    endpoint.m_Port = port >= 0 ? port : (endpoint.m_Tls ? 443 : 80);
    return URI_OK;
}

bool GetProxyEndpoint(const evhttp_uri *proxy, bool tls, std::string &host, int &port) {
    const char *h = evhttp_uri_get_host(proxy);
    if (!h || !*h) {
        return false;
    }
    host = h;
    int p = evhttp_uri_get_port(proxy);
    port = p >= 0 ? p : (tls ? 443 : 80);
    return true;
}

std::string GetRequestTarget(const evhttp_uri *uri) {
    const char *path = evhttp_uri_get_path(uri);
    std::string target = (path && *path) ? path : "/";
    const char *query = evhttp_uri_get_query(uri);
    if (query) {
        target += "?";
        target += query;
    }
    return target;
}

}  // namespace KORAL
