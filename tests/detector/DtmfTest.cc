// DTMF detection: digit collection, lengths, terminating digit and timers.
#include <gtest/gtest.h>

#include "DetectorHarness.h"

using namespace KoralTest;

namespace {

class DtmfTest : public ::testing::Test {
  protected:
    LogCapture log_;
};

void ExpectDtmf(const Recorder &rec, const std::string &digits, int success,
                apr_uint32_t cause = MPF_SDI_COMPLETION_CAUSE_SUCCESS) {
    ASSERT_EQ(1u, rec.dtmf.size());
    const DtmfCall &call = rec.dtmf[0];
    EXPECT_EQ(digits, call.digits);
    EXPECT_EQ(digits.size(), call.count);
    EXPECT_EQ(success, call.success);
    EXPECT_EQ(MPF_SDI_STATE_COMPLETE, call.state);
    EXPECT_EQ(cause, call.stats.completion_cause);
    EXPECT_EQ(0u, call.stats.duration);
    EXPECT_EQ(0u, call.stats.size);
}

TEST_F(DtmfTest, MaximumLengthCompletesOnTheLastStartOfEvent) {
    Harness h;
    mpf_sdi_dtmf_length_set(h.detector(), 0, 0, 3);
    h.Init(MPF_SDI_MODE_SPEECH_DTMF, 8000);
    h.Key('1');
    ASSERT_EQ(1u, h.rec().starts.size());
    EXPECT_EQ(MPF_SDI_MODE_DTMF, h.rec().starts[0].second);
    h.Key('2');
    const uint32_t id = mpf_dtmf_char_to_event_id('3');
    h.Event(id, MPF_MARKER_START_OF_EVENT);
    ExpectDtmf(h.rec(), "123", 1);
    EXPECT_EQ(5u, h.rec().dtmf[0].frame);
    EXPECT_EQ(1u, h.rec().starts.size());
    EXPECT_TRUE(log_.Has("Detected Start of Event: id=1, digit=1 <ch-1>"));
    EXPECT_TRUE(log_.Has("Detected End of Event: id=2 duration=800 ts <ch-1>"));
    EXPECT_TRUE(log_.Has("Start Inter-Digit Timer [5000 ms] <ch-1>"));
    EXPECT_TRUE(log_.Has("DTMF Detector State Transition NO-INPUT -> IN-PROGRESS [0 ms] <ch-1>"));
    EXPECT_FALSE(
        log_.StartingWith("DTMF Detector State Transition IN-PROGRESS -> COMPLETE").empty());
    // Idle afterwards.
    h.Key('4');
    EXPECT_EQ(1u, h.rec().dtmf.size());
}

// Keys pressed under a length and terminating digit setting, and the end the
// detector reports once the last key is in.
struct KeyedCase {
    const char *m_Name;
    char m_Term;  // 0: none
    int m_Length, m_Min, m_Max;
    const char *m_Keys;
    const char *m_Digits;  // reported, the terminating digit left out
    int m_Success;
};
void PrintTo(const KeyedCase &c, std::ostream *os) { *os << c.m_Name; }

class DtmfLengthTest : public ::testing::TestWithParam<KeyedCase> {
  protected:
    LogCapture log_;
};

TEST_P(DtmfLengthTest, KeysEndAsTheLengthsSay) {
    const KeyedCase &c = GetParam();
    Harness h;
    if (c.m_Term != 0) mpf_sdi_dtmf_term_char_set(h.detector(), c.m_Term);
    mpf_sdi_dtmf_length_set(h.detector(), c.m_Length, c.m_Min, c.m_Max);
    h.Init(MPF_SDI_MODE_DTMF, 8000);
    // An unset terminating digit shows as a blank.
    EXPECT_TRUE(log_.Has(std::string("Init DTMF Detector: interdigit-timeout=5000 ms, ") +
                         "term-timeout=5000 ms, term-char=" + (c.m_Term ? c.m_Term : ' ') +
                         ", length=" + std::to_string(c.m_Length) +
                         ", min-length=" + std::to_string(c.m_Min) +
                         ", max-length=" + std::to_string(c.m_Max) + " <ch-1>"));
    for (const char *key = c.m_Keys; *key != 0; ++key) h.Key(*key);
    ExpectDtmf(h.rec(), c.m_Digits, c.m_Success);
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, DtmfLengthTest,
    ::testing::Values(KeyedCase{"ExactLength", 0, 2, 0, 0, "*#", "*#", 1},
                      KeyedCase{"TermBelowMinimum", '#', 0, 4, 0, "12#", "12", 0},
                      KeyedCase{"TermWithExactLengthUnmet", '#', 3, 0, 0, "1#", "1", 0},
                      KeyedCase{"TermAfterMinimum", '#', 0, 2, 0, "123#", "123", 1}),
    [](const ::testing::TestParamInfo<KeyedCase> &info) { return info.param.m_Name; });

// Once the minimum is reached the terminating timer, not the inter-digit
// timer, decides the end.
TEST_F(DtmfTest, TerminatingTimerRunsAfterTheMinimum) {
    Harness h;
    mpf_sdi_dtmf_length_set(h.detector(), 0, 2, 0);
    mpf_sdi_dtmf_term_timeout_set(h.detector(), 200);
    mpf_sdi_dtmf_interdigit_timeout_set(h.detector(), 10000);
    h.Init(MPF_SDI_MODE_DTMF, 8000);
    h.Key('1');
    EXPECT_TRUE(log_.Has("Start Inter-Digit Timer [10000 ms] <ch-1>"));
    h.Key('2');
    EXPECT_TRUE(log_.Has("Start Term Timer [200 ms] <ch-1>"));
    // The end-of-event frame counted 10 ms.
    for (int i = 0; i < 18; ++i) h.Empty();
    EXPECT_TRUE(h.rec().dtmf.empty());
    h.Empty();
    ExpectDtmf(h.rec(), "12", 1);
}

TEST_F(DtmfTest, InterDigitTimerJudgesTheLengths) {
    Harness h;
    mpf_sdi_dtmf_length_set(h.detector(), 3, 0, 0);
    mpf_sdi_dtmf_interdigit_timeout_set(h.detector(), 100);
    h.Init(MPF_SDI_MODE_DTMF, 8000);
    h.Key('9');
    h.Key('8');
    for (int i = 0; i < 8; ++i) h.Empty();
    EXPECT_TRUE(h.rec().dtmf.empty());
    h.Empty();
    ExpectDtmf(h.rec(), "98", 0);
}

TEST_F(DtmfTest, StartOfEventStopsTheTimers) {
    Harness h;
    mpf_sdi_dtmf_interdigit_timeout_set(h.detector(), 50);
    h.Init(MPF_SDI_MODE_DTMF, 8000);
    for (char digit : std::string("123456789")) {
        h.Key(digit);
        for (int i = 0; i < 2; ++i) h.Empty();
    }
    EXPECT_TRUE(h.rec().dtmf.empty());
    for (int i = 0; i < 2; ++i) h.Empty();
    ExpectDtmf(h.rec(), "123456789", 1);
}

TEST_F(DtmfTest, ManyDigitsAreKept) {
    Harness h;
    mpf_sdi_dtmf_term_char_set(h.detector(), '#');
    h.Init(MPF_SDI_MODE_DTMF, 8000);
    std::string typed;
    for (int i = 0; i < 300; ++i) {
        const char digit = "0123456789ABCD*"[i % 15];
        typed += digit;
        h.Key(digit);
    }
    h.Key('#');
    ExpectDtmf(h.rec(), typed, 1);
}

TEST_F(DtmfTest, DtmfStartEndsSpeechDetection) {
    Harness h;
    h.Init(MPF_SDI_MODE_SPEECH_DTMF, 16000);
    for (int i = 0; i < 10; ++i) h.Voice();
    h.Key('5');
    for (int i = 0; i < 60; ++i) h.Voice();
    ASSERT_EQ(1u, h.rec().starts.size());
    EXPECT_EQ(MPF_SDI_MODE_DTMF, h.rec().starts[0].second);
    EXPECT_TRUE(h.rec().speech.empty());
}

TEST_F(DtmfTest, SpeechStartEndsDtmfDetection) {
    Harness h;
    h.Init(MPF_SDI_MODE_SPEECH_DTMF, 8000);
    for (int i = 0; i < 31; ++i) h.Voice();
    ASSERT_EQ(1u, h.rec().starts.size());
    h.Key('5');
    EXPECT_EQ(1u, h.rec().starts.size());
    EXPECT_TRUE(h.rec().dtmf.empty());
}

TEST_F(DtmfTest, EventsWithoutADigitAreNotInput) {
    Harness h;
    h.Init(MPF_SDI_MODE_DTMF, 8000);
    h.Event(16, MPF_MARKER_START_OF_EVENT);
    h.Event(16, MPF_MARKER_END_OF_EVENT);
    EXPECT_TRUE(h.rec().starts.empty());
    h.Key('4');
    h.Event(40, MPF_MARKER_START_OF_EVENT);
    mpf_sdi_stop(h.detector());
    h.Empty();
    EXPECT_TRUE(h.rec().dtmf.empty());
    ASSERT_EQ(1u, h.rec().stops.size());
}

TEST_F(DtmfTest, InputTimerEndsDtmfInput) {
    Harness h;
    mpf_sdi_input_timeout_set(h.detector(), 100);
    mpf_sdi_dtmf_length_set(h.detector(), 0, 3, 0);
    h.Init(MPF_SDI_MODE_DTMF, 8000);
    h.Key('1');
    h.Key('2');
    // Counted from the first start of event: 40 ms so far.
    for (int i = 0; i < 5; ++i) h.Empty();
    EXPECT_TRUE(h.rec().dtmf.empty());
    h.Empty();
    ExpectDtmf(h.rec(), "12", 0, MPF_SDI_COMPLETION_CAUSE_TIMEDOUT);
}

TEST_F(DtmfTest, FrameWithAudioAndEventFeedsBothDetectors) {
    Harness h;
    h.Init(MPF_SDI_MODE_SPEECH_DTMF, 8000);
    std::vector<int16_t> samples = VoiceSource(8000).Next();
    mpf_frame_t frame = mpf_frame_t();
    frame.type = MEDIA_FRAME_TYPE_AUDIO | MEDIA_FRAME_TYPE_EVENT;
    frame.marker = MPF_MARKER_START_OF_EVENT;
    frame.codec_frame.buffer = samples.data();
    frame.codec_frame.size = samples.size() * 2;
    frame.event_frame.event_id = 7;
    mpf_sdi_process(h.detector(), &frame);
    ASSERT_EQ(1u, h.rec().starts.size());
    EXPECT_EQ(1u,
              log_.StartingWith("Start Detector State Probation NO-INPUT -> IN-PROGRESS").size());
    EXPECT_TRUE(log_.Has("Detected Start of Event: id=7, digit=7 <ch-1>"));
}

TEST_F(DtmfTest, StopDuringDtmfReportsEmptyStats) {
    Harness h;
    h.Init(MPF_SDI_MODE_SPEECH_DTMF, 8000);
    for (int i = 0; i < 40; ++i) h.Voice();
    h.Init(MPF_SDI_MODE_DTMF, 8000);
    h.Key('3');
    mpf_sdi_stop(h.detector());
    h.Empty();
    ASSERT_EQ(1u, h.rec().stops.size());
    EXPECT_EQ(MPF_SDI_COMPLETION_CAUSE_STOPPED, h.rec().stops[0].second.completion_cause);
    EXPECT_EQ(0u, h.rec().stops[0].second.size);
    EXPECT_EQ(0u, h.rec().stops[0].second.duration);
}

}  // namespace
