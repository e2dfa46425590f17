#include "KoralTest/Spectrum.h"

#include <cmath>
#include <complex>
#include <vector>

namespace KoralTest {

namespace {

double BesselI0(double x) {
    double sum = 1, term = 1;
    for (int k = 1; term > sum * 1e-17; ++k) {
        term *= (x / 2) * (x / 2) / (static_cast<double>(k) * k);
        sum += term;
    }
    return sum;
}

}  // namespace

double ToneAmplitude(const double *samples, size_t len, double rate, double hz) {
    if (len < 2) return 0;
    const double beta = 20.0;
    const double norm = BesselI0(beta);
    const std::complex<double> turn = std::polar(1.0, -2 * M_PI * hz / rate);
    std::complex<double> acc = 0, phase = 1;
    double weights = 0;
    for (size_t n = 0; n < len; ++n) {
        const double r = 2.0 * n / (len - 1) - 1.0;
        const double w = BesselI0(beta * std::sqrt(std::fmax(0.0, 1 - r * r))) / norm;
        acc += w * samples[n] * phase;
        weights += w;
        // Exact phase now and then, so rounding does not build up.
        phase = n % 1024 == 1023 ? std::polar(1.0, -2 * M_PI * hz * double(n + 1) / rate)
                                 : phase * turn;
    }
    return 2 * std::abs(acc) / weights;
}

double Decibels(double a, double b) { return a <= 0 ? -400.0 : 20 * std::log10(a / b); }

}  // namespace KoralTest
