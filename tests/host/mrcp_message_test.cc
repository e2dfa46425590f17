// The MRCP codec: the protocol sheet's example exchange, every header written
// back unchanged, the message-length across digit boundaries, the quirks a
// peer's text may have, every kind of malformed text refused, MRCPv1's
// renamed methods, events, headers, scales and causes, and text at the
// parser's limits. Mutated and truncated messages are the mrcp_message fuzz
// smoke test's (ctest runs it over fuzz/host/corpus).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mrcp_message_codec.h"

namespace {

class MrcpCodec : public ::testing::Test {
  protected:
    void SetUp() override { apr_pool_create(&pool_, nullptr); }
    void TearDown() override { apr_pool_destroy(pool_); }

    // Parses a private heap copy, so that ASan sees any read beyond it.
    mrcp_message_t *TryParse(const std::string &text, const char **error) {
        copies_.emplace_back(text.begin(), text.end());
        std::vector<char> &copy = copies_.back();
        return mrcp_message_parse(copy.empty() ? nullptr : copy.data(), copy.size(), pool_, error);
    }
    mrcp_message_t *Parse(const std::string &text) {
        const char *error = nullptr;
        mrcp_message_t *m = TryParse(text, &error);
        EXPECT_NE(m, nullptr) << (error ? error : "") << "\n" << text;
        return m;
    }
    std::string Serialize(mrcp_message_t *m) {
        apr_size_t length = 0;
        const char *text = mrcp_message_serialize(m, pool_, &length);
        EXPECT_NE(text, nullptr);
        return text ? std::string(text, length) : "";
    }
    // An MRCPv2 start line with the right message-length in front of rest.
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
    std::vector<std::vector<char>> copies_;
};

const char kChannel[] = "Channel-Identifier:x@speechrecog\r\n";

// The composed example exchange of the protocol sheet, lengths and all:
// the request parsed and written back in its header order, its response and
// events written, and the RECOGNITION-COMPLETE read back.
TEST_F(MrcpCodec, ExampleExchange) {
    const std::string recognize =
        "MRCP/2.0 192 RECOGNIZE 1\r\n"
        "Channel-Identifier:9d3f01a2b7@speechrecog\r\n"
        "Cancel-If-Queue:false\r\n"
        "No-Input-Timeout:5000\r\n"
        "Content-Type:text/uri-list\r\n"
        "Content-Length:28\r\n"
        "\r\n"
        "session:menu@example.store\r\n";
    mrcp_message_t *request = Parse(recognize);
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(request->start_line.message_type, MRCP_MESSAGE_TYPE_REQUEST);
    EXPECT_EQ(request->start_line.method_id, (apr_size_t)RECOGNIZER_RECOGNIZE);
    EXPECT_EQ(request->start_line.request_id, 1u);
    EXPECT_EQ(std::string(request->channel_id.session_id.buf), "9d3f01a2b7");
    EXPECT_EQ(std::string(request->channel_id.resource_name.buf), "speechrecog");
    EXPECT_FALSE(mrcp_resource_header_get(request)->cancel_if_queue);
    EXPECT_EQ(mrcp_resource_header_get(request)->no_input_timeout, 5000u);
    EXPECT_FALSE(
        mrcp_resource_header_property_check(request, RECOGNIZER_HEADER_RECOGNITION_TIMEOUT));
    EXPECT_EQ(std::string(request->body.buf, request->body.length),
              "session:menu@example.store\r\n");
    EXPECT_EQ(Serialize(request), recognize);

    mrcp_message_t *response = mrcp_response_create(request, pool_);
    EXPECT_EQ(response->start_line.status_code, MRCP_STATUS_CODE_SUCCESS);
    response->start_line.request_state = MRCP_REQUEST_STATE_INPROGRESS;
    EXPECT_EQ(Serialize(response),
              "MRCP/2.0 76 1 200 IN-PROGRESS\r\nChannel-Identifier:9d3f01a2b7@speechrecog\r\n\r\n");

    mrcp_message_t *soi = mrcp_event_create(request, RECOGNIZER_START_OF_INPUT, pool_);
    apt_string_assign(&mrcp_resource_header_get(soi)->input_type, "speech", pool_);
    mrcp_resource_header_property_add(soi, RECOGNIZER_HEADER_INPUT_TYPE);
    EXPECT_EQ(Serialize(soi),
              "MRCP/2.0 107 START-OF-INPUT 1 IN-PROGRESS\r\n"
              "Channel-Identifier:9d3f01a2b7@speechrecog\r\nInput-Type:speech\r\n\r\n");

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
    const std::string text = Serialize(rc);
    EXPECT_EQ(text.substr(0, text.find("\r\n\r\n") + 4),
              "MRCP/2.0 450 RECOGNITION-COMPLETE 1 COMPLETE\r\n"
              "Channel-Identifier:9d3f01a2b7@speechrecog\r\nCompletion-Cause:000 success\r\n"
              "Content-Type:application/nlsml+xml\r\nContent-Length:273\r\n\r\n");
    EXPECT_EQ(text.size(), 450u);
    mrcp_message_t *back = Parse(text);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->start_line.message_type, MRCP_MESSAGE_TYPE_EVENT);
    EXPECT_EQ(back->start_line.method_id, (apr_size_t)RECOGNIZER_RECOGNITION_COMPLETE);
    EXPECT_EQ(std::string(back->body.buf, back->body.length), nlsml);

