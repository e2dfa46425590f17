#include "KoralRxWaveHeader.h"

namespace KORAL {

namespace {

const uint16_t kFormatPcm = 1;
const uint16_t kChannels = 1;
const uint16_t kBitsPerSample = 16;
const uint16_t kBlockAlign = kChannels * kBitsPerSample / 8;

void PutLe16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void PutLe32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// A chunk identifier: its ASCII bytes, without the literal's terminator.
template <size_t N>
void PutTag(uint8_t *p, const char (&tag)[N]) {
    for (size_t i = 0; i + 1 < N; ++i) p[i] = static_cast<uint8_t>(tag[i]);
}

}  // namespace

void PrepareWaveHeader(uint32_t rate, uint8_t *buffer, size_t &size) {
    PutTag(buffer, "RIFF");
    PutTag(buffer + 8, "WAVEfmt ");
    PutLe32(buffer + 16, 16);  // fmt chunk size
    PutLe16(buffer + 20, kFormatPcm);
    PutLe16(buffer + 22, kChannels);
    PutLe32(buffer + 24, rate);
    PutLe32(buffer + 28, rate * kBlockAlign);  // bytes per second
    PutLe16(buffer + 32, kBlockAlign);
    PutLe16(buffer + 34, kBitsPerSample);
    PutTag(buffer + 36, "data");
    // Both sizes 0: the length is not known yet.
    PutLe32(buffer + kWaveRiffSizeOffset, 0);
    PutLe32(buffer + kWaveDataSizeOffset, 0);
    size = kWaveHeaderSize;
}

void EncodeWaveSizes(uint32_t data_size, uint8_t *riff, uint8_t *data) {
    PutLe32(riff, data_size + 36);
    PutLe32(data, data_size);
}

}  // namespace KORAL
