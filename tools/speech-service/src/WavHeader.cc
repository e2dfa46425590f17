#include "WavHeader.h"

namespace SpeechService {

namespace {

uint32_t Le32(std::string_view d, size_t at) {
    return static_cast<uint32_t>(static_cast<unsigned char>(d[at])) |
           static_cast<uint32_t>(static_cast<unsigned char>(d[at + 1])) << 8 |
           static_cast<uint32_t>(static_cast<unsigned char>(d[at + 2])) << 16 |
           static_cast<uint32_t>(static_cast<unsigned char>(d[at + 3])) << 24;
}

uint16_t Le16(std::string_view d, size_t at) {
    return static_cast<uint16_t>(static_cast<unsigned char>(d[at]) |
                                 static_cast<unsigned char>(d[at + 1]) << 8);
}

}  // namespace

bool HasRiffHeader(std::string_view data) {
    return data.size() >= 4 && data.substr(0, 4) == "RIFF";
}

bool ParseWavHeader(std::string_view data, WavFormat &format, std::string &error) {
    format = WavFormat();
    if (data.size() < 12 || data.substr(0, 4) != "RIFF" || data.substr(8, 4) != "WAVE") {
        error = "no RIFF/WAVE header";
        return false;
    }
    size_t at = 12;
    bool haveFormat = false;
    while (at + 8 <= data.size()) {
        std::string_view id = data.substr(at, 4);
        uint32_t size = Le32(data, at + 4);
        if (id == "data") {
            if (!haveFormat) {
                error = "WAV data chunk before fmt chunk";
                return false;
            }
            format.m_DataOffset = at + 8;
            return true;
        }
        if (id == "fmt ") {
            if (size < 16 || at + 8 + 16 > data.size()) {
                error = "short WAV fmt chunk";
                return false;
            }
            format.m_FormatTag = Le16(data, at + 8);
            format.m_Channels = Le16(data, at + 10);
            format.m_SampleRate = Le32(data, at + 12);
            format.m_BitsPerSample = Le16(data, at + 22);
            haveFormat = true;
        }
        // Chunks are padded to an even size.
        uint64_t next = static_cast<uint64_t>(at) + 8 + size + (size & 1);
        if (next > data.size()) break;
        at = static_cast<size_t>(next);
    }
    error = "WAV header without data chunk";
    return false;
}

bool IsPcm16Mono(const WavFormat &format) {
    return format.m_FormatTag == 1 && format.m_Channels == 1 && format.m_BitsPerSample == 16;
}

}  // namespace SpeechService
