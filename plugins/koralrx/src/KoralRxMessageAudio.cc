#include "KoralRxMessageAudio.h"

#include <cstring>

#include "KoralRxWsFrame.h"

namespace KORAL {

namespace {

void PutLe16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void PutLe32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

}  // namespace

void PrepareStreamWaveHeader(uint32_t rate, uint8_t *buffer, size_t &size) {
    memcpy(buffer, "RIFF", 4);
    PutLe32(buffer + 4, 0);
    memcpy(buffer + 8, "WAVEfmt ", 8);
    PutLe32(buffer + 16, 16);
    PutLe16(buffer + 20, 1);
    PutLe16(buffer + 22, 1);
    PutLe32(buffer + 24, rate);
    PutLe32(buffer + 28, rate * 2);
    PutLe16(buffer + 32, 2);
    PutLe16(buffer + 34, 16);
    memcpy(buffer + 36, "data", 4);
    PutLe32(buffer + 40, 0);
    size = kWaveHeaderSize;
}

size_t BinaryFrameSize(const BinaryMessage &message) {
    size_t length = message.Size();
    return WsFrame::HeaderSize(length, true) + length;
}

size_t WriteBinaryFrame(uint8_t *out, const BinaryMessage &message, const uint8_t *key) {
    const size_t length = message.Size();
    size_t n = WsFrame::EncodeHeader(out, WsFrame::OPCODE_BINARY, length, key);
    uint64_t offset = 0;
    auto put = [&](const uint8_t *src, size_t size) {
        if (size) {
            WsFrame::MaskCopy(out + n, src, size, key, offset);
            n += size;
            offset += size;
        }
    };
    const uint16_t headerSize = static_cast<uint16_t>(message.m_Header->size());
    const uint8_t prefix[2] = {static_cast<uint8_t>(headerSize >> 8),
                               static_cast<uint8_t>(headerSize)};
    put(prefix, 2);
    put(reinterpret_cast<const uint8_t *>(message.m_Header->data()), message.m_Header->size());
    put(message.m_Wave, message.m_WaveSize);
    put(message.m_Audio, message.m_AudioSize);
    return n;
}

}  // namespace KORAL
