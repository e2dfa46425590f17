// The converter against its promise: a symmetric impulse response delayed by
// exactly the latency it reports; a flat pass band and a stop band at least
// as deep as asked, measured on tones in doubles; the same output for any
// chunking, also on several threads at once; clean refusals; and output that
// matches sox's conversion of the same speech.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <random>
#include <thread>
#include <vector>

#include "KoralResampler.h"
#include "KoralTest/Process.h"
#include "KoralTest/Spectrum.h"
#include "KoralTest/Speech.h"
#include "KoralTest/TempDir.h"

using KORAL::CreateResampler;
using KORAL::Resampler;

namespace {

struct Rates {
    int in;
    int up, down;  // out / in = up / down
};
const Rates kServed[] = {{8000, 2, 1}, {12000, 4, 3}, {24000, 2, 3}, {32000, 1, 2}, {48000, 1, 3}};

// Largest chunk as the channel sizes it: three 80 ms output periods.
int MaxChunk(int rate) { return rate * 80 * 3 / 1000; }

// Runs `input` through `rs` in chunks of the given sizes (cycled), then
// enough zeros to flush the delay line; returns every output sample and
// checks each call's count against the channel's buffer sizes.
std::vector<double> Convert(Resampler &rs, const std::vector<double> &input,
                            const std::vector<int> &chunks, int maxChunk, double ratio) {
    std::vector<double> all(input);
    all.resize(input.size() + static_cast<size_t>(rs.GetLatency() / ratio) + 8, 0.0);
    std::vector<double> out;
    size_t pos = 0, c = 0;
    while (pos < all.size()) {
        const int n =
            static_cast<int>(std::min<size_t>(chunks[c++ % chunks.size()], all.size() - pos));
        double *result = nullptr;
        const int got = rs.process(all.data() + pos, n, result);
        EXPECT_GE(got, 0);
        EXPECT_LE(got, static_cast<int>(std::ceil(n * ratio)) + 0) << "chunk " << n;
        EXPECT_LE(got, static_cast<int>(maxChunk * ratio)) << "more than the channel's buffer";
        out.insert(out.end(), result, result + got);
        pos += n;
    }
    out.resize(static_cast<size_t>(std::floor(input.size() * ratio)));
    return out;
}

std::vector<double> Tone(int rate, double hz, int samples, double amplitude = 30000) {
    std::vector<double> x(samples);
    for (int n = 0; n < samples; ++n) x[n] = amplitude * std::sin(2 * M_PI * hz * n / rate + 0.3);
    return x;
}

TEST(ResamplerTest, ImpulseResponseIsSymmetricAndHeldBackByTheReportedLatency) {
    for (const Rates &r : kServed) {
        SCOPED_TRACE(r.in);
        const double ratio = double(r.up) / r.down;
        const int maxIn = MaxChunk(r.in);
        auto rs = CreateResampler(r.in, 16000, maxIn);
        ASSERT_TRUE(rs);
        const int latency = rs->GetLatency();
        EXPECT_LT(latency / 16.0, 70.0) << "ms of delay for a 2 % band at 136.45 dB";
        // An impulse on the output grid, fed a few samples at a time.
        const int at = 3 * r.down * 211;
        std::vector<double> input(at + 4 * maxIn, 0.0);
        input[at] = 10000;
        std::vector<double> out;
        size_t fed = 0, peakSeenAfter = 0;
        const size_t peak = size_t(at * ratio);
        // Small chunks around the impulse's way out, to time it; large ones elsewhere.
        const size_t slowFrom = at, slowTo = at + size_t(latency / ratio) + 64;
        for (size_t pos = 0, n = 0; pos < input.size(); pos += n) {
            n = (pos >= slowFrom && pos < slowTo) ? 7 : maxIn / 3;
            if (pos < slowFrom) n = std::min(n, slowFrom - pos);
            n = std::min(n, input.size() - pos);
            double *result = nullptr;
            const int got = rs->process(input.data() + pos, int(n), result);
            out.insert(out.end(), result, result + got);
            fed += n;
            // Output lags input by exactly the latency, at every call.
            EXPECT_EQ(int64_t(out.size()),
                      std::max<int64_t>(0, int64_t(std::ceil(fed * ratio - 1e-9)) - latency));
            if (peakSeenAfter == 0 && out.size() > peak) peakSeenAfter = fed;
        }
        // Peak at the impulse's own position (output is not shifted) ...
        ASSERT_GT(out.size(), peak + latency);
        size_t best = 0;
        for (size_t i = 0; i < out.size(); ++i)
            if (std::fabs(out[i]) > std::fabs(out[best])) best = i;
        EXPECT_EQ(best, peak);
        // ... with the pass-band gain of the filter (an impulse at the input
        // rate is band-limited to the narrower band) ...
        EXPECT_NEAR(out[peak], 10000 * std::min(1.0, ratio) * 0.99, 10000 * 0.02);
        // ... available once the input has reached it plus the latency
        // (7-sample chunks add at most 7 input samples).
        const double heldMs = (double(peakSeenAfter) - at) * 1000.0 / r.in;
        EXPECT_GE(heldMs, latency / 16.0 - 1000.0 / r.in);
        EXPECT_LE(heldMs, latency / 16.0 + 8 * 1000.0 / r.in);
        // Linear phase: symmetric about the peak, and nothing beyond the
        // filter's half length.
        double asym = 0, tail = 0;
        for (int k = 1; k <= latency; ++k)
            asym = std::max(asym, std::fabs(out[peak + k] - out[peak - k]));
        for (size_t i = 0; i < out.size(); ++i)
            if (i + latency + 1 < peak || i > peak + latency + 1)
                tail = std::max(tail, std::fabs(out[i]));
        EXPECT_LT(asym, 1e-9);
        EXPECT_LT(tail, 1e-9);
    }
}

// Pass band flat to within 0.001 dB up to 98 % of the band; every image (up)
// or alias (down) of a tone anywhere below the band edge, transition band
// included, or above it, at least 136 dB down.
TEST(ResamplerTest, FlatPassBandAndDeepStopBandOnTones) {
    for (const Rates &r : {kServed[0], kServed[4]}) {
        SCOPED_TRACE(r.in);
        const double ratio = double(r.up) / r.down;
        const int maxIn = MaxChunk(r.in);
        const double edge = std::min(r.in, 16000) / 2.0;
        std::vector<double> tones = {50, 440, 1000, 2500, 0.5 * edge, 0.9 * edge, 0.98 * edge};
        if (r.down == 1)  // tones whose images fall just above the edge
            tones.insert(tones.end(), {0.985 * edge, 0.995 * edge, 0.999 * edge});
        else  // tones above the edge, up to the input's Nyquist frequency
            tones.insert(tones.end(), {1.001 * edge, 1.01 * edge, 1.2 * edge, 2.9 * edge});
        double worstRipple = 0, worstStop = -400;
        for (double f : tones) {
            auto rs = CreateResampler(r.in, 16000, maxIn);
            // 2 s of tone, measured over the middle second.
            const auto out = Convert(*rs, Tone(r.in, f, 2 * r.in), {maxIn / 3}, maxIn, ratio);
            if (f <= 0.98 * edge) {
                const double gain = KoralTest::ToneAmplitude(out.data() + 8000, 16000, 16000, f);
                worstRipple = std::max(worstRipple, std::fabs(KoralTest::Decibels(gain, 30000)));
            }
            if (r.down == 1 || f > edge) {
                const double unwanted =
                    r.down == 1 ? r.in - f : std::fabs(f - 16000 * std::round(f / 16000));
                const double level =
                    KoralTest::ToneAmplitude(out.data() + 8000, 16000, 16000, unwanted);
                worstStop = std::max(worstStop, KoralTest::Decibels(level, 30000));
            }
        }
        std::printf("%d Hz: pass-band ripple %.2e dB, stop band %.1f dB\n", r.in, worstRipple,
                    worstStop);
        EXPECT_LT(worstRipple, 1e-3);
        EXPECT_LT(worstStop, -136.0);
    }
}

TEST(ResamplerTest, AnyChunkingGivesTheSameOutputAndClearStartsAfresh) {
    for (const Rates &r : kServed) {
        SCOPED_TRACE(r.in);
        const double ratio = double(r.up) / r.down;
        const int maxIn = MaxChunk(r.in);
        std::mt19937 rng(r.in);
        std::normal_distribution<double> noise(0, 8000);
        std::vector<double> input(static_cast<size_t>(r.in) * 3);
        for (double &v : input) v = noise(rng);

        auto whole = CreateResampler(r.in, 16000, maxIn);
        const auto reference = Convert(*whole, input, {maxIn}, maxIn, ratio);
        ASSERT_EQ(reference.size(), size_t(input.size() * ratio));

        std::uniform_int_distribution<int> size(1, maxIn);
        std::vector<int> chunks;
        chunks.reserve(205);
        for (int i = 0; i < 200; ++i) chunks.push_back(size(rng));
        chunks.insert(chunks.begin(), {1, 2, 3, maxIn, 1});
        auto pieces = CreateResampler(r.in, 16000, maxIn);
        // Twice: the second run, after Clear, must not see the first's history.
        for (int run = 0; run < 2; ++run) {
            const auto out = Convert(*pieces, input, chunks, maxIn, ratio);
            ASSERT_EQ(out.size(), reference.size());
            double worst = 0;
            for (size_t i = 0; i < out.size(); ++i)
                worst = std::max(worst, std::fabs(out[i] - reference[i]));
            EXPECT_LT(worst, 1e-7) << "run " << run;
            pieces->Clear();
        }
        // More than the largest input is cut to it, never overrunning.
        std::vector<double> big(static_cast<size_t>(maxIn) * 2, 1000.0);
        double *result = nullptr;
        EXPECT_LE(pieces->process(big.data(), int(big.size()), result), int(maxIn * ratio));
        EXPECT_EQ(pieces->process(nullptr, 10, result), 0);
        EXPECT_EQ(pieces->process(big.data(), 0, result), 0);
    }
    // Ratios not served and impossible settings are refused with a reason.
    const double bad[][5] = {{11025, 16000, 100, 2, 136.45},  {16000, 16000, 100, 2, 136.45},
                             {8000.5, 16000, 100, 2, 136.45}, {-8000, 16000, 100, 2, 136.45},
                             {NAN, 16000, 100, 2, 136.45},    {8000, 16000, 0, 2, 136.45},
                             {8000, 16000, 100, 0, 136.45},   {8000, 16000, 100, 2, 20},
                             {8000, 16000, 100, NAN, 136.45}};
    for (const auto &b : bad) {
        std::string error;
        EXPECT_FALSE(CreateResampler(b[0], b[1], int(b[2]), b[3], b[4], &error)) << b[0];
        EXPECT_FALSE(error.empty()) << b[0];
        EXPECT_FALSE(CreateResampler(b[0], b[1], int(b[2]), b[3], b[4])) << "without error";
    }
}

// Converters of one kind share their filter and FFT plans: made, used and
// dropped on several threads at once, each still gives the reference output.
TEST(ResamplerTest, ConvertersOnSeveralThreadsAtOnceGiveTheSameOutput) {
    const int maxIn = MaxChunk(8000);
    std::vector<double> input(8000);
    std::mt19937 rng(3);
    std::normal_distribution<double> noise(0, 8000);
    for (double &v : input) v = noise(rng);
    auto first = CreateResampler(8000, 16000, maxIn);
    const auto reference = Convert(*first, input, {maxIn / 3}, maxIn, 2.0);
    std::vector<double> worst(4, 0.0);
    std::vector<std::thread> threads;
    threads.reserve(4);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 5; ++round) {
                // Odd threads also make and drop converters of other kinds.
                if (t % 2) CreateResampler(48000, 16000, MaxChunk(48000));
                auto rs = CreateResampler(8000, 16000, maxIn);
                const auto out = Convert(*rs, input, {maxIn / 3 + t}, maxIn, 2.0);
                for (size_t i = 0; i < out.size() && i < reference.size(); ++i)
                    worst[t] = std::max(worst[t], std::fabs(out[i] - reference[i]));
            }
        });
    }
    for (auto &thread : threads) thread.join();
    for (double w : worst) EXPECT_LT(w, 1e-7);
}

