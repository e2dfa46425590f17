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

TargetCheck ResolveTarget(const std::string &uri, const std::string &proxyUri,
                          ResolvedTarget &target) {
    target = ResolvedTarget();
    target.m_Uri.reset(evhttp_uri_parse(uri.c_str()));
    if (!target.m_Uri) {
        return TARGET_MALFORMED_URI;
    }
    if (!proxyUri.empty()) {
        target.m_ProxyUri.reset(evhttp_uri_parse(proxyUri.c_str()));
        if (!target.m_ProxyUri) {
            return TARGET_MALFORMED_PROXY_URI;
        }
    }
    UriEndpoint endpoint;
    UriCheck check = GetUriEndpoint(target.m_Uri.get(), nullptr, endpoint);
    target.m_Scheme = endpoint.m_Scheme;
    switch (check) {
        case URI_NO_SCHEME:
            return TARGET_NO_SCHEME;
        case URI_UNKNOWN_SCHEME:
            return TARGET_UNKNOWN_SCHEME;
        case URI_NO_HOST:
            return TARGET_NO_HOST;
        case URI_OK:
            break;
    }
    target.m_Target.m_Tls = endpoint.m_Tls;
    target.m_Target.m_Host = endpoint.m_Host;
    target.m_Target.m_Port = endpoint.m_Port;
    if (target.m_ProxyUri &&
        !GetProxyEndpoint(target.m_ProxyUri.get(), endpoint.m_Tls, target.m_Target.m_ProxyHost,
                          target.m_Target.m_ProxyPort)) {
        return TARGET_NO_PROXY_HOST;
    }
    return TARGET_OK;
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
