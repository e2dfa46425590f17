#include "Band.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <sstream>

#include "NarrowbandParams.h"

namespace SpeechService {

namespace {

constexpr size_t kFftSize = 256;                    // 62.5 Hz bins at 16 kHz
constexpr size_t kLowFirst = 4, kLowLast = 57;      // 250 to 3562 Hz
constexpr size_t kHighFirst = 71, kHighLast = 121;  // 4437 to 7562 Hz
// Converted 8 kHz speech keeps only rounding noise up there: about -80 dB
// for sox's conversion, -65 dB for quiet speech truncated by a converter.
// Wideband speech has more even from dull voices (flite's awb: -48 dB).
constexpr double kNarrowBelowDb = -56.0;

using Complex = std::complex<double>;

void Fft(Complex *x, size_t n) {
    for (size_t i = 1, j = 0; i < n; ++i) {
        size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(x[i], x[j]);
    }
    const double pi = 3.14159265358979323846;
    for (size_t len = 2; len <= n; len <<= 1) {
        Complex step = std::polar(1.0, -2.0 * pi / static_cast<double>(len));
        for (size_t i = 0; i < n; i += len) {
            Complex w(1.0);
            for (size_t k = 0; k < len / 2; ++k) {
                Complex a = x[i + k], b = x[i + k + len / 2] * w;
                x[i + k] = a + b;
                x[i + k + len / 2] = a - b;
                w *= step;
            }
        }
    }
}

// Blackman window: its side lobes (-58 dB) keep strong energy just below
// 4 kHz from leaking into the high band.
const std::vector<double> &Window(size_t n) {
    static const std::vector<double> window = [n] {
        std::vector<double> w(n);
        const double pi = 3.14159265358979323846;
        for (size_t i = 0; i < n; ++i) {
            double t = 2.0 * pi * static_cast<double>(i) / static_cast<double>(n - 1);
            w[i] = 0.42 - 0.5 * std::cos(t) + 0.08 * std::cos(2.0 * t);
        }
        return w;
    }();
    return window;
}

}  // namespace

const char *BandName(Band band) { return band == Band::Narrow ? "narrow" : "wide"; }

bool ParseBandMode(const std::string &text, BandMode &mode) {
    if (text == "auto") {
        mode = BandMode::Auto;
    } else if (text == "wide") {
        mode = BandMode::Wide;
    } else if (text == "narrow") {
        mode = BandMode::Narrow;
    } else {
        return false;
    }
    return true;
}

bool ParseBandProfile(const std::string &text, BandProfile &profile, std::string &error) {
    BandProfile parsed;
    std::istringstream lines(text);
    std::string line;
    int number = 0;
    while (std::getline(lines, line)) {
        ++number;
        size_t hash = line.find('#');
        if (hash != std::string::npos) line.resize(hash);
        std::istringstream words(line);
        std::string name, value, extra;
        if (!(words >> name)) continue;
        std::string where = "line " + std::to_string(number) + ": ";
        if (!(words >> value) || (words >> extra)) {
            error = where + name + " needs one value";
            return false;
        }
        if (name == "-cmninit") {
            std::istringstream numbers(value);
            std::string item;
            while (std::getline(numbers, item, ',')) {
                char *end = nullptr;
                float v = std::strtof(item.c_str(), &end);
                if (item.empty() || *end != '\0' || !std::isfinite(v)) {
                    error = where + "-cmninit needs numbers separated by commas";
                    return false;
                }
                parsed.m_InitialMean.push_back(v);
            }
        } else if (name == "-dither") {
            char *end = nullptr;
            double v = std::strtod(value.c_str(), &end);
            if (*end != '\0' || !(v >= 0.0 && v <= 1000.0)) {
                error = where + "-dither needs a number of LSB from 0 to 1000";
                return false;
            }
            parsed.m_DitherLsb = v;
        } else {
            error = where + "unknown setting " + name;
            return false;
        }
    }
    profile = parsed;
    return true;
}

const BandProfile &NarrowbandProfile() {
    static const BandProfile profile = [] {
        BandProfile p;
        std::string error;
        // The text is checked by the service's tests; a broken file decodes
        // narrowband turns with the model's own settings.
        if (!ParseBandProfile(kNarrowbandParams, p, error)) p = BandProfile();
        return p;
    }();
    return profile;
}

BandDetector::BandDetector(double thresholdDb, int decideAfterFrames)
    : m_ThresholdEnergy(32768.0 * 32768.0 * std::pow(10.0, thresholdDb / 10.0)),
      m_DecideAfter(decideAfterFrames < 1 ? 1 : decideAfterFrames) {}

void BandDetector::Frame(const int16_t *frame) {
    constexpr size_t kFrame = 160;
    double energy = 0.0;
    for (size_t i = 0; i < kFrame; ++i) energy += double(frame[i]) * frame[i];
    if (energy / kFrame <= m_ThresholdEnergy) return;
    const std::vector<double> &window = Window(kFrame);
    Complex x[kFftSize];
    for (size_t i = 0; i < kFftSize; ++i)
        x[i] = i < kFrame ? Complex(frame[i] * window[i], 0.0) : Complex(0.0);
    Fft(x, kFftSize);
    for (size_t k = kLowFirst; k <= kLowLast; ++k) m_Low += std::norm(x[k]);
    for (size_t k = kHighFirst; k <= kHighLast; ++k) m_High += std::norm(x[k]);
    ++m_Counted;
}

double BandDetector::HighBandDb() const {
    if (m_Low <= 0.0) return m_High > 0.0 ? 200.0 : 0.0;  // nothing a telephone line carries
    if (m_High <= 0.0) return -200.0;
    return std::max(-200.0, 10.0 * std::log10(m_High / m_Low));
}

Band BandDetector::Result() const {
    if (m_Counted == 0) return Band::Wide;
    return HighBandDb() < kNarrowBelowDb ? Band::Narrow : Band::Wide;
}

}  // namespace SpeechService
