// The binary audio message of the speech service (2-byte big-endian header
// length, header block, optional WAV header, audio) written as one masked
// WebSocket frame straight into a caller's buffer: the audio is copied once,
// masked on the way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "KoralRxWaveHeader.h"

namespace KORAL {

struct BinaryMessage {
    const std::string *m_Header = nullptr;  // header block without the empty line
    const uint8_t *m_Wave = nullptr;        // WAV header (KoralRxWaveHeader.h) or null
    size_t m_WaveSize = 0;
    const uint8_t *m_Audio = nullptr;
    size_t m_AudioSize = 0;

    // Length of the message (the frame's payload).
    size_t Size() const { return 2 + m_Header->size() + m_WaveSize + m_AudioSize; }
};

// Size of the whole frame carrying `message`.
size_t BinaryFrameSize(const BinaryMessage &message);

// Writes the masked binary frame of `message` into `out` (BinaryFrameSize
// bytes) with masking key `key`; returns the bytes written.
size_t WriteBinaryFrame(uint8_t *out, const BinaryMessage &message, const uint8_t *key);

}  // namespace KORAL
