#include "KoralRxWsFrame.h"

#include <openssl/rand.h>

#include <cstring>
#include <random>

namespace KORAL {
namespace WsFrame {

size_t HeaderSize(uint64_t length, bool masked) {
    size_t size = 2;
    if (length > 65535) {
        size += 8;
    } else if (length > 125) {
        size += 2;
    }
    return masked ? size + 4 : size;
}

size_t EncodeHeader(uint8_t *out, uint8_t opcode, uint64_t length, const uint8_t *key) {
    size_t n = 0;
    out[n++] = static_cast<uint8_t>(0x80 | (opcode & 0x0F));
    if (length <= 125) {
        out[n++] = static_cast<uint8_t>(0x80 | length);
    } else if (length <= 65535) {
        out[n++] = 0x80 | 126;
        out[n++] = static_cast<uint8_t>(length >> 8);
        out[n++] = static_cast<uint8_t>(length);
    } else {
        out[n++] = 0x80 | 127;
        for (int shift = 56; shift >= 0; shift -= 8) {
            out[n++] = static_cast<uint8_t>(length >> shift);
        }
    }
    memcpy(out + n, key, 4);
    return n + 4;
}

void MaskCopy(uint8_t *dst, const uint8_t *src, size_t n, const uint8_t *key, uint64_t offset) {
    // Rotate the key so that byte 0 of this piece meets key byte (offset mod 4),
    // then XOR eight bytes at a time.
    uint8_t k[8];
    for (size_t i = 0; i < 8; ++i) {
        k[i] = key[(offset + i) & 3];
    }
    uint64_t k64;
    memcpy(&k64, k, 8);
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t v;
        memcpy(&v, src + i, 8);
        v ^= k64;
        memcpy(dst + i, &v, 8);
    }
    for (; i < n; ++i) {
        dst[i] = src[i] ^ k[i & 7];
    }
}

void Encode(std::vector<uint8_t> &out, uint8_t opcode, const void *payload, size_t size,
            const uint8_t *key) {
    size_t start = out.size();
    size_t headerSize = HeaderSize(size, true);
    out.resize(start + headerSize + size);
    EncodeHeader(out.data() + start, opcode, size, key);
    if (size) {
        MaskCopy(out.data() + start + headerSize, static_cast<const uint8_t *>(payload), size, key,
                 0);
    }
}

void RandomMaskKey(uint8_t *key) {
    if (RAND_bytes(key, 4) == 1) {
        return;
    }
    // The generator can only fail when it cannot be seeded; a per-thread
    // engine seeded from the system still gives keys that vary per frame.
    thread_local std::mt19937 engine{std::random_device{}()};
    uint32_t v = engine();
    memcpy(key, &v, 4);
}

DecodeStatus DecodeHeader(const uint8_t *data, size_t size, uint64_t maxPayload, Header &header) {
    if (size < 2) {
        return DECODE_NEED_MORE;
    }
    header.m_Fin = (data[0] & 0x80) != 0;
    header.m_Opcode = data[0] & 0x0F;
    header.m_Masked = (data[1] & 0x80) != 0;
    uint64_t length = data[1] & 0x7F;
    size_t n = 2;
    if (length == 126) {
        if (size < 4) {
            return DECODE_NEED_MORE;
        }
        length = (static_cast<uint64_t>(data[2]) << 8) | data[3];
        n = 4;
    } else if (length == 127) {
        if (size < 10) {
            return DECODE_NEED_MORE;
        }
        length = 0;
        for (size_t i = 2; i < 10; ++i) {
            length = (length << 8) | data[i];
        }
        n = 10;
    }
    header.m_Length = length;
    if (length > maxPayload) {
        return DECODE_TOO_LARGE;
    }
    if (header.m_Masked) {
        if (size < n + 4) {
            return DECODE_NEED_MORE;
        }
        memcpy(header.m_Key, data + n, 4);
        n += 4;
    }
    header.m_HeaderSize = n;
    return DECODE_HEADER;
}

ReadStatus ReadFrame(const uint8_t *data, size_t size, uint64_t maxPayload, Header &header,
                     std::string &payload) {
    DecodeStatus status = DecodeHeader(data, size, maxPayload, header);
    if (status == DECODE_TOO_LARGE) {
        return READ_TOO_LARGE;
    }
    if (status == DECODE_NEED_MORE || size - header.m_HeaderSize < header.m_Length) {
        return READ_NEED_MORE;
    }
    size_t length = static_cast<size_t>(header.m_Length);
    payload.resize(length);
    if (length) {
        uint8_t *out = reinterpret_cast<uint8_t *>(&payload[0]);
        if (header.m_Masked) {
            MaskCopy(out, data + header.m_HeaderSize, length, header.m_Key, 0);
        } else {
            memcpy(out, data + header.m_HeaderSize, length);
        }
    }
    return READ_FRAME;
}

}  // namespace WsFrame
}  // namespace KORAL
