// Recognition details records: the exact layout, every optional part under
// its condition and hostile texts from the service, each record parsed back
// with a JSON parser.
#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <stdlib.h>
#include <time.h>

#include <limits>

#include "KoralRxRdrManager.h"

using namespace KORAL;
using Details = RdrManager::RecognitionDetails;

namespace {

const apr_time_t kStart = apr_time_from_sec(1700000000);  // 2023-11-14 22:13:20 UTC

apr_time_t At(int64_t ms) { return kStart + ms * 1000; }

// A speech recognition that went all the way.
Details Speech() {
    Details d;
    d.version = 2;
    d.sampling_rate = 8000;
    d.max_alternatives = 2;
    d.language = "en-US";
    d.start_ts = kStart;
    d.start_of_input_ts = At(1500);
    d.end_of_input_ts = At(4100);
    d.connection_start_ts = At(20);
    d.connection_complete_ts = At(180);
    d.speech_start_ts = At(1650);
    d.speech_end_ts = At(3900);
    d.completion_ts = At(4480);
    d.sent = 74880;
    d.turns = 1;
    d.input_type = MPF_SDI_MODE_SPEECH;
    d.input_stats = {0, 2340, 74880};
    d.completion_cause = 0;
    d.transcripts = {{"call my office", "", 0.93f}, {"call my officer", "", 0.5f}};
    d.raw_transcripts = R"({"RecognitionStatus":"Success"})";
    return d;
}

// The record of `details` parsed; fails the test unless it is one valid JSON
// document.
rapidjson::Document Parse(const Details &details) {
    const std::string text = details.Compose();
    rapidjson::Document doc;
    doc.Parse<rapidjson::kParseValidateEncodingFlag | rapidjson::kParseIterativeFlag>(text.data(),
                                                                                      text.size());
    EXPECT_FALSE(doc.HasParseError()) << rapidjson::GetParseError_En(doc.GetParseError()) << " at "
                                      << doc.GetErrorOffset() << " in\n"
                                      << text;
    if (doc.HasParseError() || !doc.IsObject() || !doc.HasMember("recog-details-record"))
        doc.Parse(R"({"recog-details-record": {}})");
    return doc;
}

const rapidjson::Value &Record(const rapidjson::Document &doc) {
    return doc["recog-details-record"];
}

class RdrRecordTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
    }
};

TEST_F(RdrRecordTest, SpeechRecordHasTheExactLayout) {
    EXPECT_EQ(R"({"recog-details-record": {
   "datetime": "2023-11-14 22:13:20",
   "language": "en-US",
   "sampling-rate": "8000 Hz",
   "max-alternatives": 2,
   "input": {
      "type": "speech",
      "start-of-input-ts": "1500 ms",
      "end-of-input-ts": "4100 ms",
      "end-of-input-cause": "success",
      "duration": "2340 ms",
      "size": "74880 bytes"
   },
   "websocket": {
      "connection-start-ts": "20 ms",
      "connection-complete-ts": "180 ms",
      "speech-start-ts": "1650 ms",
      "speech-end-ts": "3900 ms",
      "sent": "74880 bytes",
      "turns": "1"
   },
   "transcripts": [
      {"transcript": "call my office", "confidence": 0.93},
      {"transcript": "call my officer", "confidence": 0.5}
   ],
   "completion-cause": "success",
   "completion-ts": "4480 ms"
}}
)",
              Speech().Compose());
    Parse(Speech());
}

