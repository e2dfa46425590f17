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

void Put32(std::string &s, uint32_t v) {
    for (int i = 0; i < 4; ++i) s += static_cast<char>((v >> (8 * i)) & 0xff);
}

void Put16(std::string &s, uint16_t v) {
    s += static_cast<char>(v & 0xff);
    s += static_cast<char>(v >> 8);
}

std::string Header(int rate, uint32_t dataBytes, uint32_t riffSize) {
    std::string h = "RIFF";
    Put32(h, riffSize);
    h += "WAVEfmt ";
    Put32(h, 16);
    Put16(h, 1);
    Put16(h, 1);
    Put32(h, static_cast<uint32_t>(rate));
    Put32(h, static_cast<uint32_t>(rate) * 2);
    Put16(h, 2);
    Put16(h, 16);
    h += "data";
    Put32(h, dataBytes);
    return h;
}

uint32_t Le32(const std::string &d, size_t at) {
    return static_cast<uint32_t>(static_cast<unsigned char>(d[at])) |
           static_cast<uint32_t>(static_cast<unsigned char>(d[at + 1])) << 8 |
           static_cast<uint32_t>(static_cast<unsigned char>(d[at + 2])) << 16 |
           static_cast<uint32_t>(static_cast<unsigned char>(d[at + 3])) << 24;
}

uint16_t Le16(const std::string &d, size_t at) {
    return static_cast<uint16_t>(static_cast<unsigned char>(d[at]) |
                                 static_cast<unsigned char>(d[at + 1]) << 8);
}

bool Fail(std::string *error, const std::string &what) {
    if (error != nullptr) *error = what;
    return false;
}

// Converts any WAV to 16-bit mono at `rate` with sox, without dither.
bool Convert(const std::string &in, const std::string &out, int rate, std::string *error) {
    return RunProgram({"sox", "-D", in, "-r", std::to_string(rate), "-b", "16", "-c", "1", "-e",
                       "signed-integer", out},
                      error);
}

}  // namespace

bool Synthesize(const std::string &text, int rate, Samples &samples, std::string *error,
                Voice voice) {
    TempDir dir("koral-speech");
    if (dir.Path().empty()) return Fail(error, "cannot make a temporary folder");
    std::string raw = dir.File("voice.wav"), converted = dir.File("converted.wav");
    const char *flite = voice == Voice::FliteSlt   ? "slt"
                        : voice == Voice::FliteAwb ? "awb"
                        : voice == Voice::FliteRms ? "rms"
                                                   : "kal16";
    bool ok = voice == Voice::EspeakNg
                  ? RunProgram({"espeak-ng", "-w", raw, text}, error)
                  : RunProgram({"flite", "-voice", flite, "-t", text, "-o", raw}, error);
    if (!ok || !Convert(raw, converted, rate, error)) return false;
    int got = 0;
    if (!ReadWav(converted, samples, got, error)) return false;
    return got == rate || Fail(error, "sox produced the wrong rate");
}

bool Resample(const Samples &samples, int from, int to, Samples &out, std::string *error) {
    TempDir dir("koral-resample");
    if (dir.Path().empty()) return Fail(error, "cannot make a temporary folder");
    std::string in = dir.File("in.wav"), converted = dir.File("out.wav");
    if (!WriteWav(in, samples, from)) return Fail(error, "cannot write " + in);
    if (!Convert(in, converted, to, error)) return false;
    int got = 0;
    if (!ReadWav(converted, out, got, error)) return false;
    return got == to || Fail(error, "sox produced the wrong rate");
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
        uint32_t size = Le32(data, at + 4);
        if (id == "fmt " && at + 24 <= data.size()) {
            pcm16mono =
                Le16(data, at + 8) == 1 && Le16(data, at + 10) == 1 && Le16(data, at + 22) == 16;
            rate = static_cast<int>(Le32(data, at + 12));
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
    for (int16_t s : samples) {
        bytes += static_cast<char>(static_cast<uint16_t>(s) & 0xff);
        bytes += static_cast<char>(static_cast<uint16_t>(s) >> 8);
    }
    return bytes;
}

}  // namespace KoralTest
