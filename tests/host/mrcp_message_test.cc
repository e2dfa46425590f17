// MRCP messages: creation, header presence, parse and serialize round trips
// of MRCPv2, and MRCPv1 text: start lines, renamed methods, events and
// headers, 0-100 scales and the cause numbering.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "mrcp_message_codec.h"

namespace {

class MrcpV2 : public ::testing::Test {
  protected:
    void SetUp() override { apr_pool_create(&pool_, nullptr); }
    void TearDown() override { apr_pool_destroy(pool_); }

    mrcp_message_t *Parse(const std::string &text) {
        const char *error = nullptr;
        mrcp_message_t *m = mrcp_message_parse(text.data(), text.size(), pool_, &error);
        EXPECT_NE(m, nullptr) << (error ? error : "") << "\n" << text;
        return m;
    }
    const char *ParseError(const std::string &text) {
        const char *error = nullptr;
        EXPECT_EQ(mrcp_message_parse(text.data(), text.size(), pool_, &error), nullptr) << text;
        return error ? error : "";
    }
    std::string Serialize(mrcp_message_t *m) {
        apr_size_t length = 0;
        const char *text = mrcp_message_serialize(m, pool_, &length);
        EXPECT_NE(text, nullptr);
        return text ? std::string(text, length) : "";
    }
    // Start line with the right message-length in front of rest.
    static std::string WithLength(const std::string &tail, const std::string &rest) {
        size_t total = 0;
        std::string text;
        for (int i = 0; i < 4; ++i) {
            text = "MRCP/2.0 " + std::to_string(total) + " " + tail + "\r\n" + rest;
            if (text.size() == total) break;
            total = text.size();
        }
        return text;
    }

    apr_pool_t *pool_ = nullptr;
};

// The composed example exchange of the protocol sheet, lengths and all.
const char kRecognize[] =
    "MRCP/2.0 192 RECOGNIZE 1\r\n"
    "Channel-Identifier:9d3f01a2b7@speechrecog\r\n"
    "Cancel-If-Queue:false\r\n"
    "No-Input-Timeout:5000\r\n"
    "Content-Type:text/uri-list\r\n"
    "Content-Length:28\r\n"
    "\r\n"
    "session:menu@example.store\r\n";

TEST_F(MrcpV2, ParsesTheExampleRequest) {
    mrcp_message_t *m = Parse(kRecognize);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->start_line.message_type, MRCP_MESSAGE_TYPE_REQUEST);
    EXPECT_EQ(m->start_line.version, MRCP_VERSION_2);
    EXPECT_EQ(m->start_line.length, 192u);
    EXPECT_EQ(m->start_line.method_id, (apr_size_t)RECOGNIZER_RECOGNIZE);
    EXPECT_STREQ(m->start_line.method_name.buf, "RECOGNIZE");
    EXPECT_EQ(m->start_line.request_id, 1u);
    EXPECT_EQ(std::string(m->channel_id.session_id.buf), "9d3f01a2b7");
    EXPECT_EQ(std::string(m->channel_id.resource_name.buf), "speechrecog");
    EXPECT_TRUE(mrcp_resource_header_property_check(m, RECOGNIZER_HEADER_CANCEL_IF_QUEUE));
    EXPECT_FALSE(mrcp_resource_header_get(m)->cancel_if_queue);
    EXPECT_EQ(mrcp_resource_header_get(m)->no_input_timeout, 5000u);
    EXPECT_FALSE(mrcp_resource_header_property_check(m, RECOGNIZER_HEADER_RECOGNITION_TIMEOUT));
    EXPECT_STREQ(mrcp_generic_header_get(m)->content_type.buf, "text/uri-list");
    EXPECT_EQ(mrcp_generic_header_get(m)->content_length, 28u);
    EXPECT_EQ(std::string(m->body.buf, m->body.length), "session:menu@example.store\r\n");
    EXPECT_EQ(Serialize(m), kRecognize);  // headers keep their order
}

