// MRCPv1 text: start lines, renamed methods, events and headers, 0-100 scales and
// the cause numbering.
#include <gtest/gtest.h>

#include <string>

#include "mrcp_message_codec.h"

namespace {

class MrcpV1 : public ::testing::Test {
  protected:
    void SetUp() override { apr_pool_create(&pool_, nullptr); }
    void TearDown() override { apr_pool_destroy(pool_); }

    mrcp_message_t *Parse(const std::string &text) {
        const char *error = nullptr;
        mrcp_message_t *m = mrcp_message_parse(text.data(), text.size(), pool_, &error);
        EXPECT_NE(m, nullptr) << (error ? error : "") << "\n" << text;
        return m;
    }
    std::string Serialize(mrcp_message_t *m) {
        apr_size_t length = 0;
        const char *text = mrcp_message_serialize(m, pool_, &length);
        EXPECT_NE(text, nullptr);
        return text ? std::string(text, length) : "";
    }
    apr_pool_t *pool_ = nullptr;
};

TEST_F(MrcpV1, RequestWithRenamedHeadersAndScales) {
    const std::string text =
        "RECOGNIZE 7 MRCP/1.0\r\n"
        "Confidence-Threshold:90\r\n"
        "Sensitivity-Level:50\r\n"
        "Speed-Vs-Accuracy:30\r\n"
        "Recognizer-Start-Timers:false\r\n"
        "Content-Id:<g1@x>\r\n"
        "Fetch-Timeout:2000\r\n"
        "Content-Type:application/grammar+xml\r\n"
        "Content-Length:6\r\n"
        "\r\n"
        "<x/>\r\n";
    mrcp_message_t *m = Parse(text);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->start_line.version, MRCP_VERSION_1);
    EXPECT_EQ(m->start_line.message_type, MRCP_MESSAGE_TYPE_REQUEST);
    EXPECT_EQ(m->start_line.request_id, 7u);
    const mrcp_recog_header_t *r = mrcp_resource_header_get(m);
    EXPECT_FLOAT_EQ(r->confidence_threshold, 0.9f);
    EXPECT_FLOAT_EQ(r->sensitivity_level, 0.5f);
    EXPECT_FLOAT_EQ(r->speed_vs_accuracy, 0.7f);  // MRCPv1 counts toward speed
    EXPECT_TRUE(mrcp_resource_header_property_check(m, RECOGNIZER_HEADER_START_INPUT_TIMERS));
    EXPECT_FALSE(r->start_input_timers);
    EXPECT_STREQ(mrcp_generic_header_get(m)->content_id.buf, "<g1@x>");
    EXPECT_EQ(mrcp_generic_header_get(m)->fetch_timeout, 2000u);
    EXPECT_EQ(Serialize(m), text);
}

TEST_F(MrcpV1, RenamedMethodAndEvent) {
    mrcp_message_t *timers = Parse("RECOGNITION-START-TIMERS 9 MRCP/1.0\r\n\r\n");
    ASSERT_NE(timers, nullptr);
    EXPECT_EQ(timers->start_line.method_id, (apr_size_t)RECOGNIZER_START_INPUT_TIMERS);
    const char *error = nullptr;
    EXPECT_EQ(mrcp_message_parse("START-INPUT-TIMERS 9 MRCP/1.0\r\n\r\n", 33, pool_, &error),
              nullptr);
    EXPECT_EQ(mrcp_message_parse("INTERPRET 9 MRCP/1.0\r\n\r\n", 24, pool_, &error), nullptr);

    mrcp_message_t *request = Parse("RECOGNIZE 12 MRCP/1.0\r\n\r\n");
    ASSERT_NE(request, nullptr);
    mrcp_message_t *sos = mrcp_event_create(request, RECOGNIZER_START_OF_INPUT, pool_);
    ASSERT_NE(sos, nullptr);
    EXPECT_STREQ(sos->start_line.method_name.buf, "START-OF-SPEECH");
    EXPECT_EQ(Serialize(sos), "START-OF-SPEECH 12 IN-PROGRESS MRCP/1.0\r\n\r\n");
    EXPECT_EQ(mrcp_event_create(request, RECOGNIZER_INTERPRETATION_COMPLETE, pool_), nullptr);

    mrcp_message_t *back = Parse("START-OF-SPEECH 12 IN-PROGRESS MRCP/1.0\r\n\r\n");
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->start_line.message_type, MRCP_MESSAGE_TYPE_EVENT);
    EXPECT_EQ(back->start_line.method_id, (apr_size_t)RECOGNIZER_START_OF_INPUT);
}

