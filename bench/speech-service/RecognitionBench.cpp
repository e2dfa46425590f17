// How fast the service recognises: decoder load time and memory, the
// real-time factor of one utterance (CPU time over audio time), and the
// endpointer's cost. Speech is synthesised with flite at start.

#include <benchmark/benchmark.h>

#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <string>

#include "Endpointer.h"
#include "KoralTest/Speech.h"
#include "SphinxDecoder.h"

namespace {

using SpeechService::DecoderSettings;
using SpeechService::SphinxDecoder;

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

const KoralTest::Samples& Phrase(const std::string& text) {
  static std::map<std::string, KoralTest::Samples> cache;
  auto it = cache.find(text);
  if (it == cache.end()) {
    KoralTest::Samples speech;
    KoralTest::Synthesize(text, 16000, speech);
    it = cache.emplace(text, KoralTest::Join({KoralTest::Silence(200, 16000), speech, KoralTest::Silence(500, 16000)}))
             .first;
  }
  return it->second;
}

void BM_DecoderLoad(benchmark::State& state) {
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

void BM_RecognizeUtterance(benchmark::State& state, const char* text) {
  SphinxDecoder::QuietLibrary(false);
  std::string error;
  auto d = SphinxDecoder::Create(Settings(), error);
  if (!d) {
    state.SkipWithError(error.c_str());
    return;
  }
  const KoralTest::Samples& audio = Phrase(text);
  if (audio.empty()) {
    state.SkipWithError("no speech (flite or sox missing)");
    return;
  }
  double cpu = 0.0, seconds = 0.0;
  bool right = true;
  for (auto _ : state) {
    double start = CpuSeconds();
    d->Start();
    for (size_t at = 0; at < audio.size(); at += 1280) {
      d->Feed(audio.data() + at, std::min<size_t>(1280, audio.size() - at));
      benchmark::DoNotOptimize(d->Partial());
    }
    SpeechService::DecodeResult result;
    d->Finish(result);
    cpu += CpuSeconds() - start;
    seconds += static_cast<double>(audio.size()) / 16000.0;
    right = right && !result.m_Texts.empty() && result.m_Texts[0] == text;
  }
  state.counters["RTF"] = cpu / seconds;
  state.counters["correct"] = right ? 1 : 0;
}
BENCHMARK_CAPTURE(BM_RecognizeUtterance, call_home, "call home")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_RecognizeUtterance, check_balance, "check my account balance")->Unit(benchmark::kMillisecond);

void BM_Endpointer(benchmark::State& state) {
  const KoralTest::Samples& audio = Phrase("check my account balance");
  double cpu = 0.0, seconds = 0.0;
  for (auto _ : state) {
    double start = CpuSeconds();
    SpeechService::Endpointer e{SpeechService::EndpointerSettings{}};
    for (size_t at = 0; at + SpeechService::kFrameSamples <= audio.size(); at += SpeechService::kFrameSamples) {
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
