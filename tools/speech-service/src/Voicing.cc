#include "Voicing.h"

#include <cmath>

namespace SpeechService {

namespace {
constexpr size_t kMinLag = 40;   // 400 Hz
constexpr size_t kMaxLag = 320;  // 50 Hz
}  // namespace

double Periodicity(const int16_t *samples) {
    // Pre-emphasis whitens low-frequency noise (brown noise would otherwise
    // correlate at every lag) while keeping the pitch period of voiced speech.
    float x[kVoicingWindow];
    x[0] = 0.0f;
    for (size_t i = 1; i < kVoicingWindow; ++i) {
        x[i] = static_cast<float>(samples[i]) - 0.97f * static_cast<float>(samples[i - 1]);
    }
    // Prefix sums of energy for the normalisation of each lag.
    double energy[kVoicingWindow + 1];
    energy[0] = 0.0;
    for (size_t i = 0; i < kVoicingWindow; ++i) energy[i + 1] = energy[i] + double(x[i]) * x[i];
    if (energy[kVoicingWindow] <= 0.0) return 0.0;

    double best = 0.0;
    for (size_t lag = kMinLag; lag <= kMaxLag; ++lag) {
        size_t n = kVoicingWindow - lag;
        double dot = 0.0;
        for (size_t i = 0; i < n; ++i) dot += double(x[i]) * x[i + lag];
        double e1 = energy[n];
        double e2 = energy[kVoicingWindow] - energy[lag];
        if (e1 <= 0.0 || e2 <= 0.0) continue;
        double r = dot / std::sqrt(e1 * e2);
        if (r > best) best = r;
    }
    return best > 1.0 ? 1.0 : best;
}

}  // namespace SpeechService
