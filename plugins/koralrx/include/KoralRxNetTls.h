// TLS client context and handles for the service client's connections:
// server certificates are verified against a CA file or the system's trust
// store, and the peer's name (or IP address) is checked against the URI host.
#pragma once

#include <openssl/ssl.h>

#include <string>

#include "KoralRxNetHandles.h"

namespace KORAL {

struct TlsSettings {
    // CA bundle to trust instead of the system store; empty for the system store.
    std::string m_CaFile;
    // Verify the server's certificate and name.
    bool m_Verify = true;
};

// The client context (general client method) with the verification of
// `settings`; null on failure, with the reason in `error`. A CA file that
// cannot be loaded is reported in `error` but the context is still made:
// it then trusts nothing and every verified handshake fails.
SslCtxPtr CreateTlsClientContext(const TlsSettings &settings, std::string &error);

// A TLS handle for a connection to `host`: server name indication for host
// names, and host name or IP address verification when the context verifies.
SslPtr CreateTlsHandle(SSL_CTX *context, const std::string &host);

// Why the TLS session of `bev` failed: the certificate verification result,
// the OpenSSL errors queued on it, or `socketError` (errno) when a system
// call failed under it; empty when none tells anything.
std::string DescribeTlsFailure(bufferevent *bev, int socketError);

// Sends the TLS close_notify of `bev`'s session, if it is a TLS session that
// stands and has not sent one, without waiting for the peer's: the socket
// is closed right after. Its output must have gone out first. Never blocks;
// a socket that cannot take the alert just goes without it.
void SendTlsCloseNotify(bufferevent *bev);

// Whether `host` is a literal IPv4 or IPv6 address.
bool IsIpLiteral(const std::string &host);

}  // namespace KORAL
