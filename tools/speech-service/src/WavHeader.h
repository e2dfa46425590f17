// The RIFF/WAVE header that leads the first audio message of a turn.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace SpeechService {

struct WavFormat {
    uint16_t m_FormatTag = 0;  // 1 = PCM
    uint16_t m_Channels = 0;
    uint32_t m_SampleRate = 0;
    uint16_t m_BitsPerSample = 0;
    size_t m_DataOffset = 0;  // where the samples start in the parsed bytes
};

// True if `data` starts with "RIFF".
bool HasRiffHeader(std::string_view data);

// Reads the RIFF/WAVE chunks up to the start of the "data" chunk. A stream
// header has 0 (or 0xFFFFFFFF) as its sizes; everything after the data
// chunk header is audio. Returns false with a reason when malformed.
bool ParseWavHeader(std::string_view data, WavFormat &format, std::string &error);

// True for 16-bit mono PCM.
bool IsPcm16Mono(const WavFormat &format);

}  // namespace SpeechService
