#include "KoralRxWsHandshake.h"

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>
#include <strings.h>

#include <cstring>
#include <random>

namespace KORAL {
namespace WsHandshake {

const char *const kOrigin = "https://speech.platform.bing.com";

std::string GenerateKey() {
    unsigned char raw[16];
    if (RAND_bytes(raw, sizeof(raw)) != 1) {
        std::random_device rd;
        for (unsigned char &b : raw) {
            b = static_cast<unsigned char>(rd());
        }
    }
    unsigned char encoded[32];
    int n = EVP_EncodeBlock(encoded, raw, sizeof(raw));
    return std::string(reinterpret_cast<char *>(encoded), static_cast<size_t>(n));
}

std::string ComposeUpgradeRequest(const std::string &uri, const std::string &host, int port,
                                  const std::string &key, const std::string &authorization,
                                  const std::string &connectionId) {
    std::string r;
    r.reserve(512 + uri.size() + authorization.size());
    r += "GET " + uri + " HTTP/1.1\r\n";
    r += "Host:" + host + ":" + std::to_string(port) + "\r\n";
    r += "Upgrade:websocket\r\n";
    r += "Connection:upgrade\r\n";
    r += "Sec-WebSocket-Key:" + key + "\r\n";
    r += "Sec-WebSocket-Version:13\r\n";
    r += "Authorization:" + authorization + "\r\n";
    r += "X-ConnectionId:" + connectionId + "\r\n";
    r += std::string("Origin:") + kOrigin + "\r\n";
    r += "\r\n";
    return r;
}

size_t FindHeadEnd(const char *data, size_t size) {
    static const char kEnd[] = "\r\n\r\n";
    if (size < 4) {
        return std::string::npos;
    }
    for (size_t i = 0; i + 4 <= size; ++i) {
        if (data[i] == '\r' && memcmp(data + i, kEnd, 4) == 0) {
            return i + 4;
        }
    }
    return std::string::npos;
}

bool IsUpgradeAccepted(const char *data, size_t size) {
    static const char kAccepted[] = "HTTP/1.1 101";
    const size_t n = sizeof(kAccepted) - 1;
    // The code ends there: "HTTP/1.1 1010" is no upgrade.
    return size >= n && strncasecmp(data, kAccepted, n) == 0 &&
           (size == n || data[n] == ' ' || data[n] == '\r' || data[n] == '\n');
}

std::string AcceptKey(const std::string &key) {
    static const char kGuid[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    std::string text = key + kGuid;
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char *>(text.data()), text.size(), digest);
    unsigned char encoded[32];
    int n = EVP_EncodeBlock(encoded, digest, sizeof(digest));
    return std::string(reinterpret_cast<char *>(encoded), static_cast<size_t>(n));
}

bool FindHeader(const char *data, size_t size, const std::string &name, std::string &value) {
    // Fields start after the status line; each ends at CR LF (or a bare LF).
    size_t pos = 0;
    while (pos < size && data[pos] != '\n') {
        ++pos;
    }
    while (++pos < size) {
        size_t end = pos;
        while (end < size && data[end] != '\n') {
            ++end;
        }
        size_t colon = pos;
        while (colon < end && data[colon] != ':') {
            ++colon;
        }
        if (colon < end && colon - pos == name.size() &&
            strncasecmp(data + pos, name.c_str(), name.size()) == 0) {
            size_t from = colon + 1;
            size_t to = end;
            while (from < to && (data[from] == ' ' || data[from] == '\t')) {
                ++from;
            }
            while (to > from &&
                   (data[to - 1] == ' ' || data[to - 1] == '\t' || data[to - 1] == '\r')) {
                --to;
            }
            value.assign(data + from, to - from);
            return true;
        }
        pos = end;
    }
    return false;
}

bool CheckAccept(const char *data, size_t size, const std::string &key, std::string &reason) {
    std::string accept;
    if (!FindHeader(data, size, "Sec-WebSocket-Accept", accept)) {
        reason = "no Sec-WebSocket-Accept";
        return false;
    }
    std::string expected = AcceptKey(key);
    if (accept != expected) {
        reason = "Sec-WebSocket-Accept [" + accept + "] does not answer the key sent (expected [" +
                 expected + "])";
        return false;
    }
    return true;
}

std::string ComposeProxyConnect(const std::string &host, int port) {
    std::string target = host + ":" + std::to_string(port);
    return "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n\r\n";
}

int StatusCode(const char *data, size_t size) {
    // "HTTP/" digit "." digit SP digit digit digit, all on the first line: a
    // line after it must not lend a status to a status line without one.
    size_t line = 0;
    while (line < size && data[line] != '\r' && data[line] != '\n') {
        ++line;
    }
    size = line;
    if (size < 12 || strncasecmp(data, "HTTP/", 5) != 0) {
        return 0;
    }
    size_t i = 5;
    while (i < size && data[i] != ' ') {
        ++i;
    }
    while (i < size && data[i] == ' ') {
        ++i;
    }
    if (i + 3 > size) {
        return 0;
    }
    int code = 0;
    for (size_t k = 0; k < 3; ++k) {
        char c = data[i + k];
        if (c < '0' || c > '9') {
            return 0;
        }
        code = code * 10 + (c - '0');
    }
    if (i + 3 < size && data[i + 3] != ' ' && data[i + 3] != '\r' && data[i + 3] != '\n') {
        return 0;
    }
    return code;
}

std::string FirstLine(const char *data, size_t size) {
    size_t n = 0;
    while (n < size && data[n] != '\r' && data[n] != '\n') {
        ++n;
    }
    return std::string(data, n);
}

}  // namespace WsHandshake
}  // namespace KORAL
