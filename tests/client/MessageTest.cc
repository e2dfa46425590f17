// Service message format on plain text: timestamps, parsing, the WAV header,
// JSON bodies, telemetry and the recognition query. The header blocks and
// binary layout the client writes are checked on the frames a server
// receives (ConnectionTest) and by the real service (SpeechServiceTest).
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "KoralRxConnectionProtocol.h"
#include "KoralRxMessage.h"
#include "KoralRxMessageAudio.h"
#include "KoralRxMessageJson.h"

using namespace KORAL;

namespace {

class MessageTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char *tz = getenv("TZ");
        m_SavedTz = tz ? tz : "";
        m_HadTz = tz != nullptr;
        setenv("TZ", "UTC", 1);
        tzset();
        WebSocketSrMessage::InitMessageMaps();
    }
    void TearDown() override {
        WebSocketSrMessage::DestroyMessageMaps();
        if (m_HadTz) {
            setenv("TZ", m_SavedTz.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    // 2024-05-01T13:45:07 UTC plus `usec`.
    static apr_time_t At(int64_t secondsAfter, int64_t usec) {
        return (int64_t(1714571107) + secondsAfter) * 1000000 + usec;
    }

    std::string m_SavedTz;
    bool m_HadTz = false;
};

WebSocketSrMessage Parsed(const std::string &text, bool *ok = nullptr) {
    WebSocketSrMessage m(WebSocketSrMessage::SERVICE_ORIGINATED);
    bool r = m.Parse(text, nullptr);
    if (ok) {
        *ok = r;
    }
    return m;
}

TEST_F(MessageTest, ParseHeaderNamesAnyCaseBlanksAndBody) {
    bool ok = false;
    WebSocketSrMessage m = Parsed(
        "path: speech.phrase\r\nx-requestid:  r1\r\nX-Request:nope\r\nX-TIMESTAMP:t\r\n"
        "content-type:application/json\r\nOther:x\r\n\r\n{\"a\":1}\r\n\r\nrest",
        &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(m.m_Method, WebSocketSrMessage::SERVICE_METHOD_SPEECH_PHRASE);
    EXPECT_EQ(m.m_RequestId, "r1");
    EXPECT_EQ(m.m_Timestamp, "t");
    EXPECT_EQ(m.m_ContentType, "application/json");
    EXPECT_EQ(m.m_Body, "{\"a\":1}\r\n\r\nrest");
    // Fields a message lacks stay empty.
    m = Parsed("Path:turn.start\r\nX-RequestId:abc\r\n\r\n", &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(m.m_Method, WebSocketSrMessage::SERVICE_METHOD_TURN_START);
    EXPECT_EQ(m.m_Timestamp + m.m_ContentType + m.m_Body, "");
    EXPECT_EQ(m.m_ReceiveTime, 0);
    // An unknown path (paths are case-sensitive) and a repeated field.
    m = Parsed("Path:Turn.End\r\nX-RequestId:a\r\nX-RequestId:b\r\n\r\n", &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(m.m_Method, 0);
    EXPECT_EQ(m.m_RequestId, "b");
    Parsed("Path:turn.end\r\nX-RequestId:a\r\n", &ok);
    EXPECT_FALSE(ok) << "no empty line ends the header section";
    Parsed("Path turn.end\r\n\r\n", &ok);
    EXPECT_FALSE(ok) << "a line without a colon";
    WebSocketSrMessage lf = Parsed("Path:speech.hypothesis\nX-RequestId:z\n\nbody", &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(lf.m_Method, WebSocketSrMessage::SERVICE_METHOD_SPEECH_HYPOTHESIS);
    EXPECT_EQ(lf.m_Body, "body");
}

TEST_F(MessageTest, WaveHeaderFor16kHz) {
    uint8_t buf[64];
    size_t size = 0;
    PrepareWaveHeader(16000, buf, size);
    ASSERT_EQ(size, 44u);
    const uint8_t expected[44] = {'R', 'I', 'F',  'F',  0,   0,   0,    0,    'W', 'A', 'V',
                                  'E', 'f', 'm',  't',  ' ', 16,  0,    0,    0,   1,   0,
                                  1,   0,   0x80, 0x3E, 0,   0,   0x00, 0x7D, 0,   0,   2,
                                  0,   16,  0,    'd',  'a', 't', 'a',  0,    0,   0,   0};
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 44), std::vector<uint8_t>(expected, expected + 44));
}

TEST_F(MessageTest, ServiceJsonBodiesOfAnyDepthWithoutRecursion) {
    bool ok = false;
    rapidjson::Document doc;
    // A million levels (2 MB), well formed and cut off: no stack is exhausted.
    const size_t depth = 1000000;
    WebSocketSrMessage deep = Parsed("Path:speech.phrase\r\nX-RequestId:r\r\n\r\n" +
                                         std::string(depth, '[') + std::string(depth, ']'),
                                     &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(deep.m_Body.size(), 2 * depth);
    ASSERT_TRUE(ParseServiceJson(deep.m_Body, doc));
    EXPECT_TRUE(doc.IsArray());
    EXPECT_FALSE(ParseServiceJson(std::string(depth, '[') + "1,", doc));
    EXPECT_FALSE(ParseServiceJson("", doc));
    EXPECT_FALSE(ParseServiceJson("{\"RecognitionStatus\":\"Success\"} trailing", doc));
}

TEST_F(MessageTest, TimestampsAndTelemetryInLocalTime) {
    ReceivedMessages received;
    received[2] = {At(0, 100000), At(0, 300000)};
    received[3] = {At(0, 800000)};
    received[5] = {At(-1, 900000)};
    received[6] = {At(0, 900000)};
    EXPECT_EQ(ComposeTelemetryBody(received),
              "{\n"
              "  \"ReceivedMessages\": [{\n"
              "      \"speech.hypothesis\": [\"2024-05-01T13:45:07.100000\", "
              "\"2024-05-01T13:45:07.300000\"]\n"
              "    }, {\n"
              "      \"speech.phrase\": \"2024-05-01T13:45:07.800000\"\n"
              "    }, {\n"
              "      \"turn.start\": \"2024-05-01T13:45:06.900000\"\n"
              "    }, {\n"
              "      \"turn.end\": \"2024-05-01T13:45:07.900000\"\n"
              "    }]\n"
              "}");
    std::string text;
    WebSocketSrMessage::GenerateXTimestamp(At(0, 5), text);
    EXPECT_EQ(text, "2024-05-01T13:45:07.000005");
    WebSocketSrMessage::GenerateXTimestamp(At(0, 999999), text);
    EXPECT_EQ(text, "2024-05-01T13:45:07.999999");
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    WebSocketSrMessage::GenerateXTimestamp(At(0, 123456), text);
    EXPECT_EQ(text, "2024-05-01T15:45:07.123456");
}

TEST(RecognitionProtocol, RecognitionUriQuery) {
    EXPECT_EQ(ComposeRecognitionUri("wss://h/speech/v1", "en-US"),
              "wss://h/speech/v1?format=detailed&language=en-US");
    EXPECT_EQ(ComposeRecognitionUri("https://h/p?x=1", "de-DE"),
              "https://h/p?x=1&format=detailed&language=de-DE");
    // A client's language cannot add parameters or break the request line.
    EXPECT_EQ(ComposeRecognitionUri("https://h/p", "en-US&profanity=raw #\xC3\xBC~_."),
              "https://h/p?format=detailed&language=en-US%26profanity%3Draw%20%23%C3%BC~_.");
}

TEST(RecognitionProtocol, AudioOfAnotherRequestJoinsTheTurnInProgress) {
    bool drop = true;
    EXPECT_FALSE(StartsTurn(1, "a", "b", drop));
    EXPECT_FALSE(drop);
}

}  // namespace