TEST_F(MrcpV2, ResponseAndEventsOfTheExample) {
    mrcp_message_t *request = Parse(kRecognize);
    ASSERT_NE(request, nullptr);
    mrcp_message_t *response = mrcp_response_create(request, pool_);
    EXPECT_EQ(response->start_line.status_code, MRCP_STATUS_CODE_SUCCESS);
    EXPECT_EQ(response->start_line.request_state, MRCP_REQUEST_STATE_COMPLETE);
    response->start_line.request_state = MRCP_REQUEST_STATE_INPROGRESS;
    EXPECT_EQ(Serialize(response),
              "MRCP/2.0 76 1 200 IN-PROGRESS\r\nChannel-Identifier:9d3f01a2b7@speechrecog\r\n\r\n");

    mrcp_message_t *soi = mrcp_event_create(request, RECOGNIZER_START_OF_INPUT, pool_);
    apt_string_assign(&mrcp_resource_header_get(soi)->input_type, "speech", pool_);
    mrcp_resource_header_property_add(soi, RECOGNIZER_HEADER_INPUT_TYPE);
    apt_string_assign(&mrcp_generic_header_get(soi)->proxy_sync_id, "p1", pool_);
    mrcp_generic_header_property_add(soi, GENERIC_HEADER_PROXY_SYNC_ID);
    EXPECT_EQ(
        Serialize(soi),
        "MRCP/2.0 125 START-OF-INPUT 1 IN-PROGRESS\r\nChannel-Identifier:9d3f01a2b7@speechrecog\r\n"
        "Input-Type:speech\r\nProxy-Sync-Id:p1\r\n\r\n");

    const std::string nlsml =
        "<?xml version=\"1.0\"?>\r\n"
        "<result xmlns=\"urn:ietf:params:xml:ns:mrcpv2\" "
        "grammar=\"session:menu@example.store\">\r\n"
        " <interpretation confidence=\"0.87\">\r\n"
        "  <instance>billing</instance>\r\n"
        "  <input mode=\"speech\" confidence=\"0.87\">billing please</input>\r\n"
        " </interpretation>\r\n"
        "</result>\r\n";
    mrcp_message_t *rc = mrcp_event_create(request, RECOGNIZER_RECOGNITION_COMPLETE, pool_);
    rc->start_line.request_state = MRCP_REQUEST_STATE_COMPLETE;
    mrcp_resource_header_get(rc)->completion_cause = RECOGNIZER_COMPLETION_CAUSE_SUCCESS;
    mrcp_resource_header_property_add(rc, RECOGNIZER_HEADER_COMPLETION_CAUSE);
    apt_string_assign(&mrcp_generic_header_get(rc)->content_type, "application/nlsml+xml", pool_);
    mrcp_generic_header_property_add(rc, GENERIC_HEADER_CONTENT_TYPE);
    mrcp_message_body_set(rc, nlsml.data(), nlsml.size());
    std::string text = Serialize(rc);
    EXPECT_EQ(text.substr(0, text.find("\r\n\r\n") + 4),
              "MRCP/2.0 450 RECOGNITION-COMPLETE 1 "
              "COMPLETE\r\nChannel-Identifier:9d3f01a2b7@speechrecog\r\n"
              "Completion-Cause:000 "
              "success\r\nContent-Type:application/nlsml+xml\r\nContent-Length:273\r\n\r\n");
    EXPECT_EQ(text.size(), 450u);

    mrcp_message_t *back = Parse(text);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->start_line.message_type, MRCP_MESSAGE_TYPE_EVENT);
    EXPECT_EQ(back->start_line.method_id, (apr_size_t)RECOGNIZER_RECOGNITION_COMPLETE);
    EXPECT_EQ(std::string(back->body.buf, back->body.length), nlsml);
    EXPECT_EQ(mrcp_resource_header_get(back)->completion_cause,
              RECOGNIZER_COMPLETION_CAUSE_SUCCESS);
}

