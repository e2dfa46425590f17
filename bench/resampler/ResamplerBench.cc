// 8000 -> 16000 Hz at a 2 % transition band and 136.45 dB, in the channel's
// 80 ms chunks: cost per 10 ms of input, the latency an impulse sees (input
// fed 1 ms at a time; from the impulse going in to its peak coming out), the
// hold-back in 80 ms chunks, and the measured pass-band ripple and stop-band
// rejection (images of tones across the band), for this converter and for
// libsoxr at its default DFT sizes and at the smallest it takes.
// Figures are printed first; Google Benchmark then times the chunks.
#include <benchmark/benchmark.h>
#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "KoralResampler.h"
#include "KoralTest/Spectrum.h"

namespace {

const int kInRate = 8000;
const int kOutRate = 16000;
const int kChunk = kInRate * 80 / 1000;  // 640 samples: 80 ms
const int kMaxIn = 3 * kChunk;           // the channel's input buffer
const double kTransitionBand = 2.0;
const double kAttenuation = 136.45;

// One converter behind one call: `n` input samples in, the output made
// available by them appended to `out`.
class Converter {
  public:
    virtual ~Converter() = default;
    virtual void Process(const double *in, int n, std::vector<double> &out) = 0;
};

class KoralConverter : public Converter {
  public:
    // `maxIn` as the channel sizes it: three chunks.
    explicit KoralConverter(int maxIn = kMaxIn)
        : m_Rs(KORAL::CreateResampler(kInRate, kOutRate, maxIn)) {}
    void Process(const double *in, int n, std::vector<double> &out) override {
        double *result = nullptr;
        const int got = m_Rs->process(const_cast<double *>(in), n, result);
        out.insert(out.end(), result, result + got);
    }

  private:
    std::unique_ptr<KORAL::Resampler> m_Rs;
};

struct SoxrSetup {
    unsigned minDft = 10, largeDft = 17;  // libsoxr's defaults
    unsigned long qualityFlags = 0;
};

class SoxrConverter : public Converter {
  public:
    explicit SoxrConverter(const SoxrSetup &setup) : m_Buffer(1 << 17) {
        soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT64_I, SOXR_FLOAT64_I);
        soxr_quality_spec_t quality = soxr_quality_spec(SOXR_VHQ, SOXR_LINEAR_PHASE);
        quality.precision = kAttenuation / (20 * std::log10(2.0));
        quality.passband_end = 1 - kTransitionBand / 100;
        quality.stopband_begin = 1;
        quality.flags |= setup.qualityFlags;
        soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
        runtime.log2_min_dft_size = setup.minDft;
        runtime.log2_large_dft_size = setup.largeDft;
        soxr_error_t error = nullptr;
        m_Soxr = soxr_create(kInRate, kOutRate, 1, &error, &io, &quality, &runtime);
        if (error) std::fprintf(stderr, "soxr_create: %s\n", error), m_Soxr = nullptr;
    }
    ~SoxrConverter() override { soxr_delete(m_Soxr); }
    bool Ok() const { return m_Soxr != nullptr; }
    void Process(const double *in, int n, std::vector<double> &out) override {
        size_t fed = 0;
        for (;;) {
            size_t used = 0, made = 0;
            soxr_process(m_Soxr, in + fed, n - fed, &used, m_Buffer.data(), m_Buffer.size(), &made);
            fed += used;
            out.insert(out.end(), m_Buffer.begin(), m_Buffer.begin() + made);
            if (fed == size_t(n) && made < m_Buffer.size()) break;
        }
    }

  private:
    soxr_t m_Soxr = nullptr;
    std::vector<double> m_Buffer;
};

using Factory = std::function<std::unique_ptr<Converter>()>;

struct Candidate {
    std::string name;
    Factory make;
};

std::vector<Candidate> Candidates() {
    SoxrSetup smallest;
    smallest.minDft = 8;
    smallest.largeDft = 8;
    return {{"koral", [] { return std::unique_ptr<Converter>(new KoralConverter); }},
            {"soxr-default-dft", [] { return std::unique_ptr<Converter>(new SoxrConverter({})); }},
            {"soxr-smallest-dft",
             [smallest] { return std::unique_ptr<Converter>(new SoxrConverter(smallest)); }},
            {"soxr-variable-rate", [] {
                 SoxrSetup vr;
                 vr.qualityFlags = SOXR_VR;
                 return std::unique_ptr<Converter>(new SoxrConverter(vr));
             }}};
}

// Latency seen by an impulse, input fed 1 ms at a time: from the impulse going
// in to its peak being available, the worst over several positions (a
// block-based converter's wait depends on where the impulse falls).
double ImpulseLatencyMs(const Factory &make) {
    double worst = 0;
    for (int k = 0; k < 8; ++k) {
        auto conv = make();
        const int at = kInRate + k * 101;
        std::vector<double> in(3 * kInRate, 0.0), out;
        in[at] = 10000;
        std::vector<size_t> fedWhen;  // input consumed when output i became available
        for (size_t pos = 0; pos < in.size(); pos += 8) {
            conv->Process(in.data() + pos, 8, out);
            fedWhen.resize(out.size(), pos + 8);
        }
        const size_t peak =
            std::max_element(out.begin(), out.end(),
                             [](double a, double b) { return std::fabs(a) < std::fabs(b); }) -
            out.begin();
        worst = std::max(worst, (double(fedWhen[peak]) - (at + 1)) * 1000.0 / kInRate);
    }
    return worst;
}