TEST_F(MrcpV1, ResponseHasNoLengthAndNoChannelIdentifier) {
    mrcp_message_t *request = Parse("STOP 3 MRCP/1.0\r\n\r\n");
    ASSERT_NE(request, nullptr);
    mrcp_message_channel_id_set(request, "abc@speechrecog");  // ignored in MRCPv1 text
    mrcp_message_t *response = mrcp_response_create(request, pool_);
    mrcp_generic_header_get(response)->active_request_id_list.ids[0] = 2;
    mrcp_generic_header_get(response)->active_request_id_list.count = 1;
    mrcp_generic_header_property_add(response, GENERIC_HEADER_ACTIVE_REQUEST_ID_LIST);
    std::string text = Serialize(response);
    EXPECT_EQ(text, "MRCP/1.0 3 200 COMPLETE\r\nActive-Request-Id-List:2\r\n\r\n");
    mrcp_message_t *back = Parse(text);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->start_line.message_type, MRCP_MESSAGE_TYPE_RESPONSE);
    EXPECT_EQ(back->start_line.status_code, MRCP_STATUS_CODE_SUCCESS);
}

TEST_F(MrcpV1, CompletionCauseAndWaveformUrl) {
    mrcp_message_t *request = Parse("RECOGNIZE 5 MRCP/1.0\r\n\r\n");
    ASSERT_NE(request, nullptr);
    mrcp_message_t *rc = mrcp_event_create(request, RECOGNIZER_RECOGNITION_COMPLETE, pool_);
    rc->start_line.request_state = MRCP_REQUEST_STATE_COMPLETE;
    mrcp_recog_header_t *r = mrcp_resource_header_get(rc);
    r->completion_cause = RECOGNIZER_COMPLETION_CAUSE_NO_MATCH_MAXTIME;
    mrcp_resource_header_property_add(rc, RECOGNIZER_HEADER_COMPLETION_CAUSE);
    apt_string_assign(&r->waveform_uri, "http://h/u.wav", pool_);
    mrcp_resource_header_property_add(rc, RECOGNIZER_HEADER_WAVEFORM_URI);
    // A header MRCPv1 lacks is left out of its text.
    apt_string_assign(&r->input_type, "speech", pool_);
    mrcp_resource_header_property_add(rc, RECOGNIZER_HEADER_INPUT_TYPE);
    std::string text = Serialize(rc);
    EXPECT_EQ(
        text,
        "RECOGNITION-COMPLETE 5 COMPLETE MRCP/1.0\r\nCompletion-Cause:003 recognition-timeout\r\n"
        "Waveform-URL:http://h/u.wav\r\n\r\n");
    mrcp_message_t *back = Parse(text);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(mrcp_resource_header_get(back)->completion_cause,
              RECOGNIZER_COMPLETION_CAUSE_NO_MATCH_MAXTIME);
    EXPECT_STREQ(mrcp_resource_header_get(back)->waveform_uri.buf, "http://h/u.wav");
    const char *error = nullptr;
    const std::string bad =
        "RECOGNITION-COMPLETE 5 COMPLETE MRCP/1.0\r\nCompletion-Cause:011 cancelled\r\n\r\n";
    EXPECT_EQ(mrcp_message_parse(bad.data(), bad.size(), pool_, &error), nullptr);
}

TEST_F(MrcpV1, IntegerScalesOnly) {
    const char *error = nullptr;
    const std::string fractional = "RECOGNIZE 1 MRCP/1.0\r\nConfidence-Threshold:0.5\r\n\r\n";
    EXPECT_EQ(mrcp_message_parse(fractional.data(), fractional.size(), pool_, &error), nullptr);
    const std::string over = "RECOGNIZE 1 MRCP/1.0\r\nSensitivity-Level:101\r\n\r\n";
    EXPECT_EQ(mrcp_message_parse(over.data(), over.size(), pool_, &error), nullptr);
}

TEST_F(MrcpV1, BareLineEndsAndBodyByContentLength) {
    mrcp_message_t *m = Parse("DEFINE-GRAMMAR 4 MRCP/1.0\nContent-Id:g\nContent-Length:3\n\nabc");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(std::string(m->body.buf, m->body.length), "abc");
    m = Parse("DEFINE-GRAMMAR 4 MRCP/1.0\rContent-Length:0\r\r");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->body.length, 0u);
}

}  // namespace