TEST_F(MrcpV2, MessageLengthAcrossDigitBoundaries) {
    // Bodies that move the total across 99/100 and 999/1000 bytes.
    for (size_t body = 0; body < 1100; body += 1) {
        mrcp_message_t *m = mrcp_request_create(MRCP_VERSION_2, RECOGNIZER_DEFINE_GRAMMAR, pool_);
        m->start_line.request_id = 7;
        mrcp_message_channel_id_set(m, "a@speechrecog");
        std::string b(body, 'x');
        if (body) mrcp_message_body_set(m, b.data(), b.size());
        std::string text = Serialize(m);
        ASSERT_EQ(m->start_line.length, text.size());
        mrcp_message_t *back = Parse(text);
        ASSERT_NE(back, nullptr);
        ASSERT_EQ(back->body.length, body);
    }
}

// Every generic and recognizer header of MRCPv2 with a value that writes back unchanged.
const std::vector<std::pair<const char *, const char *>> kAllV2Headers = {
    {"Active-Request-Id-List", "1,22,4294967295"},
    {"Proxy-Sync-Id", "p-77"},
    {"Accept-Charset", "utf-8"},
    {"Content-Type", "application/srgs+xml"},
    {"Content-ID", "<g1@form.example>"},
    {"Content-Base", "http://example.com/base/"},
    {"Content-Encoding", "gzip"},
    {"Content-Location", "http://example.com/g.grxml"},
    {"Cache-Control", "max-age=10"},
    {"Logging-Tag", "call-7"},
    {"Vendor-Specific-Parameters", "com.example.beam=4;com.example.x=y"},
    {"Accept", "application/nlsml+xml"},
    {"Fetch-Timeout", "9000"},
    {"Set-Cookie", "a=b"},
    {"Set-Cookie2", "c=d"},
    {"Confidence-Threshold", "0.75"},
    {"Sensitivity-Level", "0.5"},
    {"Speed-Vs-Accuracy", "0.25"},
    {"N-Best-List-Length", "3"},
    {"No-Input-Timeout", "5000"},
    {"Recognition-Timeout", "10000"},
    {"Waveform-URI", "<http://h/u.wav>;size=16000;duration=1000"},
    {"Completion-Cause", "015 no-match-maxtime"},
    {"Recognizer-Context-Block", "ctx-1"},
    {"Start-Input-Timers", "false"},
    {"Speech-Complete-Timeout", "800"},
    {"Speech-Incomplete-Timeout", "1200"},
    {"DTMF-Interdigit-Timeout", "5000"},
    {"DTMF-Term-Timeout", "10000"},
    {"DTMF-Term-Char", "#"},
    {"Failed-URI", "http://h/missing.grxml"},
    {"Failed-URI-Cause", "404"},
    {"Save-Waveform", "true"},
    {"New-Audio-Channel", "true"},
    {"Speech-Language", "de-DE"},
    {"Input-Type", "dtmf"},
    {"Input-Waveform-URI", "http://h/in.wav"},
    {"Completion-Reason", "\"timed out\""},
    {"Media-Type", "audio/x-wav"},
    {"Ver-Buffer-Utterance", "false"},
    {"Recognition-Mode", "hotword"},
    {"Cancel-If-Queue", "true"},
    {"Hotword-Max-Duration", "3000"},
    {"Hotword-Min-Duration", "100"},
    {"Interpret-Text", "I want billing"},
    {"DTMF-Buffer-Time", "2000"},
    {"Clear-DTMF-Buffer", "true"},
    {"Early-No-Match", "false"},
    {"Num-Min-Consistent-Pronunciations", "2"},
    {"Consistency-Threshold", "0.6"},
    {"Clash-Threshold", "0.0"},
    {"Personal-Grammar-URI", "http://h/pg"},
    {"Enroll-Utterance", "true"},
    {"Phrase-ID", "ph1"},
    {"Phrase-NL", "call home"},
    {"Weight", "2.5"},
    {"Save-Best-Waveform", "true"},
    {"New-Phrase-ID", "ph2"},
    {"Confusable-Phrases-URI", "http://h/conf"},
    {"Abort-Phrase-Enrollment", "false"},
    {"X-Unknown-Header", "kept as text"},
};