// Largest lag of output behind input, in 80 ms chunks of noise, after the
// start (input time minus output time after each call).
double HoldBackMs(const Factory &make) {
    auto conv = make();
    std::mt19937 rng(1);
    std::normal_distribution<double> noise(0, 5000);
    std::vector<double> chunk(kChunk), out;
    double worst = 0;
    for (int call = 1; call <= 50; ++call) {
        for (double &v : chunk) v = noise(rng);
        conv->Process(chunk.data(), kChunk, out);
        const double lag = call * 80.0 - out.size() * 1000.0 / kOutRate;
        if (call > 5) worst = std::max(worst, lag);
    }
    return worst;
}

// Pass-band ripple (worst gain error in dB of tones up to 98 % of 4 kHz) and
// stop-band level (worst image of any tone below 4 kHz, transition band
// included, in dB below the tone), measured over the third second.
void Response(const Factory &make, double &ripple, double &stop) {
    ripple = 0;
    stop = -400;
    const double amplitude = 30000;
    for (double f :
         {50.0, 440.0, 1000.0, 2000.0, 3000.0, 3600.0, 3800.0, 3920.0, 3950.0, 3980.0, 3996.0}) {
        auto conv = make();
        std::vector<double> in(4 * kInRate), out;
        for (size_t n = 0; n < in.size(); ++n)
            in[n] = amplitude * std::sin(2 * M_PI * f * n / kInRate + 0.3);
        for (size_t pos = 0; pos < in.size(); pos += kChunk) conv->Process(&in[pos], kChunk, out);
        if (out.size() < 3 * size_t(kOutRate)) continue;
        const double *second = out.data() + 2 * kOutRate;
        if (f <= 0.98 * kInRate / 2) {
            const double gain = KoralTest::ToneAmplitude(second, kOutRate, kOutRate, f);
            ripple = std::max(ripple, std::fabs(KoralTest::Decibels(gain, amplitude)));
        }
        const double image = KoralTest::ToneAmplitude(second, kOutRate, kOutRate, kInRate - f);
        stop = std::max(stop, KoralTest::Decibels(image, amplitude));
    }
}

void PrintFigures() {
    std::printf("8000 -> 16000 Hz, transition band %.1f %%, %.2f dB, 80 ms chunks\n",
                kTransitionBand, kAttenuation);
    std::printf("%-20s %12s %14s %14s %14s\n", "converter", "latency ms", "hold-back ms",
                "ripple dB", "stop band dB");
    for (const Candidate &c : Candidates()) {
        double ripple = 0, stop = 0;
        Response(c.make, ripple, stop);
        std::printf("%-20s %12.1f %14.1f %14.2e %14.1f\n", c.name.c_str(), ImpulseLatencyMs(c.make),
                    HoldBackMs(c.make), ripple, stop);
    }
    // Whether any of libsoxr's DFT sizes (or its variable-rate path) brings
    // its latency near the filter's own group delay.
    std::printf("libsoxr latency (ms) by log2_min_dft_size / log2_large_dft_size:\n");
    for (unsigned minDft : {6u, 7u, 8u, 9u, 10u}) {
        for (unsigned largeDft : {minDft, 10u, 17u}) {
            if (largeDft < minDft) continue;
            SoxrSetup s;
            s.minDft = minDft;
            s.largeDft = largeDft;
            std::printf("  %2u / %2u: %6.1f", minDft, largeDft, ImpulseLatencyMs([s] {
                            return std::unique_ptr<Converter>(new SoxrConverter(s));
                        }));
        }
        std::printf("\n");
    }
    SoxrSetup vr;
    vr.qualityFlags = SOXR_VR;
    std::printf("  variable-rate: %6.1f\n", ImpulseLatencyMs([vr] {
                    return std::unique_ptr<Converter>(new SoxrConverter(vr));
                }));
}

// One chunk per iteration (its length in ms the second argument: 80 ms is
// the detector's default output period); "per_10ms" is the cost per 10 ms of input.
void BM_Convert(benchmark::State &state) {
    const Candidate c = Candidates()[state.range(0)];
    const int chunk = kInRate * int(state.range(1)) / 1000;
    // This converter is made for the chunk length, as a channel with that
    // output period would make it.
    auto conv =
        state.range(0) == 0 ? std::unique_ptr<Converter>(new KoralConverter(3 * chunk)) : c.make();
    std::mt19937 rng(7);
    std::normal_distribution<double> noise(0, 5000);
    std::vector<double> in(kInRate), out;
    for (double &v : in) v = noise(rng);
    out.reserve(1 << 18);
    size_t pos = 0;
    for (auto _ : state) {
        if (pos + chunk > in.size()) pos = 0;
        out.clear();
        conv->Process(&in[pos], chunk, out);
        benchmark::DoNotOptimize(out.data());
        pos += chunk;
    }
    state.SetLabel(c.name);
    state.counters["per_10ms"] =
        benchmark::Counter(double(state.iterations()) * state.range(1) / 10.0,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

}  // namespace

BENCHMARK(BM_Convert)
    ->ArgNames({"converter", "chunk_ms"})
    ->Args({0, 80})
    ->Args({1, 80})
    ->Args({2, 80})
    ->Args({3, 80})
    ->Args({0, 10})
    ->Args({0, 20})
    ->Args({0, 40})
    ->Args({0, 240})
    ->Unit(benchmark::kMicrosecond);

int main(int argc, char **argv) {
    PrintFigures();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