    // A message-length that moves across 99/100 and 999/1000 bytes.
    for (size_t body = 0; body < 1100; ++body) {
        mrcp_message_t *m = mrcp_request_create(MRCP_VERSION_2, RECOGNIZER_DEFINE_GRAMMAR, pool_);
        mrcp_message_channel_id_set(m, "a@speechrecog");
        const std::string b(body, 'x');
        if (body) mrcp_message_body_set(m, b.data(), b.size());
        const std::string written = Serialize(m);
        ASSERT_EQ(m->start_line.length, written.size()) << body;
        mrcp_message_t *again = Parse(written);
        ASSERT_NE(again, nullptr) << body;
        ASSERT_EQ(again->body.length, body);
    }
}

// Every generic and recognizer header of MRCPv2 with a value that writes back unchanged.
const char kAllV2Headers[] =
    "Active-Request-Id-List:1,22,4294967295\r\nProxy-Sync-Id:p-77\r\nAccept-Charset:utf-8\r\n"
    "Content-Type:application/srgs+xml\r\nContent-ID:<g1@form.example>\r\n"
    "Content-Base:http://example.com/base/\r\nContent-Encoding:gzip\r\n"
    "Content-Location:http://example.com/g.grxml\r\nCache-Control:max-age=10\r\n"
    "Logging-Tag:call-7\r\nVendor-Specific-Parameters:com.example.beam=4;com.example.x=y\r\n"
    "Accept:application/nlsml+xml\r\nFetch-Timeout:9000\r\nSet-Cookie:a=b\r\n"
    "Set-Cookie2:c=d\r\nConfidence-Threshold:0.75\r\nSensitivity-Level:0.5\r\n"
    "Speed-Vs-Accuracy:0.25\r\nN-Best-List-Length:3\r\nNo-Input-Timeout:5000\r\n"
    "Recognition-Timeout:10000\r\nWaveform-URI:<http://h/u.wav>;size=16000;duration=1000\r\n"
    "Completion-Cause:015 no-match-maxtime\r\nRecognizer-Context-Block:ctx-1\r\n"
    "Start-Input-Timers:false\r\nSpeech-Complete-Timeout:800\r\n"
    "Speech-Incomplete-Timeout:1200\r\nDTMF-Interdigit-Timeout:5000\r\n"
    "DTMF-Term-Timeout:10000\r\nDTMF-Term-Char:#\r\nFailed-URI:http://h/missing.grxml\r\n"
    "Failed-URI-Cause:404\r\nSave-Waveform:true\r\nNew-Audio-Channel:true\r\n"
    "Speech-Language:de-DE\r\nInput-Type:dtmf\r\nInput-Waveform-URI:http://h/in.wav\r\n"
    "Completion-Reason:\"timed out\"\r\nMedia-Type:audio/x-wav\r\n"
    "Ver-Buffer-Utterance:false\r\nRecognition-Mode:hotword\r\nCancel-If-Queue:true\r\n"
    "Hotword-Max-Duration:3000\r\nHotword-Min-Duration:100\r\n"
    "Interpret-Text:I want billing\r\nDTMF-Buffer-Time:2000\r\nClear-DTMF-Buffer:true\r\n"
    "Early-No-Match:false\r\nNum-Min-Consistent-Pronunciations:2\r\n"
    "Consistency-Threshold:0.6\r\nClash-Threshold:0.0\r\nPersonal-Grammar-URI:http://h/pg\r\n"
    "Enroll-Utterance:true\r\nPhrase-ID:ph1\r\nPhrase-NL:call home\r\nWeight:2.5\r\n"
    "Save-Best-Waveform:true\r\nNew-Phrase-ID:ph2\r\nConfusable-Phrases-URI:http://h/conf\r\n"
    "Abort-Phrase-Enrollment:false\r\nX-Unknown-Header:kept as text\r\n";