TEST_F(MrcpV2, EveryHeaderRoundTrips) {
    std::string rest = "Channel-Identifier:abc@speechrecog\r\n";
    for (const auto &h : kAllV2Headers) rest += std::string(h.first) + ":" + h.second + "\r\n";
    rest += "Content-Length:5\r\n\r\nhello";
    std::string text = WithLength("GET-PARAMS 42", rest);
    mrcp_message_t *m = Parse(text);
    ASSERT_NE(m, nullptr);
    for (int id = 1; id < GENERIC_HEADER_COUNT; ++id)
        EXPECT_TRUE(mrcp_generic_header_property_check(m, id))
            << mrcp_generic_header_name_get((mrcp_generic_header_id)id, MRCP_VERSION_2);
    for (int id = 0; id < RECOGNIZER_HEADER_COUNT; ++id)
        EXPECT_TRUE(mrcp_resource_header_property_check(m, id))
            << mrcp_recog_header_name_get((mrcp_recognizer_header_id)id, MRCP_VERSION_2);
    EXPECT_EQ(m->header.other.count, 1u);
    EXPECT_EQ(Serialize(m), text);

    const mrcp_recog_header_t *r = mrcp_resource_header_get(m);
    const mrcp_generic_header_t *g = mrcp_generic_header_get(m);
    EXPECT_FLOAT_EQ(r->confidence_threshold, 0.75f);
    EXPECT_FLOAT_EQ(r->speed_vs_accuracy, 0.25f);
    EXPECT_EQ(r->n_best_list_length, 3u);
    EXPECT_EQ(r->completion_cause, RECOGNIZER_COMPLETION_CAUSE_NO_MATCH_MAXTIME);
    EXPECT_FALSE(r->start_input_timers);
    EXPECT_TRUE(r->save_waveform);
    EXPECT_EQ(r->dtmf_term_char, '#');
    EXPECT_STREQ(r->speech_language.buf, "de-DE");
    EXPECT_STREQ(r->interpret_text.buf, "I want billing");
    EXPECT_FLOAT_EQ(r->weight, 2.5f);
    EXPECT_EQ(g->active_request_id_list.count, 3u);
    EXPECT_EQ(g->active_request_id_list.ids[2], 4294967295u);
    EXPECT_EQ(g->fetch_timeout, 9000u);
    EXPECT_STREQ(g->content_id.buf, "<g1@form.example>");
}

TEST_F(MrcpV2, HeaderNamesAreCaseInsensitiveAndValuesTrimmed) {
    std::string text = WithLength("RECOGNIZE 3",
                                  "channel-identifier: x@speechrecog\r\ndtmf-term-char:   \r\n"
                                  "SPEECH-LANGUAGE:  en-US  \r\nstart-input-timers: TRUE\r\n\r\n");
    mrcp_message_t *m = Parse(text);
    ASSERT_NE(m, nullptr);
    EXPECT_TRUE(mrcp_resource_header_property_check(m, RECOGNIZER_HEADER_DTMF_TERM_CHAR));
    EXPECT_EQ(mrcp_resource_header_get(m)->dtmf_term_char, '\0');  // present, empty
    EXPECT_STREQ(mrcp_resource_header_get(m)->speech_language.buf, "en-US");
    EXPECT_TRUE(mrcp_resource_header_get(m)->start_input_timers);
}

TEST_F(MrcpV2, RepeatedHeadersJoin) {
    std::string text =
        WithLength("STOP 9",
                   "Channel-Identifier:x@speechrecog\r\nActive-Request-Id-List:1\r\n"
                   "Active-Request-Id-List:2,3\r\nLogging-Tag:a\r\nLogging-Tag:b\r\n\r\n");
    mrcp_message_t *m = Parse(text);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(mrcp_generic_header_get(m)->active_request_id_list.count, 3u);
    EXPECT_STREQ(mrcp_generic_header_get(m)->logging_tag.buf, "a,b");
}

