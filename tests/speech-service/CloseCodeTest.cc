// Protocol violations close the WebSocket with 1002 (protocol) or 1007
// (payload), each noted in the event log.

#include "ServiceFixture.h"

using namespace KoralTest;
using KoralTest::EventLogReader;

namespace {

struct Violation {
    const char *m_Name;
    // Sends the offending messages after a valid speech.config.
    std::function<void(TestClient &)> m_Send;
    uint16_t m_Code;
    const char *m_Reason;
};

std::string BinaryWithHeaderLength(size_t declared, const std::string &rest) {
    std::string m;
    m += static_cast<char>(declared >> 8);
    m += static_cast<char>(declared & 0xff);
    return m + rest;
}

std::string FirstAudio(const std::string &id) {
    return AudioMessage(id, KoralTest::StreamWavHeader(16000) + std::string(640, '\0'));
}

class CloseCodeTest : public ServiceTest, public ::testing::WithParamInterface<Violation> {};

TEST_P(CloseCodeTest, ClosesWithCode) {
    auto service = Start("");
    ASSERT_TRUE(service);
    auto client = Connect(*service);
    GetParam().m_Send(*client);
    EXPECT_EQ(GetParam().m_Code, ReadCloseCode(*client));
    client->Close();
    // The WebSocket layer reports its own refusals once the close handshake is over.
    EventLogReader log(service->EventLogPath());
    log.WaitFor([](const std::vector<KoralTest::ServiceEvent> &events) {
        for (const auto &e : events) {
            if (e.Event() == "violation") return true;
        }
        return false;
    });
    auto violations = log.Read("violation");
    ASSERT_FALSE(violations.empty()) << [&] {
        std::string all;
        for (const auto &e : log.Read()) all += e.m_Line + "\n";
        return all;
    }();
    int64_t logged = violations.back().Int("code");
    if (*GetParam().m_Reason == '\0') {
        EXPECT_TRUE(logged == GetParam().m_Code || logged == 1002) << logged;
    } else {
        EXPECT_EQ(GetParam().m_Code, logged);
        EXPECT_EQ(GetParam().m_Reason, violations.back().Str("reason"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Violations, CloseCodeTest,
    ::testing::Values(
        Violation{"SecondSpeechConfig",
                  [](TestClient &c) { c.SendText(ServiceTest::SpeechConfig()); }, 1002,
                  "second speech.config"},
        Violation{"TextWithoutPath",
                  [](TestClient &c) { c.SendText("X-RequestId:" + NewRequestId() + "\r\n\r\n{}"); },
                  1002, "message without Path"},
        Violation{"TextWithoutEmptyLine", [](TestClient &c) { c.SendText("Path:telemetry\r\n"); },
                  1002, "text message without end of header"},
        Violation{"AudioWithoutRequestId",
                  [](TestClient &c) {
                      std::string header = "Path:audio\r\nContent-Type:audio/x-wav\r\n";
                      c.SendBinary(BinaryWithHeaderLength(
                          header.size(), header + KoralTest::StreamWavHeader(16000)));
                  },
                  1002, "audio without X-RequestId"},
        Violation{"BinaryWithoutPath",
                  [](TestClient &c) {
                      std::string header = "X-RequestId:" + NewRequestId() + "\r\n";
                      c.SendBinary(BinaryWithHeaderLength(header.size(), header));
                  },
                  1002, "message without Path"},
        Violation{"ShortRequestId",
                  [](TestClient &c) { c.SendBinary(FirstAudio("0123456789abcdef")); }, 1002,
                  "malformed X-RequestId"},
        Violation{
            "NonHexRequestId",
            [](TestClient &c) { c.SendBinary(FirstAudio("0123456789abcdef0123456789abcdeg")); },
            1002, "malformed X-RequestId"},
        Violation{"TelemetryWithoutRequestId",
                  [](TestClient &c) { c.SendText("Path:telemetry\r\n\r\n{}"); }, 1002,
                  "telemetry without X-RequestId"},
        Violation{"ReusedFinishedTurnId",
                  [](TestClient &c) {
                      std::string first = NewRequestId(), second = NewRequestId();
                      c.SendBinary(FirstAudio(first));
                      c.SendBinary(AudioMessage(first, ""));
                      ServiceTest::ReadTurn(c);
                      c.SendBinary(FirstAudio(second));
                      c.SendBinary(AudioMessage(second, ""));
                      ServiceTest::ReadTurn(c);
                      c.SendBinary(FirstAudio(first));
                  },
                  1002, "request id of a finished turn reused"},
        Violation{
            "HeaderLengthBeyondMessage",
            [](TestClient &c) { c.SendBinary(BinaryWithHeaderLength(200, "Path:audio\r\n")); },
            1007, "bad header length"},
        Violation{"BinaryShorterThanLength",
                  [](TestClient &c) { c.SendBinary(std::string(1, '\0')); }, 1007,
                  "binary message without header"},
        Violation{"ZeroHeaderLength",
                  [](TestClient &c) { c.SendBinary(BinaryWithHeaderLength(0, "RIFF")); }, 1007,
                  "binary message without header"},
        Violation{"FirstAudioWithoutRiff",
                  [](TestClient &c) {
                      c.SendBinary(AudioMessage(NewRequestId(), std::string(640, '\0')));
                  },
                  1007, "first audio message of a turn without RIFF header"},
        Violation{"AudioAt8kHz",
                  [](TestClient &c) {
                      c.SendBinary(AudioMessage(NewRequestId(), KoralTest::StreamWavHeader(8000) +
                                                                    std::string(320, '\0')));
                  },
                  1007, "audio must be 16-bit mono PCM at 16000 Hz"},
        Violation{"UnmaskedClientFrame",
                  [](TestClient &c) { c.SendFrame(1, ServiceTest::SpeechConfig(), true, false); },
                  1002, ""},
        // Refused by the WebSocket layer, which reports its reason only
        // when the TLS shutdown after it goes well: the log says 1002 then.
        Violation{"InvalidUtf8Text",
                  [](TestClient &c) { c.SendText("Path:telemetry\r\n\r\n\xff\xfe"); }, 1007, ""}),
    [](const ::testing::TestParamInfo<Violation> &info) { return std::string(info.param.m_Name); });

}  // namespace
