#include "KoralRxMessageAudio.h"

#include "KoralRxWsFrame.h"

namespace KORAL {

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