TEST_F(MrcpV2, ToleratedStrayStatusCodes) {
    mrcp_message_t *stop =
        Parse(WithLength("STOP 543258 200", "Channel-Identifier:x@speechrecog\r\n\r\n"));
    ASSERT_NE(stop, nullptr);
    EXPECT_EQ(stop->start_line.message_type, MRCP_MESSAGE_TYPE_REQUEST);
    EXPECT_EQ(stop->start_line.method_id, (apr_size_t)RECOGNIZER_STOP);
    mrcp_message_t *ic = Parse(WithLength("INTERPRETATION-COMPLETE 543266 200 COMPLETE",
                                          "Channel-Identifier:x@speechrecog\r\n\r\n"));
    ASSERT_NE(ic, nullptr);
    EXPECT_EQ(ic->start_line.message_type, MRCP_MESSAGE_TYPE_EVENT);
    EXPECT_EQ(ic->start_line.request_state, MRCP_REQUEST_STATE_COMPLETE);
    // Never written back with the stray code.
    EXPECT_EQ(Serialize(stop).find("200"), std::string::npos);
}

// Any three-digit status code reads and writes back, the ones no
// enumerator names too.
TEST_F(MrcpV2, EveryThreeDigitStatusCodeRoundTrips) {
    for (const char *code : {"100", "200", "504", "600", "999"}) {
        const std::string text = WithLength(std::string("7 ") + code + " COMPLETE",
                                            "Channel-Identifier:x@speechrecog\r\n\r\n");
        mrcp_message_t *m = Parse(text);
        ASSERT_NE(m, nullptr) << code;
        EXPECT_EQ(static_cast<int>(m->start_line.status_code), atoi(code));
        EXPECT_EQ(Serialize(m), text);
    }
}

TEST_F(MrcpV2, LeadingZerosInMessageLengthAreDecimal) {
    std::string text =
        "MRCP/2.0 00000000 START-INPUT-TIMERS 10\r\nChannel-Identifier:x@speechrecog\r\n\r\n";
    char digits[16];
    snprintf(digits, sizeof(digits), "%08zu", text.size());
    text.replace(9, 8, digits);
    mrcp_message_t *m = Parse(text);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->start_line.method_id, (apr_size_t)RECOGNIZER_START_INPUT_TIMERS);
}

TEST_F(MrcpV2, PropertyAddCheckRemoveKeepOrder) {
    mrcp_message_t *m = mrcp_request_create(MRCP_VERSION_2, RECOGNIZER_SET_PARAMS, pool_);
    mrcp_message_channel_id_set(m, "s@speechrecog");
    mrcp_recog_header_t *r = mrcp_resource_header_get(m);
    r->no_input_timeout = 3000;
    r->recognition_timeout = 9000;
    EXPECT_TRUE(mrcp_resource_header_property_add(m, RECOGNIZER_HEADER_RECOGNITION_TIMEOUT));
    EXPECT_TRUE(mrcp_resource_header_property_add(m, RECOGNIZER_HEADER_NO_INPUT_TIMEOUT));
    EXPECT_TRUE(
        mrcp_resource_header_property_add(m, RECOGNIZER_HEADER_NO_INPUT_TIMEOUT));  // once only
    EXPECT_FALSE(mrcp_resource_header_property_add(m, RECOGNIZER_HEADER_COUNT));
    EXPECT_FALSE(mrcp_generic_header_property_check(m, 99));
    std::string text = Serialize(m);
    EXPECT_NE(text.find("Recognition-Timeout:9000\r\nNo-Input-Timeout:3000\r\n"), std::string::npos)
        << text;
    EXPECT_TRUE(mrcp_resource_header_property_remove(m, RECOGNIZER_HEADER_RECOGNITION_TIMEOUT));
    EXPECT_FALSE(mrcp_resource_header_property_check(m, RECOGNIZER_HEADER_RECOGNITION_TIMEOUT));
    text = Serialize(m);
    EXPECT_EQ(text.find("Recognition-Timeout"), std::string::npos);
    EXPECT_TRUE(mrcp_resource_header_any(m));
}

