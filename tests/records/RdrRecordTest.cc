// Recognition details records: the exact layout, every optional part under
// its condition, hostile texts from the service, and saving, each record
// parsed back with a JSON parser.
#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <limits>

#include "KoralRxRdrManager.h"
#include "KoralTest/LogCapture.h"
#include "RecordsTestSupport.h"

namespace KORAL {
namespace {

using Details = RdrManager::RecognitionDetails;

const apr_time_t kStart = apr_time_from_sec(1700000000);  // 2023-11-14 22:13:20 UTC

apr_time_t At(int64_t ms) { return kStart + ms * 1000; }

class RdrRecordTest : public test::RecordsTest {
  protected:
    void SetUp() override {
        test::RecordsTest::SetUp();
        setenv("TZ", "UTC", 1);
        tzset();
    }

    // A speech recognition that went all the way.
    static Details Speech() {
        Details d;
        d.enabled = true;
        d.name = "koralrx-abc-7.json";
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
        d.input_stats.completion_cause = 0;
        d.input_stats.duration = 2340;
        d.input_stats.size = 74880;
        d.completion_cause = 0;
        d.transcripts = {{"call my office", "call my office", 0.93f},
                         {"call my officer", "call my officer", 0.5f}};
        d.raw_transcripts = R"({"RecognitionStatus":"Success"})";
        return d;
    }
    // The record parsed; fails the test unless it is one valid JSON document.
    static rapidjson::Document Parse(const std::string &text) {
        rapidjson::Document doc;
        doc.Parse<rapidjson::kParseValidateEncodingFlag | rapidjson::kParseIterativeFlag>(
            text.data(), text.size());
        EXPECT_FALSE(doc.HasParseError()) << rapidjson::GetParseError_En(doc.GetParseError())
                                          << " at " << doc.GetErrorOffset() << " in\n"
                                          << text;
        if (!doc.HasParseError()) {
            EXPECT_TRUE(doc.IsObject() && doc.HasMember("recog-details-record")) << text;
        }
        return doc;
    }
    static const rapidjson::Value &Record(const rapidjson::Document &doc) {
        return doc["recog-details-record"];
    }
    static bool Has(const std::string &text, const std::string &part) {
        return text.find(part) != std::string::npos;
    }
};

TEST_F(RdrRecordTest, SpeechRecordHasTheExactLayout) {
    const std::string text = Speech().Compose();
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
              text);
    rapidjson::Document doc = Parse(text);
    const rapidjson::Value &record = Record(doc);
    EXPECT_EQ(2u, record["transcripts"].Size());
    EXPECT_FLOAT_EQ(0.93f, record["transcripts"][0]["confidence"].GetFloat());
}

TEST_F(RdrRecordTest, OptionalPartsFollowTheirConditions) {
    // DTMF: the cause closes the input object; no duration, no size, and
    // no websocket object without a speech start from the service.
    Details dtmf;
    dtmf.version = 2;
    dtmf.sampling_rate = 8000;
    dtmf.max_alternatives = 1;
    dtmf.language = "en-US";
    dtmf.start_ts = kStart;
    dtmf.start_of_input_ts = At(300);
    dtmf.completion_ts = At(2300);
    dtmf.input_type = MPF_SDI_MODE_DTMF;
    dtmf.input_stats.completion_cause = 1;
    dtmf.input_stats.duration = 2000;
    dtmf.input_stats.size = 32000;
    dtmf.completion_cause = 8;
    dtmf.transcripts = {{"12#", "12#", 1.0f}};
    std::string text = dtmf.Compose();
    EXPECT_TRUE(Has(text, R"(   "input": {
      "type": "dtmf",
      "start-of-input-ts": "300 ms",
      "end-of-input-cause": "timedout"
   },
   "transcripts": [
      {"transcript": "12#", "confidence": 1}
   ],
   "completion-cause": "success-maxtime",
)")) << text;
    rapidjson::Document doc = Parse(text);
    EXPECT_FALSE(Record(doc).HasMember("websocket"));
    EXPECT_FALSE(Record(doc)["input"].HasMember("duration"));

    // Never connected: connection times, if any, but no speech start.
    Details lost = Speech();
    lost.speech_start_ts = 0;
    lost.speech_end_ts = 0;
    lost.completion_cause = 6;
    lost.transcripts.clear();
    lost.raw_transcripts.clear();
    doc = Parse(lost.Compose());
    EXPECT_FALSE(Record(doc).HasMember("websocket"));
    EXPECT_FALSE(Record(doc).HasMember("transcripts"));
    EXPECT_STREQ("recognizer-error", Record(doc)["completion-cause"].GetString());

    // Start time 0: empty datetime; times before the start and unset times
    // leave their lines out; no input announced, no input object; MRCPv1
    // names its causes its own way.
    Details early = Speech();
    early.start_ts = 0;
    doc = Parse(early.Compose());
    EXPECT_STREQ("", Record(doc)["datetime"].GetString());
    early = Speech();
    early.version = 1;
    early.completion_cause = 6;
    early.input_type = MPF_SDI_MODE_NONE;
    early.connection_start_ts = kStart - 1000;
    early.speech_end_ts = 0;
    text = early.Compose();
    doc = Parse(text);
    EXPECT_FALSE(Record(doc).HasMember("input"));
    EXPECT_FALSE(Record(doc)["websocket"].HasMember("connection-start-ts"));
    EXPECT_FALSE(Record(doc)["websocket"].HasMember("speech-end-ts"));
    EXPECT_STREQ("180 ms", Record(doc)["websocket"]["connection-complete-ts"].GetString());
    EXPECT_STREQ("error", Record(doc)["completion-cause"].GetString());

    // No transcripts: the service's result as it came, when it is JSON.
    Details raw = Speech();
    raw.transcripts.clear();
    raw.raw_transcripts = "{\"RecognitionStatus\": \"NoMatch\",\n \"Offset\": 100}";
    text = raw.Compose();
    EXPECT_TRUE(Has(text, "   \"transcripts\": " + raw.raw_transcripts + ",\n")) << text;
    doc = Parse(text);
    EXPECT_STREQ("NoMatch", Record(doc)["transcripts"]["RecognitionStatus"].GetString());

    // A cause the host has no name for, and Reset back to the first state.
    raw.completion_cause = kCompletionCauseUnknown;
    doc = Parse(raw.Compose());
    EXPECT_STREQ("", Record(doc)["completion-cause"].GetString());
    raw.Reset();
    EXPECT_FALSE(raw.enabled);
    EXPECT_TRUE(raw.name.empty() && raw.language.empty() && raw.raw_transcripts.empty());
    EXPECT_TRUE(raw.transcripts.empty());
    EXPECT_EQ(0, raw.start_ts);
    EXPECT_EQ(0u, raw.sent);
    EXPECT_EQ(0u, raw.input_stats.size);
    EXPECT_EQ(MPF_SDI_MODE_NONE, raw.input_type);
    EXPECT_EQ(kCompletionCauseUnknown, raw.completion_cause);
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
        "\xef\xbf\xbd bad \xef\xbf\xbd\xef\xbf\xbd over \xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd sur "
        "\xef\xbf\xbd\xef\xbf\xbd",
        texts[4],
    };
    Details details = Speech();
    details.language = "en\"-US\\\n";
    details.transcripts.clear();
    for (const std::string &text : texts) details.transcripts.push_back({text, text, 0.5f});
    details.transcripts.push_back({"inf", "inf", std::numeric_limits<float>::infinity()});
    details.transcripts.push_back({"nan", "nan", std::numeric_limits<float>::quiet_NaN()});

