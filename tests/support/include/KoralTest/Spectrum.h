// Measuring audio in doubles: the amplitude of one frequency component,
// through a Kaiser window whose side lobes (about -190 dB) lie below anything
// a converter's stop band is asked for, so a -136 dB image beside a full-scale
// tone is measured, not masked.
#pragma once

#include <cstddef>

namespace KoralTest {

// Peak amplitude of the sinusoid at `hz` in `len` samples at `rate` Hz.
// Resolves components some 40 Hz apart or more when `len` is a second.
double ToneAmplitude(const double *samples, size_t len, double rate, double hz);

// 20 log10(a / b), floored at -400 dB for a zero `a`.
double Decibels(double a, double b);

}  // namespace KoralTest