// GET-PARAMS names the parameters it asks for with empty values: such a name
// travels and round-trips, but counts as no value until one is given.
TEST_F(MrcpV2, EmptyValuesNameHeaders) {
    const std::string rest =
        "Channel-Identifier:x@speechrecog\r\nNo-Input-Timeout:\r\nConfidence-Threshold:\r\n"
        "Fetch-Timeout:\r\nSpeech-Language:\r\nX-Other:\r\n\r\n";
    std::string text = WithLength("GET-PARAMS 3", rest);
    mrcp_message_t *m = Parse(text);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(Serialize(m), text);
    EXPECT_FALSE(mrcp_resource_header_property_check(m, RECOGNIZER_HEADER_NO_INPUT_TIMEOUT));
    EXPECT_TRUE(mrcp_resource_header_empty_check(m, RECOGNIZER_HEADER_NO_INPUT_TIMEOUT));
    EXPECT_TRUE(mrcp_resource_header_empty_check(m, RECOGNIZER_HEADER_CONFIDENCE_THRESHOLD));
    EXPECT_TRUE(mrcp_generic_header_empty_check(m, GENERIC_HEADER_FETCH_TIMEOUT));
    EXPECT_FALSE(mrcp_generic_header_property_check(m, GENERIC_HEADER_FETCH_TIMEOUT));
    EXPECT_TRUE(mrcp_resource_header_property_check(m, RECOGNIZER_HEADER_SPEECH_LANGUAGE));
    EXPECT_FALSE(mrcp_resource_header_empty_check(m, RECOGNIZER_HEADER_SPEECH_LANGUAGE));
    // A value given later takes the name's place; removing it removes both.
    EXPECT_TRUE(mrcp_message_header_add(m, "No-Input-Timeout", "3000"));
    EXPECT_TRUE(mrcp_resource_header_property_check(m, RECOGNIZER_HEADER_NO_INPUT_TIMEOUT));
    EXPECT_FALSE(mrcp_resource_header_empty_check(m, RECOGNIZER_HEADER_NO_INPUT_TIMEOUT));
    EXPECT_NE(
        Serialize(m).find("x@speechrecog\r\nNo-Input-Timeout:3000\r\nConfidence-Threshold:\r\n"),
        std::string::npos)
        << Serialize(m);
    EXPECT_TRUE(mrcp_resource_header_property_remove(m, RECOGNIZER_HEADER_CONFIDENCE_THRESHOLD));
    EXPECT_FALSE(mrcp_resource_header_empty_check(m, RECOGNIZER_HEADER_CONFIDENCE_THRESHOLD));
    EXPECT_EQ(Serialize(m).find("Confidence-Threshold"), std::string::npos);
}

