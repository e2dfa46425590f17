// Process-wide set-up and tear-down of the libraries the framework runs on.
#pragma once

namespace Ombra {

// Initialises APR (counted: each call needs one GlobalDeinit).
bool GlobalInit();
void GlobalDeinit();
// Initialises OpenSSL: the library, its algorithms and ciphers, and the
// error strings of both libssl and libcrypto.
bool InitSsl();
// Releases OpenSSL's algorithm tables.
void CleanupSsl();

}  // namespace Ombra