TEST_F(MrcpCodec, EveryHeaderRoundTrips) {
    const std::string rest = std::string("Channel-Identifier:abc@speechrecog\r\n") + kAllV2Headers +
                             "Content-Length:5\r\n\r\nhello";
    const std::string text = WithLength("GET-PARAMS 42", rest);
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
    EXPECT_FLOAT_EQ(r->confidence_threshold, 0.75f);
    EXPECT_EQ(r->completion_cause, RECOGNIZER_COMPLETION_CAUSE_NO_MATCH_MAXTIME);
    EXPECT_FALSE(r->start_input_timers);
    EXPECT_EQ(r->dtmf_term_char, '#');
    EXPECT_EQ(mrcp_generic_header_get(m)->active_request_id_list.ids[2], 4294967295u);
}

// What a peer's text may look like beyond the plain form: each parses, and
// writes back as it came unless said otherwise.
TEST_F(MrcpCodec, PeerTextQuirks) {
    {
        SCOPED_TRACE("names in any case, values trimmed, an empty DTMF-Term-Char present");
        mrcp_message_t *m =
            Parse(WithLength("RECOGNIZE 3",
                             "channel-identifier: x@speechrecog\r\ndtmf-term-char:   \r\n"
                             "SPEECH-LANGUAGE:  en-US  \r\nstart-input-timers: TRUE\r\n\r\n"));
        ASSERT_NE(m, nullptr);
        EXPECT_TRUE(mrcp_resource_header_property_check(m, RECOGNIZER_HEADER_DTMF_TERM_CHAR));
        EXPECT_EQ(mrcp_resource_header_get(m)->dtmf_term_char, '\0');
        EXPECT_STREQ(mrcp_resource_header_get(m)->speech_language.buf, "en-US");
        EXPECT_TRUE(mrcp_resource_header_get(m)->start_input_timers);
    }
    {
        SCOPED_TRACE("repeated headers join");
        mrcp_message_t *m = Parse(WithLength(
            "STOP 9", std::string(kChannel) + "Active-Request-Id-List:1\r\n"
                                              "Active-Request-Id-List:2,3\r\nLogging-Tag:a\r\n"
                                              "Logging-Tag:b\r\n\r\n"));
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(mrcp_generic_header_get(m)->active_request_id_list.count, 3u);
        EXPECT_STREQ(mrcp_generic_header_get(m)->logging_tag.buf, "a,b");
    }
    {
        SCOPED_TRACE("a stray status code after a request or event, never written back");
        mrcp_message_t *stop = Parse(WithLength("STOP 543258 200", std::string(kChannel) + "\r\n"));
        ASSERT_NE(stop, nullptr);
        EXPECT_EQ(stop->start_line.method_id, (apr_size_t)RECOGNIZER_STOP);
        EXPECT_EQ(Serialize(stop).find("200"), std::string::npos);
        mrcp_message_t *ic = Parse(WithLength("INTERPRETATION-COMPLETE 543266 200 COMPLETE",
                                              std::string(kChannel) + "\r\n"));
        ASSERT_NE(ic, nullptr);
        EXPECT_EQ(ic->start_line.message_type, MRCP_MESSAGE_TYPE_EVENT);
    }
    // Status codes 505 to 999 once failed to parse: any three digits read
    // and write back, the ones no enumerator names too.
    for (const char *code : {"100", "504", "600", "999"}) {
        SCOPED_TRACE(code);
        const std::string text =
            WithLength(std::string("7 ") + code + " COMPLETE", std::string(kChannel) + "\r\n");
        mrcp_message_t *m = Parse(text);
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(std::to_string(m->start_line.status_code), code);
        EXPECT_EQ(Serialize(m), text);
    }
    {
        SCOPED_TRACE("leading zeros in the message-length are decimal");
        std::string text =
            "MRCP/2.0 00000000 START-INPUT-TIMERS 10\r\n" + std::string(kChannel) + "\r\n";
        const std::string digits = std::to_string(text.size());
        text.replace(17 - digits.size(), digits.size(), digits);
        ASSERT_NE(Parse(text), nullptr);
    }
    {
        // GET-PARAMS names the parameters it asks for with empty values:
        // such a name travels and writes back, but counts as no value until
        // one is given; removing the header removes both.
        SCOPED_TRACE("empty values name headers");
        const std::string text =
            WithLength("GET-PARAMS 3", std::string(kChannel) +
                                           "No-Input-Timeout:\r\nConfidence-Threshold:\r\n"
                                           "Fetch-Timeout:\r\nX-Other:\r\n\r\n");
        mrcp_message_t *m = Parse(text);
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(Serialize(m), text);
        EXPECT_FALSE(mrcp_resource_header_property_check(m, RECOGNIZER_HEADER_NO_INPUT_TIMEOUT));
        EXPECT_TRUE(mrcp_resource_header_empty_check(m, RECOGNIZER_HEADER_NO_INPUT_TIMEOUT));
        EXPECT_TRUE(mrcp_generic_header_empty_check(m, GENERIC_HEADER_FETCH_TIMEOUT));
        EXPECT_TRUE(mrcp_message_header_add(m, "No-Input-Timeout", "3000"));
        EXPECT_TRUE(mrcp_resource_header_property_check(m, RECOGNIZER_HEADER_NO_INPUT_TIMEOUT));
        EXPECT_FALSE(mrcp_resource_header_empty_check(m, RECOGNIZER_HEADER_NO_INPUT_TIMEOUT));
        EXPECT_NE(Serialize(m).find(
                      "x@speechrecog\r\nNo-Input-Timeout:3000\r\nConfidence-Threshold:\r\n"),
                  std::string::npos)
            << Serialize(m);
        EXPECT_TRUE(
            mrcp_resource_header_property_remove(m, RECOGNIZER_HEADER_CONFIDENCE_THRESHOLD));
        EXPECT_FALSE(mrcp_resource_header_empty_check(m, RECOGNIZER_HEADER_CONFIDENCE_THRESHOLD));
        EXPECT_EQ(Serialize(m).find("Confidence-Threshold"), std::string::npos);
    }
    {
        SCOPED_TRACE("a header value cannot forge a line");
        mrcp_message_t *m = mrcp_request_create(MRCP_VERSION_2, RECOGNIZER_RECOGNIZE, pool_);
        mrcp_message_channel_id_set(m, "x@speechrecog");
        apt_string_assign(&mrcp_resource_header_get(m)->speech_language, "en\r\nFake: 1", pool_);
        mrcp_resource_header_property_add(m, RECOGNIZER_HEADER_SPEECH_LANGUAGE);
        const std::string text = Serialize(m);
        EXPECT_NE(text.find("Speech-Language:en  Fake: 1\r\n"), std::string::npos) << text;
        mrcp_message_t *back = Parse(text);
        ASSERT_NE(back, nullptr);
        EXPECT_EQ(back->header.other.count, 0u);
    }
}

