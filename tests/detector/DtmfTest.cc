// DTMF detection: digit collection, lengths, terminating digit and timers,
// and how DTMF and speech input end each other.
#include <gtest/gtest.h>

#include "DetectorHarness.h"

using namespace KoralTest;

namespace {

// Keys pressed under length, terminating digit and timer settings, and the
// end the detector reports. In a script a character is a whole key press
// (two frames), '.' an empty 10 ms frame and '!' the start of event of the
// next key alone: lengths and the terminating digit end input on a start of
// event. The end must come with the script's last frame.
struct KeyedCase {
    const char *m_Name;
    char m_Term;  // 0: none
    int m_Length, m_Min, m_Max;
    int m_Interdigit, m_TermTimeout, m_InputTimeout;  // 0: the default
    std::string m_Script;
    std::string m_Digits;  // reported, the terminating digit left out
    int m_Success;
    apr_uint32_t m_Cause;
};
void PrintTo(const KeyedCase &c, std::ostream *os) { *os << c.m_Name; }

class DtmfTest : public ::testing::TestWithParam<KeyedCase> {
  protected:
    LogCapture log_;
};

TEST_P(DtmfTest, KeysEndAsTheSettingsSay) {
    const KeyedCase &c = GetParam();
    Harness h;
    if (c.m_Term != 0) mpf_sdi_dtmf_term_char_set(h.detector(), c.m_Term);
    mpf_sdi_dtmf_length_set(h.detector(), c.m_Length, c.m_Min, c.m_Max);
    if (c.m_Interdigit) mpf_sdi_dtmf_interdigit_timeout_set(h.detector(), c.m_Interdigit);
    if (c.m_TermTimeout) mpf_sdi_dtmf_term_timeout_set(h.detector(), c.m_TermTimeout);
    if (c.m_InputTimeout) mpf_sdi_input_timeout_set(h.detector(), c.m_InputTimeout);
    h.Init(MPF_SDI_MODE_SPEECH_DTMF, 8000);
    // An unset terminating digit shows as a blank.
    EXPECT_TRUE(log_.Has(
        "Init DTMF Detector: interdigit-timeout=" +
        std::to_string(c.m_Interdigit ? c.m_Interdigit : 5000) +
        " ms, term-timeout=" + std::to_string(c.m_TermTimeout ? c.m_TermTimeout : 5000) +
        " ms, term-char=" + (c.m_Term ? c.m_Term : ' ') + ", length=" + std::to_string(c.m_Length) +
        ", min-length=" + std::to_string(c.m_Min) + ", max-length=" + std::to_string(c.m_Max) +
        " <ch-1>"));
    for (size_t i = 0; i < c.m_Script.size(); ++i) {
        EXPECT_TRUE(h.rec().dtmf.empty()) << "ended before step " << i;
        if (c.m_Script[i] == '.') {
            h.Empty();
        } else if (c.m_Script[i] == '!') {
            h.Event(mpf_dtmf_char_to_event_id(c.m_Script[++i]), MPF_MARKER_START_OF_EVENT);
        } else {
            h.Key(c.m_Script[i]);
        }
    }
    ASSERT_EQ(1u, h.rec().dtmf.size());
    const DtmfCall &call = h.rec().dtmf[0];
    EXPECT_EQ(h.rec().frame, call.frame);
    EXPECT_EQ(c.m_Digits, call.digits);
    EXPECT_EQ(c.m_Digits.size(), call.count);
    EXPECT_EQ(c.m_Success, call.success);
    EXPECT_EQ(MPF_SDI_STATE_COMPLETE, call.state);
    EXPECT_EQ(c.m_Cause, call.stats.completion_cause);
    EXPECT_EQ(0u, call.stats.duration);
    EXPECT_EQ(0u, call.stats.size);
    ASSERT_EQ(1u, h.rec().starts.size());
    EXPECT_EQ(MPF_SDI_MODE_DTMF, h.rec().starts[0].second);
    // Idle afterwards.
    h.Key('4');
    EXPECT_EQ(1u, h.rec().dtmf.size());
}

std::string ManyDigits() {
    std::string typed;
    for (int i = 0; i < 300; ++i) typed += "0123456789ABCD*"[i % 15];
    return typed;
}

const apr_uint32_t kSuccess = MPF_SDI_COMPLETION_CAUSE_SUCCESS;

INSTANTIATE_TEST_SUITE_P(
    Keys, DtmfTest,
    ::testing::Values(
        // The maximum completes on the last start of event.
        KeyedCase{"MaximumLength", 0, 0, 0, 3, 0, 0, 0, "12!3", "123", 1, kSuccess},
        KeyedCase{"ExactLength", 0, 2, 0, 0, 0, 0, 0, "*!#", "*#", 1, kSuccess},
        KeyedCase{"TermBelowMinimum", '#', 0, 4, 0, 0, 0, 0, "12!#", "12", 0, kSuccess},
        KeyedCase{"TermWithExactLengthUnmet", '#', 3, 0, 0, 0, 0, 0, "1!#", "1", 0, kSuccess},
        KeyedCase{"TermAfterMinimum", '#', 0, 2, 0, 0, 0, 0, "123!#", "123", 1, kSuccess},
        KeyedCase{"ManyDigitsAreKept", '#', 0, 0, 0, 0, 0, 0, ManyDigits() + "!#", ManyDigits(), 1,
                  kSuccess},
        // Once the minimum is reached the terminating timer, not the
        // inter-digit timer, decides the end (the end-of-event frame
        // counted 10 ms).
        KeyedCase{"TerminatingTimerAfterTheMinimum", 0, 0, 2, 0, 10000, 200, 0,
                  "12" + std::string(19, '.'), "12", 1, kSuccess},
        KeyedCase{"InterDigitTimerJudgesTheLengths", 0, 3, 0, 0, 100, 0, 0,
                  "98" + std::string(9, '.'), "98", 0, kSuccess},
        // A start of event stops the timers.
        KeyedCase{"KeysInTimeRestartTheTimer", 0, 0, 0, 0, 50, 0, 0,
                  "1..2..3..4..5..6..7..8..9....", "123456789", 1, kSuccess},
        // Counted from the first start of event.
        KeyedCase{"InputTimerEndsDtmfInput", 0, 0, 3, 0, 0, 0, 100, "12......", "12", 0,
                  MPF_SDI_COMPLETION_CAUSE_TIMEDOUT}),
    [](const ::testing::TestParamInfo<KeyedCase> &info) { return info.param.m_Name; });

// DTMF start ends speech detection and speech start ends DTMF detection; a
// frame with both audio and an event feeds both detectors.
TEST(DtmfAndSpeech, EachInputEndsTheOther) {
    LogCapture log;
    for (uint32_t rate : {8000u, 16000u}) {
        Harness h;
        h.Init(MPF_SDI_MODE_SPEECH_DTMF, rate);
        for (int i = 0; i < 10; ++i) h.Voice();
        h.Key('5');
        for (int i = 0; i < 60; ++i) h.Voice();
        ASSERT_EQ(1u, h.rec().starts.size());
        EXPECT_EQ(MPF_SDI_MODE_DTMF, h.rec().starts[0].second);
        EXPECT_TRUE(h.rec().speech.empty());
    }
    Harness h;
    h.Init(MPF_SDI_MODE_SPEECH_DTMF, 8000);
    for (int i = 0; i < 31; ++i) h.Voice();
    ASSERT_EQ(1u, h.rec().starts.size());
    h.Key('5');
    EXPECT_EQ(1u, h.rec().starts.size());
    EXPECT_TRUE(h.rec().dtmf.empty());

    log.Clear();
    Harness both;
    both.Init(MPF_SDI_MODE_SPEECH_DTMF, 8000);
    std::vector<int16_t> samples = VoiceSource(8000).Next();
    mpf_frame_t frame = mpf_frame_t();
    frame.type = MEDIA_FRAME_TYPE_AUDIO | MEDIA_FRAME_TYPE_EVENT;
    frame.marker = MPF_MARKER_START_OF_EVENT;
    frame.codec_frame.buffer = samples.data();
    frame.codec_frame.size = samples.size() * 2;
    frame.event_frame.event_id = 7;
    mpf_sdi_process(both.detector(), &frame);
    ASSERT_EQ(1u, both.rec().starts.size());
    EXPECT_EQ(MPF_SDI_MODE_DTMF, both.rec().starts[0].second);
    EXPECT_EQ(1u,
              log.StartingWith("Start Detector State Probation NO-INPUT -> IN-PROGRESS").size());
}

// Events that are no digit are not input; a stop during DTMF input reports
// empty stats, not those of the speech before it.
TEST(DtmfAndSpeech, OtherEventsAndStopDuringDtmf) {
    LogCapture log;
    Harness h;
    h.Init(MPF_SDI_MODE_SPEECH_DTMF, 8000);
    for (int i = 0; i < 40; ++i) h.Voice();
    ASSERT_EQ(1u, h.rec().starts.size());
    h.Init(MPF_SDI_MODE_DTMF, 8000);
    h.Event(16, MPF_MARKER_START_OF_EVENT);
    h.Event(16, MPF_MARKER_END_OF_EVENT);
    EXPECT_EQ(1u, h.rec().starts.size());
    h.Key('4');
    h.Event(40, MPF_MARKER_START_OF_EVENT);
    mpf_sdi_stop(h.detector());
    h.Empty();
    EXPECT_TRUE(h.rec().dtmf.empty());
    ASSERT_EQ(1u, h.rec().stops.size());
    EXPECT_EQ(MPF_SDI_COMPLETION_CAUSE_STOPPED, h.rec().stops[0].second.completion_cause);
    EXPECT_EQ(0u, h.rec().stops[0].second.size);
    EXPECT_EQ(0u, h.rec().stops[0].second.duration);
}

}  // namespace
