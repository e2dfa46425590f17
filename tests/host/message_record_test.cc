// What vantor-host prints for a plugin's message, as text and as JSON.
#include "message_record.h"

#include <gtest/gtest.h>

#include "json_writer.h"

namespace {

TEST(JsonString, EscapesAndRepairsUtf8) {
    EXPECT_EQ(vantor::JsonString("a\"b\\c\r\n\t\x01"), "\"a\\\"b\\\\c\\r\\n\\t\\u0001\"");
    EXPECT_EQ(vantor::JsonString("h\xc3\xa9llo \xe2\x82\xac"), "\"h\xc3\xa9llo \xe2\x82\xac\"");
    EXPECT_EQ(vantor::JsonString("bad \xff \xc3 \xed\xa0\x80"),
              "\"bad \\ufffd \\ufffd \\ufffd\\ufffd\\ufffd\"");
    EXPECT_EQ(vantor::JsonString(std::string("nul\0x", 5)), "\"nul\\u0000x\"");
}

class Record : public ::testing::Test {
  protected:
    void SetUp() override { apr_pool_create(&pool_, nullptr); }
    void TearDown() override { apr_pool_destroy(pool_); }
    apr_pool_t *pool_ = nullptr;
};

TEST_F(Record, EventAsTextAndJson) {
    mrcp_message_t *request = mrcp_request_create(MRCP_VERSION_2, RECOGNIZER_RECOGNIZE, pool_);
    request->start_line.request_id = 4;
    mrcp_message_channel_id_set(request, "ab12@speechrecog");
    mrcp_message_t *rc = mrcp_event_create(request, RECOGNIZER_RECOGNITION_COMPLETE, pool_);
    rc->start_line.request_state = MRCP_REQUEST_STATE_COMPLETE;
    mrcp_resource_header_get(rc)->completion_cause = RECOGNIZER_COMPLETION_CAUSE_NO_INPUT_TIMEOUT;
    mrcp_resource_header_property_add(rc, RECOGNIZER_HEADER_COMPLETION_CAUSE);
    mrcp_message_body_set(rc, "x\"y", 3);

    vantor::MessageRecord r;
    std::string error;
    ASSERT_TRUE(vantor::MakeMessageRecord(rc, &r, &error)) << error;
    r.t = 1.5;
    r.channel = "a";
    EXPECT_TRUE(r.is_event);
    EXPECT_EQ(r.name, "RECOGNITION-COMPLETE");
    EXPECT_EQ(r.cause, 2);
    EXPECT_EQ(vantor::FormatMessageJson(r),
              "{\"t\": 1.500, \"channel\": \"a\", \"kind\": \"event\", \"name\": "
              "\"RECOGNITION-COMPLETE\", "
              "\"request_id\": 4, \"status\": null, \"state\": \"COMPLETE\", \"headers\": "
              "{\"Channel-Identifier\": \"ab12@speechrecog\", \"Completion-Cause\": \"002 "
              "no-input-timeout\", "
              "\"Content-Length\": \"3\"}, \"body\": \"x\\\"y\"}");
    std::string text = vantor::FormatMessageText(r);
    EXPECT_EQ(text.substr(0, 63),
              "   1.500 a | MRCP/2.0 145 RECOGNITION-COMPLETE 4 COMPLETE\n   1.");
    EXPECT_NE(text.find("   1.500 a | \n   1.500 a | x\"y\n"), std::string::npos) << text;
}

TEST_F(Record, ResponseNamesItsMethod) {
    mrcp_message_t *request =
        mrcp_request_create(MRCP_VERSION_1, RECOGNIZER_START_INPUT_TIMERS, pool_);
    request->start_line.request_id = 9;
    mrcp_message_t *response = mrcp_response_create(request, pool_);
    response->start_line.status_code = MRCP_STATUS_CODE_METHOD_FAILED;
    vantor::MessageRecord r;
    std::string error;
    ASSERT_TRUE(vantor::MakeMessageRecord(response, &r, &error));
    EXPECT_FALSE(r.is_event);
    EXPECT_EQ(r.name, "RECOGNITION-START-TIMERS");
    EXPECT_EQ(r.status, 407);
    EXPECT_EQ(r.text, "MRCP/1.0 9 407 COMPLETE\r\n\r\n");
    EXPECT_TRUE(r.headers.empty());

    mrcp_message_t *blank = mrcp_message_create(pool_);
    EXPECT_FALSE(vantor::MakeMessageRecord(blank, &r, &error));
}

}  // namespace