TEST_F(MrcpCodec, MalformedTextAndUnknownThingsAreRefused) {
    const std::string base = kChannel;
    const std::vector<std::string> refused = {
        WithLength("RECOGNIZE 1", base + "No-Input-Timeout:abc\r\n\r\n"),
        WithLength("RECOGNIZE 1", base + "No-Input-Timeout:-5\r\n\r\n"),
        WithLength("RECOGNIZE 1", base + "No-Input-Timeout:99999999999999999999\r\n\r\n"),
        WithLength("RECOGNIZE 1", base + "Confidence-Threshold:1.5\r\n\r\n"),
        WithLength("RECOGNIZE 1", base + "Confidence-Threshold:0.5.5\r\n\r\n"),
        WithLength("RECOGNIZE 1", base + "Save-Waveform:yes\r\n\r\n"),
        WithLength("RECOGNIZE 1", base + "DTMF-Term-Char:##\r\n\r\n"),
        WithLength("RECOGNIZE 1", base + "Completion-Cause:017 nope\r\n\r\n"),
        WithLength("RECOGNIZE 1", base + "Active-Request-Id-List:1,,2\r\n\r\n"),
        WithLength("RECOGNIZE 1", base + "Active-Request-Id-List:4294967296\r\n\r\n"),
        WithLength("RECOGNIZE 1", "Channel-Identifier:no-at-sign\r\n\r\n"),
        WithLength("RECOGNIZE 4294967296", base + "\r\n"),
        WithLength("FLY 1", base + "\r\n"),
        WithLength("1 2000 COMPLETE", base + "\r\n"),   // status not 3 digits
        WithLength("1 200 DONE", base + "\r\n"),        // bad state
        WithLength("START-OF-INPUT 1", base + "\r\n"),  // an event without its state
        WithLength("RECOGNIZE 1", base + "Content-Length:10\r\n\r\nshort"),
        WithLength("RECOGNIZE 1", base + "\r\nbody without length"),
        "MRCP/2.0 10 RECOGNIZE 1\r\n\r\n",  // wrong length
        "MRCP/3.0 30 RECOGNIZE 1\r\n\r\n",
        "MRCP/2.0 x RECOGNIZE 1\r\n\r\n",
        "MRCP/2.0 99999999999999999999999 RECOGNIZE 1\r\n\r\n",
        "",
        // MRCPv1: names it does not have, integer 0-100 scales, its own causes.
        "START-INPUT-TIMERS 9 MRCP/1.0\r\n\r\n",
        "INTERPRET 9 MRCP/1.0\r\n\r\n",
        "RECOGNIZE 1 MRCP/1.0\r\nConfidence-Threshold:0.5\r\n\r\n",
        "RECOGNIZE 1 MRCP/1.0\r\nSensitivity-Level:101\r\n\r\n",
        "RECOGNITION-COMPLETE 5 COMPLETE MRCP/1.0\r\nCompletion-Cause:011 cancelled\r\n\r\n",
    };
    for (const std::string &text : refused) {
        const char *error = nullptr;
        EXPECT_EQ(TryParse(text, &error), nullptr) << text;
        EXPECT_NE(error, nullptr) << text;
    }
    const char *error = nullptr;
    EXPECT_EQ(mrcp_message_parse("x", MRCP_MESSAGE_MAX_LENGTH + 1, pool_, &error), nullptr);

    mrcp_message_t *request = mrcp_request_create(MRCP_VERSION_2, RECOGNIZER_RECOGNIZE, pool_);
    EXPECT_EQ(mrcp_event_create(request, RECOGNIZER_EVENT_COUNT, pool_), nullptr);
    EXPECT_EQ(mrcp_event_create(nullptr, 0, pool_), nullptr);
    EXPECT_EQ(mrcp_response_create(nullptr, pool_), nullptr);
    EXPECT_EQ(mrcp_request_create(MRCP_VERSION_2, RECOGNIZER_METHOD_COUNT, pool_), nullptr);
    EXPECT_EQ(mrcp_message_serialize(mrcp_message_create(pool_), pool_, nullptr), nullptr);
}

