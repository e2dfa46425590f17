// Speech synthesized at test time (espeak-ng, converted by sox to the
// channel rate), fed frame by frame.
#include <gtest/gtest.h>

#include <string>

#include "DetectorHarness.h"
#include "KoralTest/Speech.h"

using namespace KoralTest;

namespace {

const char kPhrase[] = "please transfer one hundred dollars to my savings account";

class RealSpeechTest : public ::testing::TestWithParam<uint32_t> {
  protected:
    // 10 ms frames of the phrase with 1 s of silence before and 4 s after.
    std::vector<std::vector<int16_t>> Frames(uint32_t rate) {
        KoralTest::Samples speech;
        std::string error;
        if (!KoralTest::Synthesize(kPhrase, rate, speech, &error, KoralTest::Voice::EspeakNg)) {
            ADD_FAILURE() << error;
            return {};
        }
        const int r = static_cast<int>(rate);
        std::vector<KoralTest::Samples> frames = KoralTest::Chunks(
            KoralTest::Join({KoralTest::Silence(1000, r), speech, KoralTest::Silence(4000, r)}), r,
            10);
        if (!frames.empty() && frames.back().size() < rate / 100) frames.pop_back();
        return frames;
    }

    LogCapture log_;
};

INSTANTIATE_TEST_SUITE_P(Rates, RealSpeechTest, ::testing::Values(8000u, 16000u));

// First index of the first run of 31 voiced frames, or the tape size.
size_t FirstStartRun(const std::vector<int> &verdicts) {
    size_t run = 0;
    for (size_t i = 0; i < verdicts.size(); ++i) {
        run = verdicts[i] == 1 ? run + 1 : 0;
        if (run == 31) return i - 30;
    }
    return verdicts.size();
}

void Feed(Harness &h, const std::vector<std::vector<int16_t>> &frames, bool result_flag) {
    bool flagged = false;
    for (const auto &frame : frames) {
        h.Audio(frame);
        if (result_flag && !flagged && !h.rec().starts.empty()) {
            mpf_sdi_result_flag_set(h.detector());
            flagged = true;
        }
        if (h.rec().Last()) break;
    }
}

TEST_P(RealSpeechTest, PhraseIsFramedAndCompletes) {
    const auto frames = Frames(GetParam());
    ASSERT_GT(frames.size(), 500u) << "espeak-ng and sox must be installed";
    Harness h;
    h.Init(MPF_SDI_MODE_SPEECH_DTMF, GetParam(), true, true);
    Feed(h, frames, false);

    ASSERT_EQ(1u, h.rec().starts.size());
    EXPECT_EQ(MPF_SDI_MODE_SPEECH, h.rec().starts[0].second);
    const size_t first = FirstStartRun(h.verdicts());
    ASSERT_GT(first, 50u);  // a second of silence leads
    EXPECT_EQ(first + 31, h.rec().starts[0].first);

    const SpeechCall *last = h.rec().Last();
    ASSERT_NE(nullptr, last);
    EXPECT_EQ(MPF_SDI_COMPLETION_CAUSE_SUCCESS, last->stats.completion_cause);
    // Completion came with the 301st unvoiced frame after the last voice.
    size_t trailing = 0;
    while (h.verdicts()[h.verdicts().size() - 1 - trailing] == 0) ++trailing;
    EXPECT_EQ(301u, trailing);
    EXPECT_EQ(h.TapeBytes(first - 5, h.tape().size() - 1), h.rec().Audio());
    EXPECT_EQ(h.rec().Audio().size(), last->stats.size);
    EXPECT_EQ(last->stats.size / h.FrameSize() * 10, last->stats.duration);
    EXPECT_TRUE(h.rec().noinput.empty());
    EXPECT_TRUE(h.rec().stops.empty());
}

TEST_P(RealSpeechTest, ResultFlagShortensTheEnd) {
    const auto frames = Frames(GetParam());
    ASSERT_GT(frames.size(), 500u);
    Harness h;
    h.Init(MPF_SDI_MODE_SPEECH, GetParam(), false, true);
    Feed(h, frames, true);
    const SpeechCall *last = h.rec().Last();
    ASSERT_NE(nullptr, last);
    size_t trailing = 0;
    while (h.verdicts()[h.verdicts().size() - 1 - trailing] == 0) ++trailing;
    EXPECT_EQ(101u, trailing);
    EXPECT_LT(h.tape().size() + 150, frames.size());
    const size_t first = FirstStartRun(h.verdicts());
    EXPECT_EQ(h.TapeBytes(first - 5, h.tape().size() - 1), h.rec().Audio());
}

TEST_P(RealSpeechTest, NoInputWhenOnlySilenceArrives) {
    const auto frames = Frames(GetParam());
    ASSERT_GT(frames.size(), 500u);
    Harness h;
    mpf_sdi_noinput_timeout_set(h.detector(), 500);
    h.Init(MPF_SDI_MODE_SPEECH_DTMF, GetParam(), true, true);
    // The leading second of the recording is silence.
    for (size_t i = 0; i < 60; ++i) h.Audio(frames[i]);
    EXPECT_EQ(std::vector<size_t>{50}, h.rec().noinput);
    EXPECT_TRUE(h.rec().starts.empty());
}

}  // namespace