TEST_F(RdrRecordTest, OptionalPartsFollowTheirConditions) {
    // DTMF: the cause closes the input object, no duration or size.
    Details dtmf = Speech();
    dtmf.input_type = MPF_SDI_MODE_DTMF;
    dtmf.input_stats.completion_cause = 1;
    dtmf.completion_cause = 8;
    rapidjson::Document doc = Parse(dtmf);
    EXPECT_FALSE(Record(doc)["input"].HasMember("duration"));
    EXPECT_FALSE(Record(doc)["input"].HasMember("size"));
    EXPECT_STREQ("timedout", Record(doc)["input"]["end-of-input-cause"].GetString());
    EXPECT_STREQ("success-maxtime", Record(doc)["completion-cause"].GetString());

    // Never connected, no transcripts at all.
    Details lost = Speech();
    lost.speech_start_ts = lost.speech_end_ts = 0;
    lost.completion_cause = 6;
    lost.transcripts.clear();
    lost.raw_transcripts.clear();
    doc = Parse(lost);
    EXPECT_FALSE(Record(doc).HasMember("websocket"));
    EXPECT_FALSE(Record(doc).HasMember("transcripts"));
    EXPECT_STREQ("recognizer-error", Record(doc)["completion-cause"].GetString());

    Details zero = Speech();
    zero.start_ts = 0;
    doc = Parse(zero);
    EXPECT_STREQ("", Record(doc)["datetime"].GetString());

    // Times before the start or unset leave their lines out; no input
    // announced, no input object; MRCPv1 names its causes its own way; the
    // service's result as it came when there are no transcripts.
    Details other = Speech();
    other.version = 1;
    other.completion_cause = 6;
    other.input_type = MPF_SDI_MODE_NONE;
    other.connection_start_ts = kStart - 1000;
    other.speech_end_ts = 0;
    other.transcripts.clear();
    other.raw_transcripts = "{\"RecognitionStatus\": \"NoMatch\",\n \"Offset\": 100}";
    EXPECT_NE(std::string::npos,
              other.Compose().find("   \"transcripts\": " + other.raw_transcripts + ",\n"));
    doc = Parse(other);
    EXPECT_FALSE(Record(doc).HasMember("input"));
    EXPECT_FALSE(Record(doc)["websocket"].HasMember("connection-start-ts"));
    EXPECT_FALSE(Record(doc)["websocket"].HasMember("speech-end-ts"));
    EXPECT_STREQ("180 ms", Record(doc)["websocket"]["connection-complete-ts"].GetString());
    EXPECT_STREQ("error", Record(doc)["completion-cause"].GetString());
    EXPECT_STREQ("NoMatch", Record(doc)["transcripts"]["RecognitionStatus"].GetString());
    other.completion_cause = kCompletionCauseUnknown;  // no name
    doc = Parse(other);
    EXPECT_STREQ("", Record(doc)["completion-cause"].GetString());
}

TEST_F(RdrRecordTest, HostileTextsStayOneJsonDocument) {
    const std::string texts[] = {
        "say \"hello\" \\ goodbye \\\"",  // quotes and backslashes
        std::string("line\nfeed\r\ttab\x01\x1f\b\f") + std::string(1, '\0') + "nul",
        "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",         // UTF-8 kept as it is
        "\xff bad \xc0\xaf over \xed\xa0\x80 sur \xe2\x82",  // not UTF-8
        "}]}, \"injected\": true, {\"",
    };
    const std::string decoded[] = {
        texts[0],
        texts[1],
        texts[2],
        std::string("\xef\xbf\xbd bad \xef\xbf\xbd\xef\xbf\xbd over "
                    "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd sur ") +
            "\xef\xbf\xbd\xef\xbf\xbd",
        texts[4],
    };
    Details details = Speech();
    details.language = "en\"-US\\\n";
    details.transcripts.clear();
    for (const std::string &text : texts) details.transcripts.push_back({text, text, 0.5f});
    details.transcripts.push_back({"inf", "inf", std::numeric_limits<float>::infinity()});
    details.transcripts.push_back({"nan", "nan", std::numeric_limits<float>::quiet_NaN()});

    rapidjson::Document doc = Parse(details);
    const rapidjson::Value &record = Record(doc);
    EXPECT_EQ(details.language, record["language"].GetString());
    const rapidjson::Value &list = record["transcripts"];
    ASSERT_EQ(7u, list.Size());
    for (size_t i = 0; i < 5; ++i) {
        const rapidjson::Value &text = list[static_cast<rapidjson::SizeType>(i)]["transcript"];
        EXPECT_EQ(decoded[i], std::string(text.GetString(), text.GetStringLength())) << i;
    }
    EXPECT_EQ(0.0, list[5]["confidence"].GetDouble());
    EXPECT_EQ(0.0, list[6]["confidence"].GetDouble());

    // A raw result that is not exactly one JSON value goes in as a string.
    const std::string raws[] = {
        R"({"a": 1} trailing)",   std::string("{\"a\": 1}\0{}", 11),
        std::string(200000, '['), "{\"t\": \"\xff\"}",
        "not json \"at all\"",    " ",
    };
    for (const std::string &raw : raws) {
        details.transcripts.clear();
        details.raw_transcripts = raw;
        doc = Parse(details);
        EXPECT_TRUE(Record(doc).HasMember("transcripts") && Record(doc)["transcripts"].IsString())
            << raw.substr(0, 40);
    }
    // Deep but valid: as it came.
    details.raw_transcripts = std::string(20000, '[') + std::string(20000, ']');
    doc = Parse(details);
    EXPECT_TRUE(Record(doc)["transcripts"].IsArray());
}

}  // namespace