TEST_F(MrcpV2, IllegalValuesAndBrokenFramingFail) {
    const char *base = "Channel-Identifier:x@speechrecog\r\n";
    ParseError(WithLength("RECOGNIZE 1", std::string(base) + "No-Input-Timeout:abc\r\n\r\n"));
    ParseError(WithLength("RECOGNIZE 1", std::string(base) + "No-Input-Timeout:-5\r\n\r\n"));
    ParseError(WithLength("RECOGNIZE 1",
                          std::string(base) + "No-Input-Timeout:99999999999999999999\r\n\r\n"));
    ParseError(WithLength("RECOGNIZE 1", std::string(base) + "Confidence-Threshold:1.5\r\n\r\n"));
    ParseError(WithLength("RECOGNIZE 1", std::string(base) + "Confidence-Threshold:0.5.5\r\n\r\n"));
    ParseError(WithLength("RECOGNIZE 1", std::string(base) + "Save-Waveform:yes\r\n\r\n"));
    ParseError(WithLength("RECOGNIZE 1", std::string(base) + "DTMF-Term-Char:##\r\n\r\n"));
    ParseError(WithLength("RECOGNIZE 1", std::string(base) + "Completion-Cause:017 nope\r\n\r\n"));
    ParseError(
        WithLength("RECOGNIZE 1", std::string(base) + "Active-Request-Id-List:1,,2\r\n\r\n"));
    ParseError(
        WithLength("RECOGNIZE 1", std::string(base) + "Active-Request-Id-List:4294967296\r\n\r\n"));
    ParseError(WithLength("RECOGNIZE 1", "Channel-Identifier:no-at-sign\r\n\r\n"));
    ParseError(WithLength("RECOGNIZE 4294967296", std::string(base) + "\r\n"));
    ParseError(WithLength("FLY 1", std::string(base) + "\r\n"));
    ParseError(WithLength("1 2000 COMPLETE", std::string(base) + "\r\n"));  // status not 3 digits
    ParseError(WithLength("1 200 DONE", std::string(base) + "\r\n"));       // bad state
    ParseError(
        WithLength("START-OF-INPUT 1", std::string(base) + "\r\n"));  // a request name? no: event
    ParseError(WithLength("RECOGNIZE 1", std::string(base) + "Content-Length:10\r\n\r\nshort"));
    ParseError(WithLength("RECOGNIZE 1", std::string(base) + "\r\nbody without length"));
    ParseError("MRCP/2.0 10 RECOGNIZE 1\r\n\r\n");  // wrong length
    ParseError("MRCP/3.0 30 RECOGNIZE 1\r\n\r\n");
    ParseError("MRCP/2.0 x RECOGNIZE 1\r\n\r\n");
    ParseError("");
}

TEST_F(MrcpV2, ResponseAndEventOfUnknownThingsAreRefused) {
    mrcp_message_t *request = mrcp_request_create(MRCP_VERSION_2, RECOGNIZER_RECOGNIZE, pool_);
    EXPECT_EQ(mrcp_event_create(request, RECOGNIZER_EVENT_COUNT, pool_), nullptr);
    EXPECT_EQ(mrcp_event_create(nullptr, 0, pool_), nullptr);
    EXPECT_EQ(mrcp_response_create(nullptr, pool_), nullptr);
    EXPECT_EQ(mrcp_request_create(MRCP_VERSION_2, RECOGNIZER_METHOD_COUNT, pool_), nullptr);
    mrcp_message_t *blank = mrcp_message_create(pool_);
    EXPECT_EQ(mrcp_message_serialize(blank, pool_, nullptr), nullptr);
}

TEST_F(MrcpV2, HeaderValuesCannotForgeLines) {
    mrcp_message_t *m = mrcp_request_create(MRCP_VERSION_2, RECOGNIZER_RECOGNIZE, pool_);
    mrcp_message_channel_id_set(m, "x@speechrecog");
    apt_string_assign(&mrcp_resource_header_get(m)->speech_language, "en\r\nFake: 1", pool_);
    mrcp_resource_header_property_add(m, RECOGNIZER_HEADER_SPEECH_LANGUAGE);
    std::string text = Serialize(m);
    EXPECT_NE(text.find("Speech-Language:en  Fake: 1\r\n"), std::string::npos) << text;
    mrcp_message_t *back = Parse(text);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->header.other.count, 0u);
}

