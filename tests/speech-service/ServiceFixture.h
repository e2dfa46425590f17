// Shared set-up of the service tests: one throwaway CA per test binary, a
// service per test (started in milliseconds with the scripted engine), and
// helpers for a token, an upgraded connection and a whole turn.
#pragma once

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <memory>
#include <string>
#include <vector>

#include "KoralTest/EventLogReader.h"
#include "KoralTest/Speech.h"
#include "KoralTest/SpeechServiceProcess.h"
#include "KoralTest/TestCerts.h"
#include "TestClient.h"

namespace KoralTest {

constexpr const char *kRecognitionTarget = "/speech/recognition/interactive/cognitiveservices/v1";

class ServiceTest : public ::testing::Test {
  protected:
    // One certificate set per suite; each test starts its own services.
    static void SetUpTestSuite();
    static void TearDownTestSuite() { s_Certs.reset(); }
    void TearDown() override;
    static const TestCerts &Certs() { return *s_Certs; }

    // Starts a service (TLS unless `plain`) with the scripted engine and
    // `scenario`. The fixture keeps a share: after the test it must stop with
    // status 0 (a crash or a sanitizer report in the service fails the test).
    std::shared_ptr<SpeechServiceProcess> Start(const std::string &scenario,
                                                const std::vector<std::string> &extra = {},
                                                bool plain = false);
    static std::unique_ptr<TestClient> Client(const SpeechServiceProcess &service);
    static std::string Token(const SpeechServiceProcess &service);
    // An upgraded connection (asserts 101) that has sent speech.config.
    static std::unique_ptr<TestClient> Connect(
        const SpeechServiceProcess &service,
        const std::string &query = "format=detailed&language=en-US", bool sendConfig = true);

  public:
    static std::string SpeechConfig();
    // Sends a turn's audio in 80 ms messages, the first with the WAV header.
    static void SendAudio(TestClient &client, const std::string &requestId, const Samples &audio,
                          bool first = true);
    static void SendEnd(TestClient &client, const std::string &requestId);
    // One whole turn of `audio` and its end under a new request id (given
    // back in `requestId`); the replies up to turn.end.
    static std::vector<ServiceMessage> Turn(TestClient &client, const Samples &audio,
                                            std::string *requestId = nullptr);
    // Reads service messages until turn.end (included), a close frame or the timeout.
    static std::vector<ServiceMessage> ReadTurn(TestClient &client, int timeoutMs = 10000);
    static std::vector<std::string> Paths(const std::vector<ServiceMessage> &messages);
    static const ServiceMessage *Find(const std::vector<ServiceMessage> &messages,
                                      const std::string &path);
    static rapidjson::Document Json(const std::string &body);
    // Reads until a close frame arrives, answers it and returns its code (0 if none).
    static uint16_t ReadCloseCode(TestClient &client, int timeoutMs = 5000);

  private:
    inline static std::unique_ptr<TestCerts> s_Certs;
    std::vector<std::shared_ptr<SpeechServiceProcess>> m_Services;
};

}  // namespace KoralTest
