// Detector parameters: the configuration element, creation and what init makes.
#include <apr_xml.h>
#include <gtest/gtest.h>

#include <cstring>

#include "DetectorHarness.h"
#include "KoralRxLog.h"

using namespace KoralTest;

namespace {

class ParamsTest : public ::testing::Test {
  protected:
    void SetUp() override { mpf_sdi_params_init(&params_); }

    // Loads the attributes text of one speech-dtmf-input-detector element.
    void Load(const std::string &attributes) {
        const std::string xml = "<speech-dtmf-input-detector " + attributes + "/>";
        apr_xml_parser *parser = apr_xml_parser_create(pool_);
        apr_xml_doc *doc = nullptr;
        ASSERT_EQ(APR_SUCCESS, apr_xml_parser_feed(parser, xml.data(), xml.size()));
        ASSERT_EQ(APR_SUCCESS, apr_xml_parser_done(parser, &doc));
        EXPECT_EQ(TRUE, mpf_sdi_params_load(&params_, doc->root, pool_));
    }

    std::vector<std::string> Warnings() const {
        std::vector<std::string> found;
        for (const LogLine &line : log_.Lines()) {
            if (line.priority == APT_PRIO_WARNING) found.push_back(line.message);
        }
        return found;
    }

    LogCapture log_;
    KoralTest::AprPool apr_;
    apr_pool_t *const pool_ = apr_.get();
    mpf_sdi_params_t params_;
};

// An empty element keeps the defaults and logs nothing; every attribute is
// read, logged under the plugin's source, and reaches the detector.
TEST_F(ParamsTest, EveryAttributeReachesTheDetector) {
    Load("");
    EXPECT_TRUE(log_.Lines().empty());
    ASSERT_TRUE(apt_log_source_assign("KORAL-PLUGIN", &KORAL_PLUGIN));
    Load(
        "Input-Mode='dtmf' vad-mode='1' speech-start-timeout='200' "
        "SPEECH-COMPLETE-TIMEOUT='700' speech-incomplete-timeout='2500' noinput-timeout='8000' "
        "input-timeout='15000' dtmf-interdigit-timeout='3000' dtmf-term-timeout='2000' "
        "dtmf-term-char='*' dtmf-max-length='9' dtmf-min-length='2' dtmf-length='4' "
        "normalize-input='FALSE' speech-leading-silence='100' speech-trailing-silence='70' "
        "speech-output-period='40'");
    EXPECT_EQ(MPF_SDI_MODE_DTMF, params_.input_mode);
    const std::vector<LogLine> lines = log_.Lines();
    ASSERT_EQ(17u, lines.size());
    EXPECT_EQ("Load SDI Attribute: Input-Mode = dtmf", lines.front().message);
    EXPECT_EQ("Load SDI Attribute: speech-output-period = 40", lines.back().message);
    for (const LogLine &line : lines) {
        EXPECT_EQ(APT_PRIO_DEBUG, line.priority);
        EXPECT_EQ("KORAL-PLUGIN", line.source);
    }
    KORAL_PLUGIN = nullptr;

    // The values reach the detector; a bad VAD mode set later keeps the
    // configured one. Without framing there are no silence figures.
    params_.input_mode = MPF_SDI_MODE_SPEECH_DTMF;
    log_.Clear();
    {
        Harness h(&params_);
        mpf_sdi_vad_mode_set(h.detector(), 4);
        mpf_sdi_vad_mode_set(h.detector(), -1);
        h.Init(MPF_SDI_MODE_SPEECH_DTMF, 8000, true, true);
    }
    EXPECT_TRUE(log_.Has(
        "Init Speech Detector: frame-size=160, frame-count=4, vad-mode=1, noinput-timeout=8000 "
        "ms, input-timeout=15000 ms, start-timeout=200 ms, complete-timeout=700 ms, "
        "incomplete-timeout=2500 ms, interim-results=1, start-of-input=internal <ch-1>"));
    EXPECT_TRUE(
        log_.Has("Init DTMF Detector: interdigit-timeout=3000 ms, term-timeout=2000 ms, "
                 "term-char=*, length=4, min-length=2, max-length=9 <ch-1>"));
    EXPECT_TRUE(log_.Has("Start No-Input Timer [8000 ms] <ch-1>"));
    params_.normalize_input = TRUE;
    Harness h(&params_);
    h.Init(MPF_SDI_MODE_SPEECH, 16000, false, false);
    EXPECT_TRUE(log_.Has(
        "Init Speech Detector: frame-size=320, max-frame-count=280, output-frame-count=4, "
        "vad-mode=1, noinput-timeout=8000 ms, input-timeout=15000 ms, start-timeout=200 ms, "
        "complete-timeout=700 ms, incomplete-timeout=2500 ms, leading-silence=100 ms, "
        "trailing-silence=70 ms, interim-results=0, start-of-input=internal <ch-1>"));
    for (const LogLine &line : log_.Lines()) EXPECT_GT(line.priority, APT_PRIO_WARNING);
}

// Words in any case, first characters, later repeats; a value that cannot be
// read warns and leaves the setting as it was, an unknown attribute is skipped.
TEST_F(ParamsTest, ValuesAndTheirWarnings) {
    Load("input-mode='SPEECH'");
    EXPECT_EQ(MPF_SDI_MODE_SPEECH, params_.input_mode);
    Load("input-mode='None'");
    EXPECT_EQ(MPF_SDI_MODE_NONE, params_.input_mode);
    Load("input-mode='both'");
    EXPECT_EQ(MPF_SDI_MODE_SPEECH_DTMF, params_.input_mode);
    Load("dtmf-term-char='#*'");
    EXPECT_EQ('#', params_.dtmf_term_char);
    Load("dtmf-term-char=''");
    EXPECT_EQ(0, params_.dtmf_term_char);
    Load("noinput-timeout='100' NOINPUT-TIMEOUT='200'");
    EXPECT_EQ(200u, params_.noinput_timeout);
    Load("NOINPUT-TIMEOUT='300' noinput-timeout='400'");
    EXPECT_EQ(400u, params_.noinput_timeout);
    EXPECT_TRUE(Warnings().empty());

    Load("input-mode='voice' normalize-input='yes' vad-aggressiveness='3'");
    EXPECT_EQ(MPF_SDI_MODE_SPEECH_DTMF, params_.input_mode);
    EXPECT_EQ(TRUE, params_.normalize_input);
    EXPECT_EQ(2u, params_.vad_mode);
    EXPECT_TRUE(log_.Has("Load SDI Attribute: vad-aggressiveness = 3"));
    Load("normalize-input='false'");
    Load("normalize-input='1'");
    EXPECT_EQ(FALSE, params_.normalize_input);
    EXPECT_EQ(
        (std::vector<std::string>{"Unexpected Value <voice> for SDI Attribute <input-mode>",
                                  "Unexpected Value <yes> for Boolean Attribute <normalize-input>",
                                  "Unknown SDI Attribute <vad-aggressiveness>",
                                  "Unexpected Value <1> for Boolean Attribute <normalize-input>"}),
        Warnings());
}

// A detector is made only with every piece its modes need; names of values
// beyond the tables are given, never read past their end.
TEST(DetectorCreate, MissingPiecesGiveNoDetector) {
    EXPECT_STREQ("NONE", mpf_sdi_mode_str(static_cast<mpf_sdi_mode_e>(7)));
    EXPECT_STREQ("UNKNOWN", mpf_sdi_state_str(static_cast<mpf_sdi_state_e>(3)));
    EXPECT_STREQ("UNKNOWN", mpf_sdi_completion_cause_str(3));
    KoralTest::AprPool apr;
    apr_pool_t *pool = apr.get();
    int owner = 0;
    mpf_sdi_event_handlers_t all = RecordingHandlers();
    EXPECT_EQ(nullptr, mpf_sdi_detector_create(nullptr, &all, &owner, nullptr, pool));
    EXPECT_EQ(nullptr, mpf_sdi_detector_create("ch", nullptr, &owner, nullptr, pool));
    EXPECT_EQ(nullptr, mpf_sdi_detector_create("ch", &all, nullptr, nullptr, pool));
    for (int missing = 0; missing < 3; ++missing) {
        mpf_sdi_event_handlers_t handlers = all;
        if (missing == 0) handlers.on_noinput = nullptr;
        if (missing == 1) handlers.on_stop_complete = nullptr;
        if (missing == 2) handlers.on_start_of_input = nullptr;
        EXPECT_EQ(nullptr, mpf_sdi_detector_create("ch", &handlers, &owner, nullptr, pool));
    }
    mpf_sdi_params_t params;
    mpf_sdi_params_init(&params);
    mpf_sdi_event_handlers_t handlers = all;
    handlers.on_speech_input = nullptr;
    EXPECT_EQ(nullptr, mpf_sdi_detector_create("ch", &handlers, &owner, &params, pool));
    params.input_mode = MPF_SDI_MODE_DTMF;
    mpf_sdi_detector_t *dtmf_only = mpf_sdi_detector_create("ch", &handlers, &owner, &params, pool);
    ASSERT_NE(nullptr, dtmf_only);
    EXPECT_EQ(&owner, mpf_sdi_obj_get(dtmf_only));
    EXPECT_EQ(nullptr, dtmf_only->vad);
    handlers = all;
    handlers.on_dtmf_input = nullptr;
    EXPECT_EQ(nullptr, mpf_sdi_detector_create("ch", &handlers, &owner, &params, pool));
    params.input_mode = MPF_SDI_MODE_SPEECH;
    mpf_sdi_detector_t *speech_only =
        mpf_sdi_detector_create("ch", &handlers, &owner, &params, pool);
    ASSERT_NE(nullptr, speech_only);
    EXPECT_NE(nullptr, speech_only->vad);
    mpf_sdi_destroy(speech_only);
    EXPECT_EQ(nullptr, speech_only->vad);
    // Without mpf_sdi_destroy the pool releases everything.
}

// What a recognition's init makes: only the detectors the configuration
// allows; the frame buffer the timeouts ask for, reused when it fits and
// bounded whatever a client sets; nothing of speech at a rate it cannot
// take; with a zero output period audio still goes out, a frame at a time.
TEST(DetectorInit, DetectorsAndBuffersFollowTheSettings) {
    LogCapture log;
    mpf_sdi_params_t params;
    mpf_sdi_params_init(&params);
    params.input_mode = MPF_SDI_MODE_DTMF;
    Harness d(&params);
    d.Init(MPF_SDI_MODE_SPEECH_DTMF, 8000);
    EXPECT_TRUE(log.StartingWith("Init Speech Detector").empty());
    EXPECT_EQ(1u, log.StartingWith("Init DTMF Detector").size());
    for (int i = 0; i < 40; ++i) d.Voice();
    EXPECT_TRUE(d.rec().starts.empty());
    d.Init(MPF_SDI_MODE_SPEECH, 8000, true);
    // Nothing remains: idle, the no-input timer does not run.
    for (int i = 0; i < 1100; ++i) d.Empty();
    EXPECT_TRUE(d.rec().noinput.empty());

    log.Clear();
    Harness h(nullptr, "c9");
    h.Init(MPF_SDI_MODE_SPEECH, 8000, true, true);
    EXPECT_TRUE(log.Has(
        "Init Speech Detector: frame-size=160, max-frame-count=335, output-frame-count=8, "
        "vad-mode=2, noinput-timeout=10000 ms, input-timeout=20000 ms, start-timeout=300 ms, "
        "complete-timeout=1000 ms, incomplete-timeout=3000 ms, leading-silence=50 ms, "
        "trailing-silence=50 ms, interim-results=1, start-of-input=internal <c9>"));
    h.Empty();
    EXPECT_EQ(335u, h.detector()->frames.frame_count);
    EXPECT_EQ(160u, h.detector()->frames.frame_size);
    h.Init(MPF_SDI_MODE_SPEECH, 16000);
    h.Empty();
    const apr_byte_t *first = h.detector()->frames.buffer;
    h.Init(MPF_SDI_MODE_SPEECH, 8000);
    h.Empty();
    EXPECT_EQ(first, h.detector()->frames.buffer);
    mpf_sdi_speech_incomplete_timeout_set(h.detector(), 10000);
    h.Init(MPF_SDI_MODE_SPEECH, 16000);
    h.Empty();
    EXPECT_NE(first, h.detector()->frames.buffer);
    EXPECT_EQ(1035u, h.detector()->frames.frame_count);
    mpf_sdi_speech_incomplete_timeout_set(h.detector(), static_cast<apr_size_t>(-1));
    mpf_sdi_speech_complete_timeout_set(h.detector(), 4000000000u);
    h.Init(MPF_SDI_MODE_SPEECH, 16000);
    h.Empty();
    EXPECT_LE(h.detector()->frames.frame_count, 6000u);
    EXPECT_GE(h.detector()->frames.frame_count, 335u);

    mpf_sdi_init(h.detector(), MPF_SDI_MODE_SPEECH_DTMF, 0, FALSE, TRUE);
    EXPECT_TRUE(log.Has("Unsupported Sampling Rate [0 Hz] <c9>"));
    EXPECT_EQ(1u, log.StartingWith("Init DTMF Detector").size());

    params.speech_output_period = 0;
    params.normalize_input = FALSE;
    params.input_mode = MPF_SDI_MODE_SPEECH;
    Harness z(&params);
    z.Init(MPF_SDI_MODE_SPEECH, 8000);
    for (int i = 0; i < 10; ++i) z.Voice();
    EXPECT_EQ(10u, z.rec().speech.size());
}

}  // namespace
