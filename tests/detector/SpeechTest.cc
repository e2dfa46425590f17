// Speech detection driven by synthetic frames: probation, framing, chunk
// hand-out from the cyclic buffer, completion timeouts, stops and the
// external start of input.
#include <gtest/gtest.h>

#include "DetectorHarness.h"
#include "KoralRxLog.h"

using namespace KoralTest;

namespace {

mpf_sdi_params_t Defaults() {
    mpf_sdi_params_t params;
    mpf_sdi_params_init(&params);
    return params;
}

// Feeds voice until the detector announces speech; returns the voiced frames fed.
size_t VoiceUntilStart(Harness &h, size_t limit = 200) {
    for (size_t n = 1; n <= limit; ++n) {
        EXPECT_EQ(1, h.Voice());
        if (!h.rec().starts.empty()) return n;
    }
    return 0;
}

// Silence frames the voice detector calls unvoiced, until the detector
// completes; returns how many it took.
size_t UnvoicedUntilComplete(Harness &h, size_t limit = 400) {
    size_t unvoiced = 0;
    for (size_t n = 0; n < 1000 && unvoiced < limit; ++n) {
        if (h.Silence() == 0) ++unvoiced;
        if (h.rec().Last()) return unvoiced;
    }
    return 0;
}

void ExpectConsistentLastChunk(Harness &h) {
    const SpeechCall *last = h.rec().Last();
    ASSERT_NE(nullptr, last);
    ASSERT_TRUE(last->has_stats);
    EXPECT_EQ(&h.rec().speech.back(), last);
    EXPECT_EQ(MPF_SDI_COMPLETION_CAUSE_SUCCESS, last->stats.completion_cause);
    const size_t total = h.rec().Audio().size();
    EXPECT_EQ(total, last->stats.size);
    EXPECT_EQ(total / h.FrameSize() * 10, last->stats.duration);
}

class SpeechTest : public ::testing::TestWithParam<uint32_t> {
  protected:
    LogCapture log_;
};

INSTANTIATE_TEST_SUITE_P(Rates, SpeechTest, ::testing::Values(8000u, 16000u));

// Speech starts with the 31st voiced frame, whatever came before; the output
// opens with exactly 5 frames ahead of the first voiced frame: audio that
// came before it, padded with inserted silence when too little did. Every
// detector line carries the plugin's log source and ends with the channel name.
TEST_P(SpeechTest, StartComesWithThe31stVoicedFrameLedByFiveFrames) {
    ASSERT_TRUE(apt_log_source_assign("KORAL-PLUGIN", &KORAL_PLUGIN));
    for (size_t before : {0u, 3u, 5u, 6u, 20u, 40u}) {
        SCOPED_TRACE(before);
        Harness h;
        h.Init(MPF_SDI_MODE_SPEECH_DTMF, GetParam());
        for (size_t i = 0; i < before; ++i) ASSERT_EQ(0, h.Silence());
        ASSERT_EQ(31u, VoiceUntilStart(h));
        ASSERT_EQ(1u, h.rec().starts.size());
        EXPECT_EQ(MPF_SDI_MODE_SPEECH, h.rec().starts[0].second);
        EXPECT_EQ(before + 31, h.rec().starts[0].first);
        const size_t fs = h.FrameSize();
        const size_t padding = before < 5 ? 5 - before : 0;
        std::vector<uint8_t> expected(padding * fs, 0);
        const size_t from = before < 5 ? 0 : before - 5;
        // Chunks of 8 frames go out while 8 are stored.
        const size_t stored = h.tape().size() - from;
        std::vector<uint8_t> tail = h.TapeBytes(from, from + stored / 8 * 8);
        expected.insert(expected.end(), tail.begin(), tail.end());
        EXPECT_EQ(expected, h.rec().Audio());
        if (padding) {
            ASSERT_FALSE(h.rec().speech.empty());
            EXPECT_EQ(padding * fs, h.rec().speech[0].data.size());
        }
        for (const SpeechCall &call : h.rec().speech) {
            EXPECT_EQ(MPF_SDI_STATE_IN_PROGRESS, call.state);
            EXPECT_FALSE(call.has_stats);
        }
    }
    EXPECT_TRUE(
        log_.Has("Speech Detector State Transition NO-INPUT -> IN-PROGRESS [510 ms] <ch-1>"));
    EXPECT_TRUE(log_.Has("Start Input Timer [20000 ms] <ch-1>"));
    EXPECT_TRUE(log_.Has("Set Speech Complete Timeout [3000 ms] <ch-1>"));
    for (const LogLine &line : log_.Lines()) {
        EXPECT_EQ("KORAL-PLUGIN", line.source) << line.message;
        EXPECT_EQ(line.message.rfind(" <ch-1>"), line.message.size() - 7) << line.message;
    }
    KORAL_PLUGIN = nullptr;
}

// A frame without audio, or the first the voice detector calls unvoiced,
// cancels the start probation; a new one starts at 0 with the next voice.
TEST_P(SpeechTest, FrameWithoutAudioOrUnvoicedCancelsStartProbation) {
    Harness h;
    h.Init(MPF_SDI_MODE_SPEECH, GetParam());
    for (int i = 0; i < 30; ++i) h.Voice();
    h.Empty();
    EXPECT_TRUE(h.rec().starts.empty());
    EXPECT_EQ(1u,
              log_.StartingWith("Cancel Detector State Probation NO-INPUT <- IN-PROGRESS").size());
    EXPECT_EQ(31u, VoiceUntilStart(h));

    Harness u;
    u.Init(MPF_SDI_MODE_SPEECH, GetParam());
    for (int i = 0; i < 15; ++i) u.Voice();
    // The voice detector holds on for a while after voice.
    const size_t settled = u.SilenceUntilUnvoiced();
    EXPECT_LT(15 + settled - 1, 31u);
    EXPECT_TRUE(u.rec().starts.empty());
    EXPECT_EQ(2u, log_.StartingWith("Cancel Detector State Probation").size());
    EXPECT_EQ(31u, VoiceUntilStart(u));
}

// Completion after 3000 ms of silence without a result, 1000 ms once the
// result flag is set with interim results, and 1000 ms (the complete
// timeout) without interim results, where the flag changes nothing. A flag
// set during the silence shortens the wait at once.
TEST_P(SpeechTest, CompletionWaitFollowsTheResultFlagAndInterimResults) {
    for (int run = 0; run < 3; ++run) {
        SCOPED_TRACE(run);
        LogCapture log;
        const bool interim = run<2, flag = run> 0;
        Harness h;
        h.Init(MPF_SDI_MODE_SPEECH, GetParam(), false, interim);
        ASSERT_EQ(31u, VoiceUntilStart(h));
        if (flag) mpf_sdi_result_flag_set(h.detector());
        for (int i = 0; i < 50; ++i) h.Voice();
        EXPECT_EQ(run == 0 ? 301u : 101u, UnvoicedUntilComplete(h));
        ExpectConsistentLastChunk(h);
        EXPECT_EQ(0u, h.rec().stops.size());
        EXPECT_EQ(run == 1, log.Has("Set Result Flag [1000 ms] <ch-1>"));
        EXPECT_EQ(run == 1, !log.StartingWith("Set Result Flag").empty());
    }
    Harness h;
    h.Init(MPF_SDI_MODE_SPEECH, GetParam(), false, true);
    ASSERT_EQ(31u, VoiceUntilStart(h));
    size_t unvoiced = 0;
    while (unvoiced < 150) unvoiced += h.Silence() == 0;
    EXPECT_EQ(nullptr, h.rec().Last());
    mpf_sdi_result_flag_set(h.detector());
    h.Silence();
    EXPECT_NE(nullptr, h.rec().Last());
}

// A chunk that crosses the end of the cyclic buffer comes in two calls, the
// first up to the end of the buffer, the second from its start; only the
// second may carry COMPLETE and the stats. The audio handed out is the
// stored audio from 5 frames before the voice to the completing frame, in
// order, without gaps or repeats.
TEST_P(SpeechTest, ChunkCrossingTheBufferEndComesInTwoCalls) {
    mpf_sdi_params_t params = Defaults();
    params.speech_incomplete_timeout = 300;
    params.speech_complete_timeout = 300;
    params.speech_start_timeout = 100;
    // (300 + 50 + 100) / 10 = 45 slots of which chunks of 8 rarely line up.
    bool last_wrapped = false;
    bool middle_wrapped = false;
    for (int voiced = 20; voiced < 200 && !(last_wrapped && middle_wrapped); ++voiced) {
        SCOPED_TRACE(voiced);
        Harness h(&params);
        h.Init(MPF_SDI_MODE_SPEECH, GetParam(), false, true);
        for (int i = 0; i < 7; ++i) h.Silence();
        for (int i = 0; i < voiced; ++i) h.Voice();
        ASSERT_NE(0u, UnvoicedUntilComplete(h));
        const mpf_sdi_frame_buffer_t &frames = h.detector()->frames;
        ASSERT_EQ(45u, frames.frame_count);
        const size_t fs = h.FrameSize();
        const uint8_t *begin = frames.buffer;
        const uint8_t *end = begin + frames.frame_count * fs;
        const auto &calls = h.rec().speech;
        for (size_t i = 0; i < calls.size(); ++i) {
            const SpeechCall &call = calls[i];
            if (call.pointer == frames.silence || call.state == MPF_SDI_STATE_COMPLETE) continue;
            const uint8_t *p = static_cast<const uint8_t *>(call.pointer);
            ASSERT_GE(p, begin);
            ASSERT_LE(p + call.data.size(), end);
            const bool ends_at_buffer_end = p + call.data.size() == end;
            const bool whole = call.data.size() == 8 * fs;
            if (!ends_at_buffer_end || whole || call.data.empty()) continue;
            // A split: the rest follows from the buffer start.
            ASSERT_LT(i + 1, calls.size());
            const SpeechCall &rest = calls[i + 1];
            EXPECT_EQ(MPF_SDI_STATE_IN_PROGRESS, call.state);
            EXPECT_FALSE(call.has_stats);
            EXPECT_EQ(static_cast<const void *>(begin), rest.pointer);
            if (rest.state == MPF_SDI_STATE_COMPLETE) {
                EXPECT_TRUE(rest.has_stats);
                last_wrapped = true;
            } else {
                EXPECT_EQ(8 * fs, call.data.size() + rest.data.size());
                EXPECT_FALSE(rest.has_stats);
                middle_wrapped = true;
            }
        }
        EXPECT_EQ(h.TapeBytes(2, h.tape().size() - 1), h.rec().Audio());
        ExpectConsistentLastChunk(h);
    }
    EXPECT_TRUE(last_wrapped);
    EXPECT_TRUE(middle_wrapped);
}

// Without framing, 8 frames go out every 8 frames from the first one, in
// state NO-INPUT until speech starts.
TEST_P(SpeechTest, WithoutNormalisationChunksFlowFromTheFirstFrame) {
    mpf_sdi_params_t params = Defaults();
    params.normalize_input = FALSE;
    Harness h(&params);
    h.Init(MPF_SDI_MODE_SPEECH, GetParam(), false, true);
    const auto init = log_.StartingWith("Init Speech Detector: frame-size=");
    ASSERT_EQ(1u, init.size());
    EXPECT_NE(std::string::npos, init[0].message.find(", frame-count=8, vad-mode=2,"));
    for (int i = 0; i < 40; ++i) h.Silence();
    ASSERT_EQ(31u, VoiceUntilStart(h));
    const auto &calls = h.rec().speech;
    ASSERT_EQ(h.tape().size() / 8, calls.size());
    for (size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(8 * (i + 1), calls[i].frame);
        EXPECT_EQ(8 * h.FrameSize(), calls[i].data.size());
        EXPECT_EQ(calls[i].frame < 71 ? MPF_SDI_STATE_NO_INPUT : MPF_SDI_STATE_IN_PROGRESS,
                  calls[i].state);
    }
    EXPECT_EQ(h.TapeBytes(0, calls.size() * 8), h.rec().Audio());
    EXPECT_TRUE(log_.StartingWith("Detector Silence Output").empty());
}

// The no-input timer runs only while detection is active and timers are
// started, and stops with the start of speech; the input timer ends speech
// with everything stored.
TEST_P(SpeechTest, NoInputAndInputTimers) {
    mpf_sdi_params_t params = Defaults();
    params.noinput_timeout = 500;
    Harness h(&params);
    // Idle: the timer does not run.
    mpf_sdi_start_timers(h.detector());
    for (int i = 0; i < 100; ++i) h.Silence();
    EXPECT_TRUE(h.rec().noinput.empty());

    // Active without start-input-timers: nothing until start_timers.
    h.Init(MPF_SDI_MODE_SPEECH_DTMF, GetParam(), false);
    for (int i = 0; i < 100; ++i) h.Silence();
    EXPECT_TRUE(h.rec().noinput.empty());
    mpf_sdi_start_timers(h.detector());
    for (int i = 0; i < 100; ++i) h.Silence();
    EXPECT_EQ(std::vector<size_t>{250}, h.rec().noinput);
    EXPECT_TRUE(log_.Has("Start No-Input Timer [500 ms] <ch-1>"));

    // After the no-input event the detector is idle.
    for (int i = 0; i < 100; ++i) h.Silence();
    EXPECT_EQ(1u, h.rec().noinput.size());

    // With start-input-timers the timer runs from init.
    h.Init(MPF_SDI_MODE_SPEECH_DTMF, GetParam(), true);
    for (int i = 0; i < 49; ++i) h.Silence();
    EXPECT_EQ(1u, h.rec().noinput.size());
    h.Silence();
    EXPECT_EQ(2u, h.rec().noinput.size());

    // Speech stops it.
    h.Init(MPF_SDI_MODE_SPEECH, GetParam(), true);
    ASSERT_EQ(31u, VoiceUntilStart(h));
    for (int i = 0; i < 60; ++i) h.Voice();
    EXPECT_EQ(2u, h.rec().noinput.size());

    Harness t;
    mpf_sdi_input_timeout_set(t.detector(), 1000);
    t.Init(MPF_SDI_MODE_SPEECH, GetParam(), false, true);
    ASSERT_EQ(31u, VoiceUntilStart(t));
    // The input timer started at the 300 ms of voice on probation.
    for (int i = 0; i < 68; ++i) t.Voice();
    EXPECT_EQ(nullptr, t.rec().Last());
    t.Voice();
    const SpeechCall *last = t.rec().Last();
    ASSERT_NE(nullptr, last);
    EXPECT_EQ(MPF_SDI_COMPLETION_CAUSE_TIMEDOUT, last->stats.completion_cause);
    EXPECT_EQ(t.TapeBytes(0, t.tape().size()).size() + 5 * t.FrameSize(), t.rec().Audio().size());
    EXPECT_EQ(t.rec().Audio().size(), last->stats.size);
    const size_t calls = t.rec().speech.size();
    for (int i = 0; i < 20; ++i) t.Voice();
    EXPECT_EQ(calls, t.rec().speech.size());
}

// A stop is carried out by the next frame, only while input runs; a stop
// without a further frame reports nothing, and a new init supersedes it.
TEST_P(SpeechTest, StopReportsOnTheNextFrameOnlyDuringInput) {
    Harness h;
    mpf_sdi_stop(h.detector());
    h.Silence();
    EXPECT_TRUE(h.rec().stops.empty());

    h.Init(MPF_SDI_MODE_SPEECH_DTMF, GetParam());
    ASSERT_EQ(31u, VoiceUntilStart(h));
    for (int i = 0; i < 10; ++i) h.Voice();
    mpf_sdi_stop(h.detector());
    EXPECT_TRUE(h.rec().stops.empty());
    const size_t handed = h.rec().Audio().size();
    h.Voice();
    ASSERT_EQ(1u, h.rec().stops.size());
    const mpf_sdi_stats_t &stats = h.rec().stops[0].second;
    EXPECT_EQ(MPF_SDI_COMPLETION_CAUSE_STOPPED, stats.completion_cause);
    EXPECT_EQ(handed, stats.size);
    EXPECT_EQ(handed, h.rec().Audio().size());  // the stopping frame hands nothing out
    for (int i = 0; i < 20; ++i) h.Voice();
    EXPECT_EQ(1u, h.rec().stops.size());
    mpf_sdi_stop(h.detector());  // idle again
    h.Voice();
    EXPECT_EQ(1u, h.rec().stops.size());

    h.Init(MPF_SDI_MODE_SPEECH, GetParam());
    h.Voice();
    mpf_sdi_stop(h.detector());
    h.Init(MPF_SDI_MODE_SPEECH, GetParam());
    h.Voice();
    EXPECT_EQ(1u, h.rec().stops.size());
    mpf_sdi_stop(h.detector());
    h.Voice();
    EXPECT_EQ(2u, h.rec().stops.size());
}

// External start: speech reaches IN-PROGRESS and streams without announcing
// it, DTMF detection and the no-input timer go on until the owner sets the
// speech flag. The flags act only while speech detection runs: a detector
// that DTMF took is not revived by a late result.
TEST_P(SpeechTest, ExternalStartModeLeavesTheStartToTheOwner) {
    mpf_sdi_params_t params = Defaults();
    params.noinput_timeout = 1000;
    Harness h(&params);
    mpf_sdi_speech_start_mode_set(h.detector(), 1);
    h.Init(MPF_SDI_MODE_SPEECH_DTMF, GetParam(), true);
    ASSERT_FALSE(log_.StartingWith("Init Speech Detector").empty());
    EXPECT_NE(std::string::npos, log_.StartingWith("Init Speech Detector")[0].message.find(
                                     "start-of-input=external <ch-1>"));
    for (int i = 0; i < 40; ++i) h.Voice();
    EXPECT_TRUE(h.rec().starts.empty());
    EXPECT_FALSE(h.rec().speech.empty());
    EXPECT_FALSE(
        log_.StartingWith("Speech Detector State Transition NO-INPUT -> IN-PROGRESS").empty());
    mpf_sdi_speech_flag_set(h.detector());
    for (int i = 0; i < 100; ++i) h.Voice();
    EXPECT_TRUE(log_.Has("Set Speech Input Flag <ch-1>"));
    EXPECT_TRUE(h.rec().starts.empty());  // no callback for the flag
    EXPECT_TRUE(h.rec().noinput.empty());
    h.Key('5');  // DTMF detection has ended
    EXPECT_TRUE(h.rec().dtmf.empty());
    EXPECT_TRUE(h.rec().starts.empty());

    // Without the flag the no-input timer fires through voice ...
    h.Init(MPF_SDI_MODE_SPEECH_DTMF, GetParam(), true);
    const size_t from = h.rec().frame;
    for (int i = 0; i < 100; ++i) h.Voice();
    EXPECT_EQ(std::vector<size_t>{from + 100}, h.rec().noinput);
    // ... and a key starts DTMF input.
    log_.Clear();
    h.Init(MPF_SDI_MODE_SPEECH_DTMF, GetParam());
    for (int i = 0; i < 40; ++i) h.Voice();
    h.Key('7');
    ASSERT_EQ(1u, h.rec().starts.size());
    EXPECT_EQ(MPF_SDI_MODE_DTMF, h.rec().starts[0].second);
    const size_t spoken = h.rec().speech.size();
    mpf_sdi_result_flag_set(h.detector());
    mpf_sdi_speech_flag_set(h.detector());
    for (int i = 0; i < 60; ++i) h.Voice();
    EXPECT_EQ(spoken, h.rec().speech.size());
    EXPECT_TRUE(log_.StartingWith("Set Result Flag").empty());
    EXPECT_TRUE(log_.StartingWith("Set Speech Input Flag").empty());
}

}  // namespace
