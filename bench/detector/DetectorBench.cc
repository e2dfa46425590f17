// Per-frame cost of mpf_sdi_process beside WebRtcVad_Process alone, on the
// same frames, at 8000 and 16000 Hz, for voice and for silence. The
// detector's own work (frame copy, state machine, chunk hand-out, control
// hand-over check) should add little to the voice decision.
#include <apr_general.h>
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "apt_log.h"
#include "mpf_sdi_detector.h"

namespace {

enum Kind { kSilence = 0, kVoice = 1 };

// A second of frames: voiced frames are a harmonic buzz with a wandering
// pitch and loudness; silent frames are low noise.
std::vector<std::vector<int16_t>> MakeFrames(uint32_t rate, Kind kind) {
    std::vector<std::vector<int16_t>> frames(100, std::vector<int16_t>(rate / 100));
    uint64_t n = 0;
    uint32_t seed = 12345;
    for (auto &frame : frames) {
        for (int16_t &s : frame) {
            const double t = static_cast<double>(n++) / rate;
            seed = seed * 1664525u + 1013904223u;
            const double noise = static_cast<double>(seed >> 16) / 65536.0 - 0.5;
            double v = noise * 20;
            if (kind == kVoice) {
                const double f0 = 120 + 30 * std::sin(2 * M_PI * 2 * t);
                for (int h = 1; h <= 20; ++h) v += (3000.0 / h) * std::sin(2 * M_PI * f0 * h * t);
                v *= 0.6 + 0.4 * std::sin(2 * M_PI * 3 * t);
            }
            s = static_cast<int16_t>(v);
        }
    }
    return frames;
}

void BM_VadAlone(benchmark::State &state) {
    const uint32_t rate = static_cast<uint32_t>(state.range(0));
    const auto frames = MakeFrames(rate, static_cast<Kind>(state.range(1)));
    VadInst *vad = WebRtcVad_Create();
    WebRtcVad_Init(vad);
    WebRtcVad_set_mode(vad, 2);
    size_t i = 0;
    for (auto _ : state) {
        const auto &frame = frames[i++ % frames.size()];
        benchmark::DoNotOptimize(
            WebRtcVad_Process(vad, static_cast<int>(rate), frame.data(), frame.size()));
    }
    WebRtcVad_Free(vad);
}

struct Owner {
    bool idle = false;
    size_t bytes = 0;
};

Owner *OwnerOf(mpf_sdi_detector_t *d) { return static_cast<Owner *>(mpf_sdi_obj_get(d)); }
void OnNoinput(mpf_sdi_detector_t *d) { OwnerOf(d)->idle = true; }
void OnStop(mpf_sdi_detector_t *d, const mpf_sdi_stats_t *) { OwnerOf(d)->idle = true; }
void OnStart(mpf_sdi_detector_t *, mpf_sdi_mode_e) {}
void OnSpeech(mpf_sdi_detector_t *d, const void *, apr_size_t size, mpf_sdi_state_e state,
              const mpf_sdi_stats_t *) {
    Owner *owner = OwnerOf(d);
    owner->bytes += size;
    if (state == MPF_SDI_STATE_COMPLETE) owner->idle = true;
}
void OnDtmf(mpf_sdi_detector_t *d, const char *, apr_size_t, int, mpf_sdi_state_e,
            const mpf_sdi_stats_t *) {
    OwnerOf(d)->idle = true;
}

void BM_Detector(benchmark::State &state) {
    const uint32_t rate = static_cast<uint32_t>(state.range(0));
    const auto frames = MakeFrames(rate, static_cast<Kind>(state.range(1)));
    apt_log_priority_set(APT_PRIO_WARNING);
    apr_initialize();
    apr_pool_t *pool = nullptr;
    apr_pool_create(&pool, nullptr);
    mpf_sdi_event_handlers_t handlers;
    mpf_sdi_event_handlers_init(&handlers);
    handlers.on_noinput = OnNoinput;
    handlers.on_stop_complete = OnStop;
    handlers.on_start_of_input = OnStart;
    handlers.on_speech_input = OnSpeech;
    handlers.on_dtmf_input = OnDtmf;
    Owner owner;
    mpf_sdi_detector_t *detector =
        mpf_sdi_detector_create("bench", &handlers, &owner, nullptr, pool);
    mpf_sdi_init(detector, MPF_SDI_MODE_SPEECH_DTMF, rate, FALSE, TRUE);

    std::vector<mpf_frame_t> media(frames.size());
    for (size_t k = 0; k < frames.size(); ++k) {
        media[k] = mpf_frame_t();
        media[k].type = MEDIA_FRAME_TYPE_AUDIO;
        media[k].codec_frame.buffer = const_cast<int16_t *>(frames[k].data());
        media[k].codec_frame.size = frames[k].size() * 2;
    }
    size_t i = 0;
    for (auto _ : state) {
        mpf_sdi_process(detector, &media[i++ % media.size()]);
        // Continuous voice ends on the input timer: start the next recognition.
        if (owner.idle) {
            owner.idle = false;
            mpf_sdi_init(detector, MPF_SDI_MODE_SPEECH_DTMF, rate, FALSE, TRUE);
        }
    }
    state.counters["out_bytes_per_frame"] =
        benchmark::Counter(static_cast<double>(owner.bytes) / static_cast<double>(i));
    mpf_sdi_destroy(detector);
    apr_pool_destroy(pool);
}

void Args(benchmark::internal::Benchmark *b) {
    b->ArgNames({"rate", "voice"});
    for (int64_t rate : {8000, 16000}) {
        for (int64_t kind : {kSilence, kVoice}) b->Args({rate, kind});
    }
}

}  // namespace

BENCHMARK(BM_VadAlone)->Apply(Args);
BENCHMARK(BM_Detector)->Apply(Args);

BENCHMARK_MAIN();
