// WebSocket frame codec: plain bytes in, bytes out. Outgoing frames are
// single, unfragmented and masked; incoming frames are read from contiguous
// bytes with a bound on the payload so that a hostile length is never
// buffered.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace KORAL {
namespace WsFrame {

enum Opcode : uint8_t {
    OPCODE_CONTINUATION = 0x0,
    OPCODE_TEXT = 0x1,
    OPCODE_BINARY = 0x2,
    OPCODE_CLOSE = 0x8,
    OPCODE_PING = 0x9,
    OPCODE_PONG = 0xA
};

// Largest frame header: 2 bytes, 8-byte length, 4-byte masking key.
const size_t kMaxHeaderSize = 14;
// Largest payload a received frame may announce (1 MiB).
const uint64_t kMaxReceivedPayload = uint64_t{1024} * 1024;
// Largest payload of a control frame (ping, pong, close), RFC 6455 5.5.
const size_t kMaxControlPayload = 125;

// Size of the header of a frame carrying `length` payload bytes.
size_t HeaderSize(uint64_t length, bool masked);

// Writes the header of a final frame with `opcode` and `length`, masked with
// `key` (4 bytes), into `out` (at least kMaxHeaderSize bytes); returns its size.
size_t EncodeHeader(uint8_t *out, uint8_t opcode, uint64_t length, const uint8_t *key);

// XORs `n` bytes of `src` into `dst` with `key`, as payload bytes starting at
// payload offset `offset` (so a payload can be masked piece by piece).
// `dst` may equal `src`.
void MaskCopy(uint8_t *dst, const uint8_t *src, size_t n, const uint8_t *key, uint64_t offset);

// A whole masked frame appended to `out`.
void Encode(std::vector<uint8_t> &out, uint8_t opcode, const void *payload, size_t size,
            const uint8_t *key);

// Four unpredictable bytes for a client masking key.
void RandomMaskKey(uint8_t *key);

struct Header {
    bool m_Fin = false;
    uint8_t m_Opcode = 0;
    bool m_Masked = false;
    uint8_t m_Key[4] = {0, 0, 0, 0};
    uint64_t m_Length = 0;
    size_t m_HeaderSize = 0;
};

enum DecodeStatus {
    DECODE_NEED_MORE,  // not enough bytes for the header
    DECODE_HEADER,     // header read; the frame is m_HeaderSize + m_Length bytes
    DECODE_TOO_LARGE   // announced payload above the bound
};

// Reads a frame header from the first `size` bytes.
DecodeStatus DecodeHeader(const uint8_t *data, size_t size, uint64_t maxPayload, Header &header);

// Reads the frame at the start of `data`: on READ_FRAME `payload` holds its
// unmasked payload and the frame spans m_HeaderSize + m_Length bytes.
enum ReadStatus { READ_NEED_MORE, READ_FRAME, READ_TOO_LARGE };
ReadStatus ReadFrame(const uint8_t *data, size_t size, uint64_t maxPayload, Header &header,
                     std::string &payload);

}  // namespace WsFrame
}  // namespace KORAL