// Speech at 8000 Hz converted here and by sox (very high quality, output in
// doubles): after aligning the two (the lag must be zero: this converter's
// output is not shifted), the difference is tiny beside the signal.
TEST(ResamplerTest, MatchesSoxOnSynthesizedSpeech) {
    KoralTest::Samples speech;
    std::string error;
    ASSERT_TRUE(KoralTest::Synthesize("please call home after the meeting on tuesday", 8000, speech,
                                      &error, KoralTest::Voice::EspeakNg))
        << error;
    KoralTest::TempDir dir("koral-resampler");
    ASSERT_FALSE(dir.Path().empty());
    const std::string in = dir.File("in.wav"), out = dir.File("out.f64");
    ASSERT_TRUE(KoralTest::WriteWav(in, speech, 8000));
    ASSERT_TRUE(KoralTest::RunProgram({"sox", "-D", in, "-e", "floating-point", "-b", "64", "-t",
                                       "raw", out, "rate", "-v", "-b", "99", "16000"},
                                      &error))
        << error;
    std::ifstream file(out, std::ios::binary);
    std::vector<double> sox;
    for (double v; file.read(reinterpret_cast<char *>(&v), sizeof v);) sox.push_back(v * 32768.0);
    ASSERT_GT(sox.size(), 16000u);

    const int maxIn = MaxChunk(8000);
    auto rs = CreateResampler(8000, 16000, maxIn);
    std::vector<double> input(speech.begin(), speech.end());
    const auto ours = Convert(*rs, input, {maxIn / 3}, maxIn, 2.0);

    // Best lag within the filter's span, then the signal-to-difference ratio.
    const size_t n = std::min(ours.size(), sox.size());
    const int span = rs->GetLatency() + 16;
    int bestLag = 0;
    double bestDot = -1;
    for (int lag = -span; lag <= span; ++lag) {
        double dot = 0;
        for (size_t i = span; i + span < n; ++i) dot += ours[i + lag] * sox[i];
        if (dot > bestDot) bestDot = dot, bestLag = lag;
    }
    EXPECT_EQ(bestLag, 0);
    double signal = 0, diff = 0;
    for (size_t i = span; i + span < n; ++i) {
        signal += sox[i] * sox[i];
        diff += (ours[i + bestLag] - sox[i]) * (ours[i + bestLag] - sox[i]);
    }
    const double sdr = 10 * std::log10(signal / diff);
    RecordProperty("sox_sdr_db", std::to_string(sdr));
    std::printf("signal-to-difference ratio against sox: %.1f dB\n", sdr);
    EXPECT_GT(sdr, 60.0);
}

}  // namespace