TEST(MrcpCompletionCause, NamesPerVersion) {
    struct Row {
        mrcp_recog_completion_cause_e cause;
        const char *v2;
        int v1_code;
        const char *v1;
    };
    const Row rows[] = {
        {RECOGNIZER_COMPLETION_CAUSE_SUCCESS, "success", 0, "success"},
        {RECOGNIZER_COMPLETION_CAUSE_NO_MATCH, "no-match", 1, "no-match"},
        {RECOGNIZER_COMPLETION_CAUSE_NO_INPUT_TIMEOUT, "no-input-timeout", 2, "no-input-timeout"},
        {RECOGNIZER_COMPLETION_CAUSE_HOTWORD_MAXTIME, "hotword-maxtime", 3, "recognition-timeout"},
        {RECOGNIZER_COMPLETION_CAUSE_GRAMMAR_LOAD_FAILURE, "grammar-load-failure", 4,
         "gram-load-failure"},
        {RECOGNIZER_COMPLETION_CAUSE_GRAMMAR_COMPILATION_FAILURE, "grammar-compilation-failure", 5,
         "gram-comp-failure"},
        {RECOGNIZER_COMPLETION_CAUSE_RECOGNIZER_ERROR, "recognizer-error", 6, "error"},
        {RECOGNIZER_COMPLETION_CAUSE_SPEECH_TOO_EARLY, "speech-too-early", 7, "speech-too-early"},
        {RECOGNIZER_COMPLETION_CAUSE_SUCCESS_MAXTIME, "success-maxtime", 8,
         "too-much-speech-timeout"},
        {RECOGNIZER_COMPLETION_CAUSE_URI_FAILURE, "uri-failure", 9, "uri-failure"},
        {RECOGNIZER_COMPLETION_CAUSE_LANGUAGE_UNSUPPORTED, "language-unsupported", 10,
         "language-unsupported"},
        {RECOGNIZER_COMPLETION_CAUSE_CANCELLED, "cancelled", 6, "error"},
        {RECOGNIZER_COMPLETION_CAUSE_SEMANTICS_FAILURE, "semantics-failure", 1, "no-match"},
        {RECOGNIZER_COMPLETION_CAUSE_PARTIAL_MATCH, "partial-match", 1, "no-match"},
        {RECOGNIZER_COMPLETION_CAUSE_PARTIAL_MATCH_MAXTIME, "partial-match-maxtime", 3,
         "recognition-timeout"},
        {RECOGNIZER_COMPLETION_CAUSE_NO_MATCH_MAXTIME, "no-match-maxtime", 3,
         "recognition-timeout"},
        {RECOGNIZER_COMPLETION_CAUSE_GRAMMAR_DEFINITION_FAILURE, "grammar-definition-failure", 4,
         "gram-load-failure"},
    };
    for (const Row &row : rows) {
        const apt_str_t *v2 = mrcp_recog_completion_cause_get(row.cause, MRCP_VERSION_2);
        const apt_str_t *v1 = mrcp_recog_completion_cause_get(row.cause, MRCP_VERSION_1);
        ASSERT_NE(v2, nullptr);
        ASSERT_NE(v1, nullptr);
        EXPECT_STREQ(v2->buf, row.v2);
        EXPECT_EQ(v2->length, strlen(row.v2));
        EXPECT_STREQ(v1->buf, row.v1);
        EXPECT_EQ(mrcp_recog_completion_cause_code_get(row.cause, MRCP_VERSION_2), (int)row.cause);
        EXPECT_EQ(mrcp_recog_completion_cause_code_get(row.cause, MRCP_VERSION_1), row.v1_code);
    }
    EXPECT_EQ(mrcp_recog_completion_cause_get(RECOGNIZER_COMPLETION_CAUSE_UNKNOWN, MRCP_VERSION_2),
              nullptr);
    EXPECT_EQ(mrcp_recog_completion_cause_get((mrcp_recog_completion_cause_e)-1, MRCP_VERSION_1),
              nullptr);
    EXPECT_EQ(
        mrcp_recog_completion_cause_get(RECOGNIZER_COMPLETION_CAUSE_SUCCESS, MRCP_VERSION_UNKNOWN),
        nullptr);
}

// MRCPv1 text, through the same codec.
class MrcpV1 : public MrcpV2 {};

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
