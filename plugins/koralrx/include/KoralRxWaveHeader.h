// The 44-byte RIFF/WAVE header of 16-bit mono linear PCM: plain bytes, shared
// by the recordings on disk and the audio stream sent to the speech service.
#pragma once

#include <cstddef>
#include <cstdint>

namespace KORAL {

// Size of the header; the audio data follows it.
const size_t kWaveHeaderSize = 44;
// Offsets of the two size fields (32-bit little-endian): the RIFF chunk size
// (36 + data size) and the data chunk size.
const size_t kWaveRiffSizeOffset = 4;
const size_t kWaveDataSizeOffset = 40;
// Most audio bytes a header can describe: the RIFF size must still fit in 32
// bits, and a sample is never cut in half.
const uint32_t kMaxWaveDataSize = (UINT32_MAX - 36) & ~1u;

// The header for `rate` Hz with both sizes 0 (length unknown, as while a
// file is open or for a stream) into `buffer` (at least 44 bytes); sets
// `size` to 44.
void PrepareWaveHeader(uint32_t rate, uint8_t *buffer, size_t &size);

// The two size fields of a header describing `data_size` audio bytes:
// `riff` receives 36 + data_size, `data` receives data_size (4 bytes each).
void EncodeWaveSizes(uint32_t data_size, uint8_t *riff, uint8_t *data);

}  // namespace KORAL
