// WebSocket frames built byte by byte (RFC 6455 section 5.2), for tests that
// put exactly these bytes on the wire or feed them to a decoder.
#pragma once

#include <cstdint>
#include <string>

namespace KoralTest {

enum WsOpcode : uint8_t {
    kWsContinuation = 0x0,
    kWsText = 0x1,
    kWsBinary = 0x2,
    kWsClose = 0x8,
    kWsPing = 0x9,
    kWsPong = 0xA
};

// One frame: FIN and opcode, the shortest length form, then the payload,
// masked with the 4 bytes of `key` when given (as a client must) or as is
// (as a server does).
inline std::string WsFrameBytes(uint8_t opcode, const std::string &payload, bool fin = true,
                                const uint8_t *key = nullptr) {
    std::string out;
    out += static_cast<char>((fin ? 0x80 : 0) | (opcode & 0x0F));
    const uint8_t mask = key ? 0x80 : 0;
    const uint64_t n = payload.size();
    if (n <= 125) {
        out += static_cast<char>(mask | n);
    } else if (n <= 0xFFFF) {
        out += static_cast<char>(mask | 126);
        out += static_cast<char>(n >> 8);
        out += static_cast<char>(n & 0xFF);
    } else {
        out += static_cast<char>(mask | 127);
        for (int shift = 56; shift >= 0; shift -= 8) out += static_cast<char>((n >> shift) & 0xFF);
    }
    if (key) out.append(reinterpret_cast<const char *>(key), 4);
    for (size_t i = 0; i < n; ++i)
        out += static_cast<char>(static_cast<uint8_t>(payload[i]) ^ (key ? key[i & 3] : 0));
    return out;
}

}  // namespace KoralTest
