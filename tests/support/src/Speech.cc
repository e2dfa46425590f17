#include "KoralTest/Speech.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "KoralTest/Process.h"
#include "KoralTest/TempDir.h"

namespace KoralTest {

namespace {

// Little-endian integers of `bytes` bytes, written and read.
void Put(std::string &s, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) s += static_cast<char>((v >> (8 * i)) & 0xff);
}

uint32_t Le(const std::string &d, size_t at, int bytes) {
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(d[at + i]);
    return v;
}

std::string Header(int rate, uint32_t dataBytes, uint32_t riffSize) {
    std::string h = "RIFF";
    Put(h, riffSize, 4);
    h += "WAVEfmt ";
    Put(h, 16, 4);  // the fmt chunk's size
    Put(h, 1, 2);   // PCM
    Put(h, 1, 2);   // mono
    Put(h, static_cast<uint32_t>(rate), 4);
    Put(h, static_cast<uint32_t>(rate) * 2, 4);
    Put(h, 2, 2);
    Put(h, 16, 2);
    h += "data";
    Put(h, dataBytes, 4);
    return h;
}

bool Fail(std::string *error, const std::string &what) {
    if (error != nullptr) *error = what;
    return false;
}

// Converts any WAV to 16-bit mono at `rate` with sox, without dither, and
// reads the result.
bool ConvertAndRead(const TempDir &dir, const std::string &in, int rate, Samples &samples,
                    std::string *error) {
    std::string out = dir.File("converted.wav");
    int got = 0;
    if (!RunProgram({"sox", "-D", in, "-r", std::to_string(rate), "-b", "16", "-c", "1", "-e",
                     "signed-integer", out},
                    error) ||
        !ReadWav(out, samples, got, error))
        return false;
    return got == rate || Fail(error, "sox produced the wrong rate");
}

}  // namespace

bool Synthesize(const std::string &text, int rate, Samples &samples, std::string *error,
                Voice voice) {
    TempDir dir("koral-speech");
    if (dir.Path().empty()) return Fail(error, "cannot make a temporary folder");
    std::string raw = dir.File("voice.wav");
    const char *flite = voice == Voice::FliteSlt   ? "slt"
                        : voice == Voice::FliteAwb ? "awb"
                        : voice == Voice::FliteRms ? "rms"
                                                   : "kal16";
    bool ok = voice == Voice::EspeakNg
                  ? RunProgram({"espeak-ng", "-w", raw, text}, error)
                  : RunProgram({"flite", "-voice", flite, "-t", text, "-o", raw}, error);
    return ok && ConvertAndRead(dir, raw, rate, samples, error);
}

bool Resample(const Samples &samples, int from, int to, Samples &out, std::string *error) {
    TempDir dir("koral-resample");
    if (dir.Path().empty()) return Fail(error, "cannot make a temporary folder");
    std::string in = dir.File("in.wav");
    if (!WriteWav(in, samples, from)) return Fail(error, "cannot write " + in);
    return ConvertAndRead(dir, in, to, out, error);
}

Samples Silence(int ms, int rate) {
    return Samples(static_cast<size_t>(ms) * static_cast<size_t>(rate) / 1000, 0);
}

Samples Tone(int ms, int rate, double hz, double amplitude) {
    Samples s(static_cast<size_t>(ms) * static_cast<size_t>(rate) / 1000);
    const double pi = 3.14159265358979323846;
    for (size_t i = 0; i < s.size(); ++i) {
        s[i] = static_cast<int16_t>(
            std::lround(amplitude * 32767.0 * std::sin(2.0 * pi * hz * double(i) / rate)));
    }
    return s;
}

bool Noise(int ms, int rate, double amplitude, Samples &samples, std::string *error) {
    TempDir dir("koral-noise");
    std::string file = dir.File("noise.wav");
    char seconds[32], volume[32];
    std::snprintf(seconds, sizeof seconds, "%.3f", ms / 1000.0);
    std::snprintf(volume, sizeof volume, "%.3f", amplitude);
    if (!RunProgram({"sox", "-D", "-n", "-r", std::to_string(rate), "-b", "16", "-c", "1", file,
                     "synth", seconds, "whitenoise", "vol", volume},
                    error)) {
        return false;
    }
    int got = 0;
    return ReadWav(file, samples, got, error);
}

Samples Join(const std::vector<Samples> &parts) {
    Samples all;
    for (const Samples &p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

std::vector<Samples> Chunks(const Samples &samples, int rate, int ms) {
    size_t per = static_cast<size_t>(rate) * static_cast<size_t>(ms) / 1000;
    std::vector<Samples> chunks;
    for (size_t at = 0; at < samples.size(); at += per) {
        size_t end = std::min(samples.size(), at + per);
        chunks.emplace_back(samples.begin() + static_cast<std::ptrdiff_t>(at),
                            samples.begin() + static_cast<std::ptrdiff_t>(end));
    }
    return chunks;
}

bool ReadWav(const std::string &path, Samples &samples, int &rate, std::string *error) {
    std::string data;
    if (!ReadTextFile(path, data)) return Fail(error, "cannot read " + path);
    if (data.size() < 12 || data.compare(0, 4, "RIFF") != 0 || data.compare(8, 4, "WAVE") != 0) {
        return Fail(error, path + " is not a WAV file");
    }
    size_t at = 12;
    bool pcm16mono = false;
    while (at + 8 <= data.size()) {
        std::string id = data.substr(at, 4);
        uint32_t size = Le(data, at + 4, 4);
        if (id == "fmt " && at + 24 <= data.size()) {
            pcm16mono =
                Le(data, at + 8, 2) == 1 && Le(data, at + 10, 2) == 1 && Le(data, at + 22, 2) == 16;
            rate = static_cast<int>(Le(data, at + 12, 4));
        } else if (id == "data") {
            if (!pcm16mono) return Fail(error, path + " is not 16-bit mono PCM");
            size_t bytes = std::min<size_t>(size, data.size() - at - 8);
            samples.resize(bytes / 2);
            std::memcpy(samples.data(), data.data() + at + 8, samples.size() * 2);
            return true;
        }
        at += 8 + size + (size & 1);
    }
    return Fail(error, path + " has no data chunk");
}

bool WriteWav(const std::string &path, const Samples &samples, int rate) {
    uint32_t bytes = static_cast<uint32_t>(samples.size() * 2);
    std::string file = Header(rate, bytes, 36 + bytes) + PcmBytes(samples);
    return WriteTextFile(path, file);
}

std::string StreamWavHeader(int rate) { return Header(rate, 0, 0); }

std::string PcmBytes(const Samples &samples) {
    std::string bytes;
    bytes.reserve(samples.size() * 2);
    for (int16_t s : samples) Put(bytes, static_cast<uint16_t>(s), 2);
    return bytes;
}

}  // namespace KoralTest
