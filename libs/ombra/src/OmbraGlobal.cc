#include "OmbraGlobal.h"

#include <apr_general.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>

namespace Ombra {

bool GlobalInit() {
    if (apr_initialize() != APR_SUCCESS) {
        apr_terminate();
        return false;
    }
    return true;
}

void GlobalDeinit() { apr_terminate(); }

bool InitSsl() {
    const uint64_t options = OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS |
                             OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS;
    return OPENSSL_init_ssl(options, nullptr) == 1;
}

void CleanupSsl() {
    // OpenSSL 1.1 and later free their tables at process exit; OPENSSL_cleanup
    // here would forbid any later re-initialisation in the same process.
    EVP_cleanup();
}

}  // namespace Ombra