    rapidjson::Document doc = Parse(details.Compose());
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
        doc = Parse(details.Compose());
        ASSERT_TRUE(Record(doc)["transcripts"].IsString()) << raw.substr(0, 40);
    }
    // Deep but valid: as it came.
    details.raw_transcripts = std::string(20000, '[') + std::string(20000, ']');
    doc = Parse(details.Compose());
    EXPECT_TRUE(Record(doc)["transcripts"].IsArray());
}

TEST_F(RdrRecordTest, SaveWritesTheRecordOrLogsAndSkipsIt) {
    ASSERT_EQ(0, mkdir(folder_.c_str(), 0755));
    test::LogCapture log;
    Details details = Speech();
    const std::string path = Path(details.name);
    ASSERT_TRUE(details.Save(path));
    std::string saved;
    ASSERT_TRUE(KoralTest::ReadTextFile(path, saved));
    EXPECT_EQ(details.Compose(), saved);

    // A folder where nothing can be written, whatever the privileges.
    ASSERT_EQ(0, unlink(path.c_str()));
    ASSERT_EQ(0, rmdir(folder_.c_str()));
    ASSERT_TRUE(KoralTest::WriteTextFile(folder_, "not a folder"));
    EXPECT_FALSE(details.Save(path));
    EXPECT_TRUE(log.Has("Failed to Open RDR File " + path, APT_PRIO_WARNING));
    EXPECT_FALSE(details.Save(""));
}

}  // namespace
}  // namespace KORAL
