// Audio for tests, made at test time and never stored: speech synthesised
// with flite (voice kal16 unless asked for another) or espeak-ng and converted
// by sox to 16-bit mono at the rate asked for, without dither (sox -D: dither noise trips speech
// detectors), plus silence, tones, noise and WAV helpers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace KoralTest {

using Samples = std::vector<int16_t>;

enum class Voice { FliteKal16, FliteSlt, FliteAwb, FliteRms, EspeakNg };

// Speaks `text` and returns its samples at `rate` Hz. False (with `error`)
// when the synthesiser or sox is missing or fails.
bool Synthesize(const std::string &text, int rate, Samples &samples, std::string *error = nullptr,
                Voice voice = Voice::FliteKal16);

// `samples` at `from` Hz converted by sox to `to` Hz, without dither. Down
// and back up again (16000, 8000, 16000) gives a telephone line's band.
bool Resample(const Samples &samples, int from, int to, Samples &out, std::string *error = nullptr);

// Digital silence.
Samples Silence(int ms, int rate);
// A sine tone (amplitude 0..1 of full scale).
Samples Tone(int ms, int rate, double hz, double amplitude);
// White noise from sox, without dither (amplitude 0..1 of full scale).
bool Noise(int ms, int rate, double amplitude, Samples &samples, std::string *error = nullptr);

// Concatenation.
Samples Join(const std::vector<Samples> &parts);

// Splits into chunks of `ms` (the last may be shorter).
std::vector<Samples> Chunks(const Samples &samples, int rate, int ms);

// 16-bit mono PCM WAV files.
bool ReadWav(const std::string &path, Samples &samples, int &rate, std::string *error = nullptr);
bool WriteWav(const std::string &path, const Samples &samples, int rate);

// The 44-byte header of a 16-bit mono PCM stream, sizes 0 (unknown), as the
// first audio message of a service turn carries it.
std::string StreamWavHeader(int rate);

// Little-endian bytes of the samples.
std::string PcmBytes(const Samples &samples);

}  // namespace KoralTest
