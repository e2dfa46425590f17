// Control calls from one thread while another processes frames: the hand-over
// must be free of data races (run under ThreadSanitizer) and keep the
// detector consistent.
#include <apr_general.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "DetectorHarness.h"

using namespace KoralTest;

namespace {

// What the media thread's callbacks saw; only that thread writes the plain
// counts, read after it is joined.
struct Counters {
    std::atomic<bool> destroyed{false};
    std::atomic<int> after_destroy{0};
    int reports = 0;
    int bad = 0;  // a chunk or digit count that cannot be, a stop not reported as stopped

    static Counters *Of(mpf_sdi_detector_t *detector) {
        Counters *c = static_cast<Counters *>(mpf_sdi_obj_get(detector));
        if (c->destroyed.load()) c->after_destroy++;
        c->reports++;
        return c;
    }
};

TEST(DetectorThreads, ControlCallsRaceFramesSafely) {
    LogCapture log;
    KoralTest::AprPool apr;
    apr_pool_t *pool = apr.get();
    Counters counters;
    mpf_sdi_event_handlers_t handlers;
    mpf_sdi_event_handlers_init(&handlers);
    handlers.on_noinput = [](mpf_sdi_detector_t *d) { Counters::Of(d); };
    handlers.on_start_of_input = [](mpf_sdi_detector_t *d, mpf_sdi_mode_e) { Counters::Of(d); };
    handlers.on_stop_complete = [](mpf_sdi_detector_t *d, const mpf_sdi_stats_t *stats) {
        Counters::Of(d)->bad += stats->completion_cause != MPF_SDI_COMPLETION_CAUSE_STOPPED;
    };
    handlers.on_speech_input = [](mpf_sdi_detector_t *d, const void *data, apr_size_t size,
                                  mpf_sdi_state_e, const mpf_sdi_stats_t *) {
        // Touch every byte: the chunk must lie in live memory.
        const volatile uint8_t *p = static_cast<const uint8_t *>(data);
        uint8_t sum = 0;
        for (apr_size_t i = 0; i < size; ++i) sum ^= p[i];
        (void)sum;
        Counters::Of(d)->bad += size % 160 != 0;
    };
    handlers.on_dtmf_input = [](mpf_sdi_detector_t *d, const char *digits, apr_size_t count, int,
                                mpf_sdi_state_e, const mpf_sdi_stats_t *) {
        Counters::Of(d)->bad += strlen(digits) != count;
    };
    mpf_sdi_params_t params;
    mpf_sdi_params_init(&params);
    params.noinput_timeout = 700;
    mpf_sdi_detector_t *detector =
        mpf_sdi_detector_create("race", &handlers, &counters, &params, pool);
    ASSERT_NE(nullptr, detector);
    mpf_sdi_init(detector, MPF_SDI_MODE_SPEECH_DTMF, 8000, TRUE, TRUE);

    std::atomic<bool> stop_media{false};
    std::atomic<long> frames_done{0};
    std::thread media([&] {
        VoiceSource voice8(8000), voice16(16000);
        for (long n = 0; !stop_media.load(); ++n) {
            mpf_frame_t frame = mpf_frame_t();
            const long phase = n % 400;
            // The rate changes between recognitions; feed frames of both sizes.
            const bool wide = (n / 2000) % 2 == 1;
            std::vector<int16_t> samples = phase < 150 ? (wide ? voice16.Next() : voice8.Next())
                                                       : std::vector<int16_t>(wide ? 160 : 80, 0);
            frame.type = MEDIA_FRAME_TYPE_AUDIO;
            frame.codec_frame.buffer = samples.data();
            frame.codec_frame.size = samples.size() * 2;
            if (phase == 300 || phase == 302) {
                frame.type |= MEDIA_FRAME_TYPE_EVENT;
                frame.marker = phase == 300 ? MPF_MARKER_START_OF_EVENT : MPF_MARKER_END_OF_EVENT;
                frame.event_frame.event_id = static_cast<apr_uint32_t>(n % 12);
            }
            mpf_sdi_process(detector, &frame);
            frames_done.store(n + 1);
        }
    });

    // Engine side: a recognition every so often, with every control call.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    unsigned step = 0;
    while (std::chrono::steady_clock::now() < until || frames_done.load() < 20000) {
        switch (step++ % 12) {
            case 0:
                mpf_sdi_speech_complete_timeout_set(detector, 300 + step % 500);
                mpf_sdi_speech_incomplete_timeout_set(detector, 600 + step % 2000);
                mpf_sdi_noinput_timeout_set(detector, 500 + step % 1000);
                mpf_sdi_input_timeout_set(detector, 3000 + step % 3000);
                break;
            case 1:
                mpf_sdi_dtmf_length_set(detector, step % 3, step % 2, step % 5);
                mpf_sdi_dtmf_term_char_set(detector, step % 2 ? '#' : 0);
                mpf_sdi_dtmf_interdigit_timeout_set(detector, 200);
                mpf_sdi_dtmf_term_timeout_set(detector, 300);
                mpf_sdi_vad_mode_set(detector, static_cast<int>(step % 5));
                break;
            case 2:
                mpf_sdi_speech_start_mode_set(detector, step % 2);
                mpf_sdi_init(detector, static_cast<mpf_sdi_mode_e>(1 + step % 3),
                             ((step / 100) % 2) ? 16000 : 8000, step % 2, TRUE);
                break;
            case 4:
                mpf_sdi_start_timers(detector);
                break;
            case 6:
                mpf_sdi_speech_flag_set(detector);
                break;
            case 8:
                mpf_sdi_result_flag_set(detector);
                break;
            case 10:
                mpf_sdi_stop(detector);
                break;
            default:
                break;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(300));
    }

    // Destroy while frames still arrive; the detector must then ignore them.
    mpf_sdi_destroy(detector);
    counters.destroyed.store(true);
    const long at_destroy = frames_done.load();
    while (frames_done.load() < at_destroy + 200) std::this_thread::yield();
    stop_media.store(true);
    media.join();

    EXPECT_EQ(0, counters.after_destroy.load());
    EXPECT_EQ(0, counters.bad);
    // Which paths a run reaches depends on how the two threads interleave on a
    // loaded machine; that the detector reported anything at all is what is certain.
    EXPECT_GT(counters.reports, 0);
}

}  // namespace
