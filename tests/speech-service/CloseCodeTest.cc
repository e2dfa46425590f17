// Protocol violations close the WebSocket with 1002 (protocol) or 1007
// (payload), each noted in the event log. One service takes every violation,
// each on its own connection, so that one refusal also proves the service
// keeps serving the next connection.

#include "ServiceFixture.h"

using namespace KoralTest;

namespace {

std::string Binary(size_t declaredHeaderLength, const std::string &rest) {
    return std::string(1, static_cast<char>(declaredHeaderLength >> 8)) +
           static_cast<char>(declaredHeaderLength & 0xff) + rest;
}

std::string FirstAudio(const std::string &id, int rate = 16000) {
    return AudioMessage(id, KoralTest::StreamWavHeader(rate) + std::string(640, '\0'));
}

struct Violation {
    const char *m_Name;
    // Sent after a valid speech.config: opcode and payload; opcode 0 reads
    // the turn answered so far.
    std::vector<std::pair<int, std::string>> m_Send;
    uint16_t m_Code;
    // Empty: refused by the WebSocket layer, which reports its reason only when
    // the TLS shutdown after it goes well: the log says 1002 then.
    const char *m_Reason;
    bool m_Masked = true;
};

const std::string kId = NewRequestId(), kOtherId = NewRequestId();
const std::string kAudioHeader = "Path:audio\r\nContent-Type:audio/x-wav\r\n";
const std::string kIdHeader = "X-RequestId:" + kId + "\r\n";

const Violation kViolations[] = {
    {"SecondSpeechConfig", {{1, ServiceTest::SpeechConfig()}}, 1002, "second speech.config"},
    {"TextWithoutPath", {{1, kIdHeader + "\r\n{}"}}, 1002, "message without Path"},
    {"TextWithoutEmptyLine",
     {{1, "Path:telemetry\r\n"}},
     1002,
     "text message without end of header"},
    {"HeaderLineWithoutColon", {{1, "Path telemetry\r\n\r\n{}"}}, 1002, "malformed header line"},
    {"AudioWithoutRequestId",
     {{2, Binary(kAudioHeader.size(), kAudioHeader + KoralTest::StreamWavHeader(16000))}},
     1002,
     "audio without X-RequestId"},
    {"BinaryWithoutPath", {{2, Binary(kIdHeader.size(), kIdHeader)}}, 1002, "message without Path"},
    {"ShortRequestId", {{2, FirstAudio("0123456789abcdef")}}, 1002, "malformed X-RequestId"},
    {"LongRequestId",
     {{2, FirstAudio("0123456789abcdef0123456789abcdef0")}},
     1002,
     "malformed X-RequestId"},
    {"NonHexRequestId",
     {{2, FirstAudio("0123456789abcdef0123456789abcdeg")}},
     1002,
     "malformed X-RequestId"},
    {"TelemetryWithoutRequestId",
     {{1, "Path:telemetry\r\n\r\n{}"}},
     1002,
     "telemetry without X-RequestId"},
    {"ReusedFinishedTurnId",
     {{2, FirstAudio(kId)},
      {2, AudioMessage(kId, "")},
      {0, ""},
      {2, FirstAudio(kOtherId)},
      {2, AudioMessage(kOtherId, "")},
      {0, ""},
      {2, FirstAudio(kId)}},
     1002,
     "request id of a finished turn reused"},
    {"HeaderLengthBeyondMessage", {{2, Binary(200, "Path:audio\r\n")}}, 1007, "bad header length"},
    {"EmptyBinary", {{2, ""}}, 1007, "binary message without header"},
    {"BinaryShorterThanLength", {{2, std::string(1, '\0')}}, 1007, "binary message without header"},
    {"ZeroHeaderLength", {{2, Binary(0, "RIFF")}}, 1007, "binary message without header"},
    {"FirstAudioWithoutRiff",
     {{2, AudioMessage(kId, std::string(640, '\0'))}},
     1007,
     "first audio message of a turn without RIFF header"},
    {"AudioAt8kHz",
     {{2, FirstAudio(kId, 8000)}},
     1007,
     "audio must be 16-bit mono PCM at 16000 Hz"},
    {"UnmaskedClientFrame", {{1, ServiceTest::SpeechConfig()}}, 1002, "", false},
    {"InvalidUtf8Text", {{1, "Path:telemetry\r\n\r\n\xff\xfe"}}, 1007, ""},
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
        for (const auto &[opcode, payload] : v.m_Send) {
            if (opcode == 0) {
                ReadTurn(*client);
            } else {
                client->SendFrame(opcode, payload, true, v.m_Masked);
            }
        }
        EXPECT_EQ(v.m_Code, ReadCloseCode(*client));
        client->Close();
        // The WebSocket layer reports its own refusals once the close
        // handshake is over: wait for this connection's entry.
        std::vector<ServiceEvent> found;
        log.WaitFor([&](const std::vector<ServiceEvent> &events) {
            found.clear();
            for (const ServiceEvent &e : events) {
                if (e.Event() == "violation" && e.Int("connection") > lastConnection)
                    found.push_back(e);
            }
            return !found.empty();
        });
        ASSERT_EQ(1u, found.size());
        lastConnection = found[0].Int("connection");
        int64_t logged = found[0].Int("code");
        if (*v.m_Reason == '\0') {
            EXPECT_TRUE(logged == v.m_Code || logged == 1002) << logged;
        } else {
            EXPECT_EQ(v.m_Code, logged);
            EXPECT_EQ(v.m_Reason, found[0].Str("reason"));
        }
    }
}

}  // namespace
