// Protocol violations close the WebSocket with 1002 (protocol) or 1007
// (payload), each noted in the event log. One service takes every violation,
// each on its own connection, so that one refusal also proves the service
// keeps serving the next connection.

#include <algorithm>
#include <functional>

#include "ServiceFixture.h"

using namespace KoralTest;
using KoralTest::EventLogReader;

namespace {

struct Violation {
    const char *m_Name;
    // Sends the offending messages after a valid speech.config.
    std::function<void(TestClient &)> m_Send;
    uint16_t m_Code;
    // Empty: refused by the WebSocket layer, which reports its reason only when
    // the TLS shutdown after it goes well: the log says 1002 then.
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

const Violation kViolations[] = {
    {"SecondSpeechConfig", [](TestClient &c) { c.SendText(ServiceTest::SpeechConfig()); }, 1002,
     "second speech.config"},
    {"TextWithoutPath",
     [](TestClient &c) { c.SendText("X-RequestId:" + NewRequestId() + "\r\n\r\n{}"); }, 1002,
     "message without Path"},
    {"TextWithoutEmptyLine", [](TestClient &c) { c.SendText("Path:telemetry\r\n"); }, 1002,
     "text message without end of header"},
    {"HeaderLineWithoutColon", [](TestClient &c) { c.SendText("Path telemetry\r\n\r\n{}"); }, 1002,
     "malformed header line"},
    {"AudioWithoutRequestId",
     [](TestClient &c) {
         std::string header = "Path:audio\r\nContent-Type:audio/x-wav\r\n";
         c.SendBinary(
             BinaryWithHeaderLength(header.size(), header + KoralTest::StreamWavHeader(16000)));
     },
     1002, "audio without X-RequestId"},
    {"BinaryWithoutPath",
     [](TestClient &c) {
         std::string header = "X-RequestId:" + NewRequestId() + "\r\n";
         c.SendBinary(BinaryWithHeaderLength(header.size(), header));
     },
     1002, "message without Path"},
    {"ShortRequestId", [](TestClient &c) { c.SendBinary(FirstAudio("0123456789abcdef")); }, 1002,
     "malformed X-RequestId"},
    {"LongRequestId",
     [](TestClient &c) { c.SendBinary(FirstAudio("0123456789abcdef0123456789abcdef0")); }, 1002,
     "malformed X-RequestId"},
    {"NonHexRequestId",
     [](TestClient &c) { c.SendBinary(FirstAudio("0123456789abcdef0123456789abcdeg")); }, 1002,
     "malformed X-RequestId"},
    {"TelemetryWithoutRequestId", [](TestClient &c) { c.SendText("Path:telemetry\r\n\r\n{}"); },
     1002, "telemetry without X-RequestId"},
    {"ReusedFinishedTurnId",
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
    {"HeaderLengthBeyondMessage",
     [](TestClient &c) { c.SendBinary(BinaryWithHeaderLength(200, "Path:audio\r\n")); }, 1007,
     "bad header length"},
    {"EmptyBinary", [](TestClient &c) { c.SendBinary(""); }, 1007, "binary message without header"},
    {"BinaryShorterThanLength", [](TestClient &c) { c.SendBinary(std::string(1, '\0')); }, 1007,
     "binary message without header"},
    {"ZeroHeaderLength", [](TestClient &c) { c.SendBinary(BinaryWithHeaderLength(0, "RIFF")); },
     1007, "binary message without header"},
    {"FirstAudioWithoutRiff",
     [](TestClient &c) { c.SendBinary(AudioMessage(NewRequestId(), std::string(640, '\0'))); },
     1007, "first audio message of a turn without RIFF header"},
    {"AudioAt8kHz",
     [](TestClient &c) {
         c.SendBinary(AudioMessage(NewRequestId(),
                                   KoralTest::StreamWavHeader(8000) + std::string(320, '\0')));
     },
     1007, "audio must be 16-bit mono PCM at 16000 Hz"},
    {"UnmaskedClientFrame",
     [](TestClient &c) { c.SendFrame(1, ServiceTest::SpeechConfig(), true, false); }, 1002, ""},
    {"InvalidUtf8Text", [](TestClient &c) { c.SendText("Path:telemetry\r\n\r\n\xff\xfe"); }, 1007,
     ""},
};

class CloseCodeTest : public ServiceTest {};

TEST_F(CloseCodeTest, EveryViolationClosesWithItsCodeAndIsLogged) {
    auto service = Start("");
    ASSERT_TRUE(service);
    EventLogReader log(service->EventLogPath());
    int64_t lastConnection = -1;
    for (const Violation &v : kViolations) {
        SCOPED_TRACE(v.m_Name);
        auto client = Connect(*service);
        v.m_Send(*client);
        EXPECT_EQ(v.m_Code, ReadCloseCode(*client));
        client->Close();
        // The WebSocket layer reports its own refusals once the close
        // handshake is over: wait for this connection's entry.
        auto fresh = [&](const KoralTest::ServiceEvent &e) {
            return e.Event() == "violation" && e.Int("connection") > lastConnection;
        };
        log.WaitFor([&](const std::vector<KoralTest::ServiceEvent> &events) {
            return std::any_of(events.begin(), events.end(), fresh);
        });
        std::vector<KoralTest::ServiceEvent> all = log.Read();
        auto found = std::find_if(all.begin(), all.end(), fresh);
        ASSERT_NE(found, all.end()) << [&] {
            std::string lines;
            for (const auto &e : all) lines += e.m_Line + "\n";
            return lines;
        }();
        lastConnection = found->Int("connection");
        int64_t logged = found->Int("code");
        if (*v.m_Reason == '\0') {
            EXPECT_TRUE(logged == v.m_Code || logged == 1002) << logged;
        } else {
            EXPECT_EQ(v.m_Code, logged);
            EXPECT_EQ(v.m_Reason, found->Str("reason"));
        }
    }
}

}  // namespace
