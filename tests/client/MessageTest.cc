// Service message format: path tables, header block, timestamps, parsing,
// the binary audio message and the JSON bodies.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "KoralRxConnectionProtocol.h"
#include "KoralRxMessage.h"
#include "KoralRxMessageAudio.h"
#include "KoralRxMessageJson.h"
#include "KoralRxWsFrame.h"

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

TEST_F(MessageTest, PathTables) {
    using M = WebSocketSrMessage;
    EXPECT_EQ(M::GetMethodTypeStr(M::SERVICE_ORIGINATED, 1), "speech.startDetected");
    EXPECT_EQ(M::GetMethodTypeStr(M::SERVICE_ORIGINATED, 6), "turn.end");
    EXPECT_EQ(M::GetMethodTypeStr(M::SERVICE_ORIGINATED, 0), "");
    EXPECT_EQ(M::GetMethodTypeStr(M::SERVICE_ORIGINATED, 7), "unknown");
    EXPECT_EQ(M::GetMethodTypeStr(M::SERVICE_ORIGINATED, -1), "unknown");
    EXPECT_EQ(M::GetMethodTypeStr(M::CLIENT_ORIGINATED, 2), "audio");
    EXPECT_EQ(M::GetMethodTypeStr(M::CLIENT_ORIGINATED, 4), "unknown");
    EXPECT_EQ(M::ParseServiceMethodType("speech.phrase"), 3);
    EXPECT_EQ(M::ParseServiceMethodType("Turn.End"), 0);
    EXPECT_EQ(M::ParseServiceMethodType(""), 0);
    EXPECT_EQ(M::ParseClientMethodType("telemetry"), 3);
    EXPECT_EQ(M::ParseClientMethodType("speech.phrase"), 0);
}

TEST_F(MessageTest, HeaderBlock) {
    WebSocketSrMessage m(WebSocketSrMessage::CLIENT_ORIGINATED);
    m.m_Method = WebSocketSrMessage::CLIENT_METHOD_SPEECH_CONFIG;
    std::string header;
    ASSERT_TRUE(m.GenerateHeader(header, false));
    EXPECT_EQ(header, "Path:speech.config\r\n");
    m.GenerateHeader(header, true);
    EXPECT_EQ(header, "Path:speech.config\r\n\r\n");
    m.m_Method = WebSocketSrMessage::CLIENT_METHOD_AUDIO;
    m.m_RequestId = "0123456789abcdef0123456789abcdef";
    m.m_Timestamp = "2024-05-01T13:45:07.123456";
    m.m_ContentType = "audio/x-wav";
    m.GenerateHeader(header, false);
    EXPECT_EQ(header,
              "Path:audio\r\nX-RequestId:0123456789abcdef0123456789abcdef\r\n"
              "X-Timestamp:2024-05-01T13:45:07.123456\r\nContent-Type:audio/x-wav\r\n");
}

TEST_F(MessageTest, TimestampInLocalTime) {
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
}

TEST_F(MessageTest, ParseUnknownPathRepeatedFieldAndFailures) {
    bool ok = false;
    WebSocketSrMessage m = Parsed("Path:Turn.End\r\nX-RequestId:a\r\nX-RequestId:b\r\n\r\n", &ok);
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

TEST_F(MessageTest, BinaryAudioFrameLayout) {
    std::string header = "Path:audio\r\nX-RequestId:r\r\n";
    uint8_t wave[44];
    size_t waveSize = 0;
    PrepareWaveHeader(16000, wave, waveSize);
    std::vector<uint8_t> audio(2560);
    for (size_t i = 0; i < audio.size(); ++i) {
        audio[i] = static_cast<uint8_t>(i);
    }
    for (bool withWave : {true, false}) {
        BinaryMessage m;
        m.m_Header = &header;
        m.m_Wave = withWave ? wave : nullptr;
        m.m_WaveSize = withWave ? waveSize : 0;
        m.m_Audio = audio.data();
        m.m_AudioSize = audio.size();
        const uint8_t key[4] = {0x11, 0x22, 0x33, 0x44};
        std::vector<uint8_t> frame(BinaryFrameSize(m));
        ASSERT_EQ(WriteBinaryFrame(frame.data(), m, key), frame.size());
        WsFrame::Header h;
        std::string payload;
        ASSERT_EQ(WsFrame::ReadFrame(frame.data(), frame.size(), 1 << 20, h, payload),
                  WsFrame::READ_FRAME);
        EXPECT_EQ(h.m_Opcode, WsFrame::OPCODE_BINARY);
        ASSERT_EQ(payload.size(), 2 + header.size() + (withWave ? 44 : 0) + audio.size());
        EXPECT_EQ((uint8_t(payload[0]) << 8) | uint8_t(payload[1]), int(header.size()));
        EXPECT_EQ(payload.substr(2, header.size()), header);
        size_t at = 2 + header.size();
        if (withWave) {
            EXPECT_EQ(payload.substr(at, 4), "RIFF");
            at += 44;
        }
        EXPECT_EQ(std::vector<uint8_t>(payload.begin() + at, payload.end()), audio);
    }
    // The end-of-audio message: length and header only.
    BinaryMessage end;
    end.m_Header = &header;
    EXPECT_EQ(end.Size(), 2 + header.size());
}

TEST_F(MessageTest, ServiceJsonBodiesOfAnyDepth) {
    bool ok = false;
    WebSocketSrMessage phrase = Parsed(
        "Path:speech.phrase\r\nX-RequestId:r\r\n\r\n"
        "{\"RecognitionStatus\":\"Success\",\"NBest\":[{\"Confidence\":0.5,\"Lexical\":\"yes\"}]}",
        &ok);
    ASSERT_TRUE(ok);
    rapidjson::Document doc;
    ASSERT_TRUE(ParseServiceJson(phrase.m_Body, doc));
    EXPECT_STREQ(doc["RecognitionStatus"].GetString(), "Success");
    EXPECT_STREQ(doc["NBest"][0]["Lexical"].GetString(), "yes");

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

TEST_F(MessageTest, TelemetryBodyAsTheServiceExpectsIt) {
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
    ReceivedMessages unknown;
    unknown[0] = {At(0, 1)};
    EXPECT_NE(ComposeTelemetryBody(unknown).find("\"\": \"2024-05-01T13:45:07.000001\""),
              std::string::npos);
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

TEST(RecognitionProtocol, TurnDecision) {
    bool drop = false;
    EXPECT_TRUE(StartsTurn(0, "", "a", drop));
    EXPECT_FALSE(drop);
    EXPECT_FALSE(StartsTurn(1, "a", "a", drop));
    EXPECT_FALSE(StartsTurn(1, "a", "b", drop)) << "a turn in progress keeps its id";
    EXPECT_FALSE(drop);
    EXPECT_FALSE(StartsTurn(2, "a", "a", drop));
    EXPECT_TRUE(drop) << "late audio of an ended turn";
    EXPECT_TRUE(StartsTurn(2, "a", "b", drop));
    EXPECT_FALSE(drop);
}

}  // namespace
