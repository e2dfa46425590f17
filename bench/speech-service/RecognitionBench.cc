// How fast and how well the service recognises: decoder load time and
// memory, accuracy and real-time factor (CPU time over audio time) of
// wideband and narrowband speech (8 kHz converted to 16 kHz, as telephone
// callers reach the service), and the endpointer's cost. Speech is
// synthesised with flite at start.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "Band.h"
#include "Endpointer.h"
#include "KoralTest/Speech.h"
#include "SphinxDecoder.h"

namespace {

using SpeechService::Band;
using SpeechService::DecoderSettings;
using SpeechService::SphinxDecoder;

// The first eight are a telephone menu's classics.
const char *const kPhrases[] = {"call home",         "check my account balance",
                                "yes please",        "speak to an agent",
                                "cancel my order",   "no thanks",
                                "main menu",         "repeat that",
                                "pay my bill",       "reset my password",
                                "where is my order", "talk to someone"};
constexpr size_t kClassics = 8;
const KoralTest::Voice kVoices[] = {KoralTest::Voice::FliteKal16, KoralTest::Voice::FliteSlt,
                                    KoralTest::Voice::FliteAwb, KoralTest::Voice::FliteRms};
const char *const kVoiceNames[] = {"kal16", "slt", "awb", "rms"};

DecoderSettings Settings() {
    DecoderSettings s;
    s.m_ModelDir = SPEECH_SERVICE_DEFAULT_MODEL_DIR;
    return s;
}

double RssMb() {
    std::ifstream f("/proc/self/status");
    std::string line;
    while (std::getline(f, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
    }
    return 0.0;
}

double CpuSeconds() {
    struct timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// A phrase with silence around it, at 16 kHz; narrowband: through 8 kHz.
const KoralTest::Samples &Phrase(const std::string &text, size_t voice = 0,
                                 Band band = Band::Wide) {
    static std::map<std::string, KoralTest::Samples> cache;
    std::string key = text + "/" + kVoiceNames[voice] + "/" + SpeechService::BandName(band);
    auto it = cache.find(key);
    if (it == cache.end()) {
        KoralTest::Samples speech, converted;
        KoralTest::Synthesize(text, band == Band::Narrow ? 8000 : 16000, speech, nullptr,
                              kVoices[voice]);
        if (band == Band::Narrow && KoralTest::Resample(speech, 8000, 16000, converted))
            speech.swap(converted);
        if (speech.empty()) return cache[key];
        it = cache
                 .emplace(key, KoralTest::Join({KoralTest::Silence(200, 16000), speech,
                                                KoralTest::Silence(700, 16000)}))
                 .first;
    }
    return it->second;
}

std::vector<std::string> Words(const std::string &text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

size_t EditDistance(const std::vector<std::string> &a, const std::vector<std::string> &b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            size_t next =
                std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = row[j];
            row[j] = next;
        }
    }
    return row[b.size()];
}

// One turn as the service decodes it: the endpointer finds the speech, the
// band detector picks the profile, and the decoder gets the
// speech from 200 ms before its start to the end of the end silence.
std::string DecodeTurn(SphinxDecoder &d, const KoralTest::Samples &audio, Band &band) {
    using SpeechService::kFrameSamples;
    SpeechService::Endpointer endpointer{SpeechService::EndpointerSettings{}};
    SpeechService::BandDetector detector(SpeechService::EndpointerSettings{}.m_ThresholdDb, 30);
    int64_t start = -1, end = static_cast<int64_t>(audio.size());
    for (size_t at = 0; at + kFrameSamples <= audio.size(); at += kFrameSamples) {
        SpeechService::EndpointEvent e = endpointer.ProcessFrame(audio.data() + at);
        if (e == SpeechService::EndpointEvent::SpeechStart) start = endpointer.SpeechStartSample();
        if (start >= 0 && static_cast<int64_t>(at) >= start && !detector.Decided())
            detector.Frame(audio.data() + at);
        if (e == SpeechService::EndpointEvent::SpeechEnd) {
            end = static_cast<int64_t>(at + kFrameSamples);
            break;
        }
    }
    if (start < 0) return std::string();
    band = detector.Result();
    int64_t from = std::max<int64_t>(0, start - 3200);
    d.Start(band == Band::Narrow ? SpeechService::NarrowbandProfile()
                                 : SpeechService::BandProfile());
    for (int64_t at = from; at < end; at += 1280) {
        d.Feed(audio.data() + at, static_cast<size_t>(std::min<int64_t>(1280, end - at)));
        benchmark::DoNotOptimize(d.Partial());
    }
    SpeechService::DecodeResult result;
    d.Finish(result);
    return result.m_Texts.empty() ? std::string() : result.m_Texts[0];
}

void BM_DecoderLoad(benchmark::State &state) {
    SphinxDecoder::QuietLibrary(false);
    std::vector<std::unique_ptr<SphinxDecoder>> kept;
    double before = RssMb();
    for (auto _ : state) {
        std::string error;
        auto d = SphinxDecoder::Create(Settings(), error);
        if (!d) state.SkipWithError(error.c_str());
        kept.push_back(std::move(d));
    }
    state.counters["MB_per_decoder"] = (RssMb() - before) / static_cast<double>(kept.size());
}
BENCHMARK(BM_DecoderLoad)->Iterations(3)->Unit(benchmark::kMillisecond);

// Every phrase in every voice, in one band: exact matches (of all phrases and
// of the eight classics, per voice), word error rate, real-time factor, and
// how often the service took the audio for the band it is.
void BM_Accuracy(benchmark::State &state, Band band) {
    SphinxDecoder::QuietLibrary(false);
    std::string error;
    auto d = SphinxDecoder::Create(Settings(), error);
    if (!d) {
        state.SkipWithError(error.c_str());
        return;
    }
    double cpu = 0.0, seconds = 0.0;
    size_t exact = 0, turns = 0, errors = 0, words = 0, bandRight = 0;
    std::vector<size_t> classics(std::size(kVoices), 0);
    std::string misses;
    for (auto _ : state) {
        exact = turns = errors = words = bandRight = 0;
        std::fill(classics.begin(), classics.end(), 0);
        misses.clear();
        for (size_t v = 0; v < std::size(kVoices); ++v) {
            for (size_t p = 0; p < std::size(kPhrases); ++p) {
                const KoralTest::Samples &audio = Phrase(kPhrases[p], v, band);
                if (audio.empty()) {
                    state.SkipWithError("no speech (flite or sox missing)");
                    return;
                }
                Band chosen = band;
                double before = CpuSeconds();
                std::string text = DecodeTurn(*d, audio, chosen);
                cpu += CpuSeconds() - before;
                seconds += static_cast<double>(audio.size()) / 16000.0;
                ++turns;
                bandRight += chosen == band;
                bool right = text == kPhrases[p];
                exact += right;
                if (p < kClassics) classics[v] += right;
                if (!right)
                    misses += std::string(" [") + kVoiceNames[v] + "] " + kPhrases[p] + " -> " +
                              text + ";";
                errors += EditDistance(Words(kPhrases[p]), Words(text));
                words += Words(kPhrases[p]).size();
            }
        }
    }
    state.counters["exact"] = static_cast<double>(exact);
    state.counters["of"] = static_cast<double>(turns);
    for (size_t v = 0; v < std::size(kVoices); ++v) {
        state.counters[std::string("classics_") + kVoiceNames[v]] =
            static_cast<double>(classics[v]);
    }
    state.counters["WER_pct"] =
        words > 0 ? 100.0 * static_cast<double>(errors) / static_cast<double>(words) : 0.0;
    state.counters["RTF"] = seconds > 0.0 ? cpu / seconds : 0.0;
    state.counters["band_right"] = static_cast<double>(bandRight);
    state.SetLabel(misses);
}
BENCHMARK_CAPTURE(BM_Accuracy, wide, Band::Wide)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Accuracy, narrow, Band::Narrow)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_Endpointer(benchmark::State &state) {
    const KoralTest::Samples &audio = Phrase("check my account balance");
    double cpu = 0.0, seconds = 0.0;
    for (auto _ : state) {
        double start = CpuSeconds();
        SpeechService::Endpointer e{SpeechService::EndpointerSettings{}};
        for (size_t at = 0; at + SpeechService::kFrameSamples <= audio.size();
             at += SpeechService::kFrameSamples) {
            benchmark::DoNotOptimize(e.ProcessFrame(audio.data() + at));
        }
        cpu += CpuSeconds() - start;
        seconds += static_cast<double>(audio.size()) / 16000.0;
    }
    state.counters["RTF"] = seconds > 0.0 ? cpu / seconds : 0.0;
}
BENCHMARK(BM_Endpointer)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
