// Converter output (doubles on the 16-bit scale) back to 16-bit PCM.
#pragma once

#include <cstddef>
#include <cstdint>

namespace KORAL {

// Truncated toward zero and held at the ends of the range: a filter's
// overshoot on a full-scale input would otherwise wrap into a click of the
// opposite sign. NaN gives 0.
inline int16_t ToPcm16(double value) {
    if (!(value == value)) return 0;
    if (value >= 32767.0) return 32767;
    if (value <= -32768.0) return -32768;
    return static_cast<int16_t>(value);
}

inline void ToPcm16(const double *in, size_t count, int16_t *out) {
    for (size_t i = 0; i < count; ++i) out[i] = ToPcm16(in[i]);
}

}  // namespace KORAL