// Text at the parser's limits: too many header fields, more request ids
// than the list holds, and one very long value.
TEST_F(MrcpCodec, Limits) {
    std::string many = "RECOGNIZE 1 MRCP/1.0\r\n";
    for (int i = 0; i < 2000; ++i) many += "X-H" + std::to_string(i) + ":v\r\n";
    const char *why = nullptr;
    EXPECT_EQ(TryParse(many + "\r\n", &why), nullptr);
    EXPECT_STREQ(why, "more than 1024 header fields");
    std::string ids = "STOP 1 MRCP/1.0\r\nActive-Request-Id-List:";
    for (int i = 0; i < 100; ++i) ids += std::to_string(i) + ",";
    EXPECT_EQ(TryParse(ids + "1\r\n\r\n", &why), nullptr);
    const std::string value(100000, 'a');
    mrcp_message_t *m = Parse("RECOGNIZE 1 MRCP/1.0\r\nSpeech-Language:" + value + "\r\n\r\n");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(mrcp_resource_header_get(m)->speech_language.buf, value);
}

// MRCPv1 text through the same codec: renamed headers and the method, the
// 0-100 scales (Speed-Vs-Accuracy counting toward speed), bare line ends, and
// written events with renamed names, headers and folded causes.
TEST_F(MrcpCodec, MrcpV1) {
    const std::string text =
        "RECOGNIZE 7 MRCP/1.0\r\n"
        "Confidence-Threshold:90\r\n"
        "Sensitivity-Level:50\r\n"
        "Speed-Vs-Accuracy:30\r\n"
        "Recognizer-Start-Timers:false\r\n"
        "Content-Id:<g1@x>\r\n"
        "Content-Type:application/grammar+xml\r\n"
        "Content-Length:6\r\n"
        "\r\n"
        "<x/>\r\n";
    mrcp_message_t *m = Parse(text);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->start_line.version, MRCP_VERSION_1);
    EXPECT_EQ(m->start_line.request_id, 7u);
    const mrcp_recog_header_t *r = mrcp_resource_header_get(m);
    EXPECT_FLOAT_EQ(r->confidence_threshold, 0.9f);
    EXPECT_FLOAT_EQ(r->sensitivity_level, 0.5f);
    EXPECT_FLOAT_EQ(r->speed_vs_accuracy, 0.7f);
    EXPECT_TRUE(mrcp_resource_header_property_check(m, RECOGNIZER_HEADER_START_INPUT_TIMERS));
    EXPECT_FALSE(r->start_input_timers);
    EXPECT_STREQ(mrcp_generic_header_get(m)->content_id.buf, "<g1@x>");
    EXPECT_EQ(Serialize(m), text);

    mrcp_message_t *timers = Parse("RECOGNITION-START-TIMERS 9 MRCP/1.0\r\n\r\n");
    ASSERT_NE(timers, nullptr);
    EXPECT_EQ(timers->start_line.method_id, (apr_size_t)RECOGNIZER_START_INPUT_TIMERS);
    mrcp_message_t *bare =
        Parse("DEFINE-GRAMMAR 4 MRCP/1.0\nContent-Id:g\nContent-Length:3\n\nabc");
    ASSERT_NE(bare, nullptr);
    EXPECT_EQ(std::string(bare->body.buf, bare->body.length), "abc");
    ASSERT_NE(Parse("DEFINE-GRAMMAR 4 MRCP/1.0\rContent-Length:0\r\r"), nullptr);

    mrcp_message_t *request = Parse("RECOGNIZE 5 MRCP/1.0\r\n\r\n");
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(mrcp_event_create(request, RECOGNIZER_INTERPRETATION_COMPLETE, pool_), nullptr);
    mrcp_message_t *rc = mrcp_event_create(request, RECOGNIZER_RECOGNITION_COMPLETE, pool_);
    rc->start_line.request_state = MRCP_REQUEST_STATE_COMPLETE;
    mrcp_recog_header_t *h = mrcp_resource_header_get(rc);
    h->completion_cause = RECOGNIZER_COMPLETION_CAUSE_NO_MATCH_MAXTIME;
    mrcp_resource_header_property_add(rc, RECOGNIZER_HEADER_COMPLETION_CAUSE);
    apt_string_assign(&h->waveform_uri, "http://h/u.wav", pool_);
    mrcp_resource_header_property_add(rc, RECOGNIZER_HEADER_WAVEFORM_URI);
    const std::string event = Serialize(rc);
    EXPECT_EQ(
        event,
        "RECOGNITION-COMPLETE 5 COMPLETE MRCP/1.0\r\nCompletion-Cause:003 recognition-timeout\r\n"
        "Waveform-URL:http://h/u.wav\r\n\r\n");
    mrcp_message_t *back = Parse(event);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(mrcp_resource_header_get(back)->completion_cause,
              RECOGNIZER_COMPLETION_CAUSE_NO_MATCH_MAXTIME);
    EXPECT_STREQ(mrcp_resource_header_get(back)->waveform_uri.buf, "http://h/u.wav");

    // MRCPv2 causes MRCPv1 lacks fold into the nearest one it has.
    const struct {
        mrcp_recog_completion_cause_e cause;
        int code;
        const char *name;
    } folded[] = {
        {RECOGNIZER_COMPLETION_CAUSE_HOTWORD_MAXTIME, 3, "recognition-timeout"},
        {RECOGNIZER_COMPLETION_CAUSE_GRAMMAR_COMPILATION_FAILURE, 5, "gram-comp-failure"},
        {RECOGNIZER_COMPLETION_CAUSE_CANCELLED, 6, "error"},
        {RECOGNIZER_COMPLETION_CAUSE_SUCCESS_MAXTIME, 8, "too-much-speech-timeout"},
        {RECOGNIZER_COMPLETION_CAUSE_PARTIAL_MATCH, 1, "no-match"},
        {RECOGNIZER_COMPLETION_CAUSE_GRAMMAR_DEFINITION_FAILURE, 4, "gram-load-failure"},
    };
    for (const auto &f : folded) {
        const apt_str_t *name = mrcp_recog_completion_cause_get(f.cause, MRCP_VERSION_1);
        ASSERT_NE(name, nullptr) << f.name;
        EXPECT_STREQ(name->buf, f.name);
        EXPECT_EQ(mrcp_recog_completion_cause_code_get(f.cause, MRCP_VERSION_1), f.code);
    }
    EXPECT_EQ(mrcp_recog_completion_cause_get(RECOGNIZER_COMPLETION_CAUSE_UNKNOWN, MRCP_VERSION_2),
              nullptr);
}

}  // namespace
