// Reader of RIFF/WAVE files holding 16-bit linear PCM.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vantor {

struct WavAudio {
    unsigned sampling_rate = 0;
    unsigned channel_count = 0;
    std::vector<int16_t> samples;  // host byte order, interleaved
};

// Reads a 16-bit PCM WAV file (format 1, or WAVE_FORMAT_EXTENSIBLE with PCM).
// False with a reason in *error for any other file or one that cannot be read
// (the reason does not name the file: the caller does).
bool ReadWavFile(const std::string &path, WavAudio *audio, std::string *error);
// The same from bytes in memory.
bool ParseWav(const std::vector<uint8_t> &bytes, WavAudio *audio, std::string *error);

}  // namespace vantor
