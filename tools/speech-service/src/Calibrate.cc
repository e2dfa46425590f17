// speech-service-calibrate: the initial cepstral mean of a kind of audio,
// measured with the service's own decoder front end over the stretches of
// audio the service would decode (its endpointer's speech with the context
// the service keeps before and after). calibrate-narrowband runs it over
// band-limited synthetic speech; see README.md.
//
//   speech-service-calibrate [--model-dir DIR] FILE.raw...
//
// Each file is 16-bit little-endian mono PCM at 16 kHz without a header.
// Prints "-cmninit c0,c1,..." (each file weighs the same) and, on stderr, the
// files it used.

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "Endpointer.h"
#include "SphinxDecoder.h"

namespace {

using SpeechService::Endpointer;
using SpeechService::EndpointEvent;
using SpeechService::kFrameSamples;

constexpr int64_t kBeforeSamples = 16000 / 5;  // as the service's preroll
constexpr int64_t kAfterSamples = 16000 / 2;   // as its default end silence

bool ReadRaw(const std::string &path, std::vector<int16_t> &samples) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    samples.resize(bytes.size() / 2);
    for (size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<int16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                          static_cast<unsigned char>(bytes[2 * i + 1]) << 8);
    }
    return true;
}

// The stretch the service would give its decoder; false without speech.
bool SpeechStretch(const std::vector<int16_t> &samples, int64_t &from, int64_t &to) {
    Endpointer endpointer{SpeechService::EndpointerSettings{}};
    int64_t start = -1, end = -1;
    for (size_t at = 0; at + kFrameSamples <= samples.size() && end < 0; at += kFrameSamples) {
        EndpointEvent e = endpointer.ProcessFrame(samples.data() + at);
        if (e == EndpointEvent::SpeechStart) start = endpointer.SpeechStartSample();
        if (e == EndpointEvent::SpeechEnd || e == EndpointEvent::SpeechCapped)
            end = endpointer.SpeechEndSample();
    }
    if (start < 0) return false;
    if (end < 0) end = static_cast<int64_t>(samples.size());
    from = std::max<int64_t>(0, start - kBeforeSamples);
    to = std::min<int64_t>(static_cast<int64_t>(samples.size()), end + kAfterSamples);
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    SpeechService::DecoderSettings settings;
    settings.m_ModelDir = SPEECH_SERVICE_DEFAULT_MODEL_DIR;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--model-dir" && i + 1 < argc) {
            settings.m_ModelDir = argv[++i];
        } else if (!a.empty() && a[0] == '-') {
            std::fprintf(stderr, "usage: speech-service-calibrate [--model-dir DIR] FILE.raw...\n");
            return 2;
        } else {
            files.push_back(a);
        }
    }
    SpeechService::SphinxDecoder::QuietLibrary(false);
    std::string error;
    auto decoder = SpeechService::SphinxDecoder::Create(settings, error);
    if (!decoder) {
        std::fprintf(stderr, "speech-service-calibrate: %s\n", error.c_str());
        return 1;
    }
    std::vector<double> total;
    size_t used = 0;
    for (const std::string &file : files) {
        std::vector<int16_t> samples;
        int64_t from = 0, to = 0;
        if (!ReadRaw(file, samples)) {
            std::fprintf(stderr, "speech-service-calibrate: cannot read %s\n", file.c_str());
            return 1;
        }
        std::vector<double> sum;
        size_t frames = 0;
        if (!SpeechStretch(samples, from, to) ||
            !decoder->SumCepstra(samples.data() + from, static_cast<size_t>(to - from), sum,
                                 frames) ||
            frames == 0) {
            std::fprintf(stderr, "speech-service-calibrate: no speech in %s, skipped\n",
                         file.c_str());
            continue;
        }
        total.resize(sum.size(), 0.0);
        for (size_t j = 0; j < sum.size(); ++j) total[j] += sum[j] / static_cast<double>(frames);
        ++used;
        std::fprintf(stderr, "%s: %zu frames\n", file.c_str(), frames);
    }
    if (used == 0) {
        std::fprintf(stderr, "speech-service-calibrate: no file held speech\n");
        return 1;
    }
    std::printf("-cmninit ");
    for (size_t j = 0; j < total.size(); ++j)
        std::printf(j == 0 ? "%.2f" : ",%.2f", total[j] / static_cast<double>(used));
    std::printf("\n");
    return 0;
}
