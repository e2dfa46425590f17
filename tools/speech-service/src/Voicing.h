// Periodicity of a short stretch of audio: the peak of the normalised
// autocorrelation of the pre-emphasised signal over pitch lags of 2.5 to
// 20 ms (50-400 Hz) at 16 kHz. Voiced speech and tones score high, noise low.
#pragma once

#include <cstddef>
#include <cstdint>

namespace SpeechService {

// Window the measure needs (40 ms at 16 kHz).
constexpr size_t kVoicingWindow = 640;

// `samples` holds kVoicingWindow samples. Returns 0.0 to 1.0.
double Periodicity(const int16_t *samples);

}  // namespace SpeechService
