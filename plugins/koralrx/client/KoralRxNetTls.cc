#include "KoralRxNetTls.h"

#include <arpa/inet.h>
#include <event2/bufferevent.h>
#include <event2/bufferevent_ssl.h>
#include <event2/util.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>

#include <cerrno>

namespace KORAL {

namespace {

std::string ErrorQueueText() {
    std::string text;
    unsigned long e;
    char buf[256];
    while ((e = ERR_get_error()) != 0) {
        ERR_error_string_n(e, buf, sizeof(buf));
        if (!text.empty()) {
            text += "; ";
        }
        text += buf;
    }
    return text;
}

}  // namespace

bool IsIpLiteral(const std::string &host) {
    unsigned char addr[16];
    return inet_pton(AF_INET, host.c_str(), addr) == 1 ||
           inet_pton(AF_INET6, host.c_str(), addr) == 1;
}

SslCtxPtr CreateTlsClientContext(const TlsSettings &settings, std::string &error) {
    ERR_clear_error();
    SslCtxPtr ctx(SSL_CTX_new(TLS_client_method()));
    if (!ctx) {
        error = ErrorQueueText();
        return nullptr;
    }
    if (!settings.m_Verify) {
        SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, nullptr);
        return ctx;
    }
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
    int ok = settings.m_CaFile.empty()
                 ? SSL_CTX_set_default_verify_paths(ctx.get())
                 : SSL_CTX_load_verify_locations(ctx.get(), settings.m_CaFile.c_str(), nullptr);
    if (ok != 1) {
        error = ErrorQueueText();
        if (error.empty()) {
            error = "no certificate could be loaded";
        }
    }
    return ctx;
}

SslPtr CreateTlsHandle(SSL_CTX *context, const std::string &host) {
    SslPtr ssl(SSL_new(context));
    if (!ssl) {
        return nullptr;
    }
    bool ip = IsIpLiteral(host);
    // Server name indication carries host names only; an address is not a name.
    if (!ip) {
        SSL_set_tlsext_host_name(ssl.get(), host.c_str());
    }
    if (SSL_CTX_get_verify_mode(context) & SSL_VERIFY_PEER) {
        int ok;
        if (ip) {
            ok = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl.get()), host.c_str());
        } else {
            SSL_set_hostflags(ssl.get(), X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
            ok = SSL_set1_host(ssl.get(), host.c_str());
        }
        if (ok != 1) {
            return nullptr;
        }
    }
    return ssl;
}

void SendTlsCloseNotify(bufferevent *bev) {
    SSL *ssl = bev ? bufferevent_openssl_get_ssl(bev) : nullptr;
    if (!ssl) {
        return;
    }
    // A session whose handshake never finished, or that failed, has nothing
    // to close (OpenSSL refuses then, too).
    if (SSL_is_init_finished(ssl) && !(SSL_get_shutdown(ssl) & SSL_SENT_SHUTDOWN)) {
        // 0: sent, the peer's not awaited; -1: the socket would block or is
        // gone. The client thread ignores SIGPIPE.
        SSL_shutdown(ssl);
    }
    // Nothing of it may be left for the next TLS call on this thread to read.
    ERR_clear_error();
}

std::string DescribeTlsFailure(bufferevent *bev, int socketError) {
    std::string text;
    SSL *ssl = bev ? bufferevent_openssl_get_ssl(bev) : nullptr;
    if (ssl) {
        long result = SSL_get_verify_result(ssl);
        if (result != X509_V_OK) {
            text = std::string("certificate verification failed: ") +
                   X509_verify_cert_error_string(result);
        }
    }
    unsigned long e;
    char buf[256];
    while (bev && (e = bufferevent_get_openssl_error(bev)) != 0) {
        if (ERR_GET_LIB(e) == 0) {
            // Not an OpenSSL error but SSL_get_error's code, queued by the
            // bufferevent: a failed system call says more as its errno.
            if (e == SSL_ERROR_SYSCALL && socketError != 0 && socketError != EAGAIN) {
                if (!text.empty()) {
                    text += "; ";
                }
                text += evutil_socket_error_to_string(socketError);
            }
            continue;
        }
        ERR_error_string_n(e, buf, sizeof(buf));
        if (!text.empty()) {
            text += "; ";
        }
        text += buf;
    }
    return text;
}

}  // namespace KORAL
