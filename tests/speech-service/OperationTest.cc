// Running the program: help, start-up errors, the key file, limits on
// connections and a clean end on SIGINT and SIGTERM.

#include <csignal>

#include "KoralTest/TempDir.h"
#include "ServiceFixture.h"

namespace SpeechServiceTest {
namespace {

using KoralTest::EventLogReader;
using KoralTest::RunSpeechService;

class OperationTest : public ServiceTest {
  protected:
    std::vector<std::string> Tls() const {
        return {"--cert", Certs().CertFile(), "--key", Certs().KeyFile()};
    }
};

TEST_F(OperationTest, HelpListsTheOptions) {
    std::string out;
    EXPECT_EQ(0, RunSpeechService({"--help"}, &out, nullptr));
    for (const char *option :
         {"--listen", "--cert", "--plain", "--subscription-key", "--engine", "--script",
          "--event-log", "--write-key-file", "--token-lifetime", "--idle-timeout"}) {
        EXPECT_NE(std::string::npos, out.find(option)) << option;
    }
}

TEST_F(OperationTest, BadCommandLinesAreRefused) {
    std::string err;
    EXPECT_EQ(2, RunSpeechService({"--listen", "127.0.0.1:0"}, nullptr, &err));
    EXPECT_NE(std::string::npos, err.find("TLS needs --cert FILE and --key FILE")) << err;
    EXPECT_EQ(2, RunSpeechService({"--plain", "--engine", "whisper"}, nullptr, &err));
    EXPECT_NE(std::string::npos, err.find("--engine must be pocketsphinx or script")) << err;
    EXPECT_EQ(2, RunSpeechService({"--plain", "--bogus"}, nullptr, &err));
    EXPECT_NE(std::string::npos, err.find("unknown option --bogus")) << err;
}

TEST_F(OperationTest, PortInUseIsAClearError) {
    auto service = Start("");
    ASSERT_TRUE(service);
    std::string err;
    std::string listen = "127.0.0.1:" + std::to_string(service->Port());
    EXPECT_EQ(
        1, RunSpeechService({"--plain", "--engine", "script", "--listen", listen}, nullptr, &err));
    EXPECT_NE(std::string::npos,
              err.find("cannot listen on " + listen + ": Address already in use"))
        << err;
}

TEST_F(OperationTest, MissingOrMismatchedCertificateIsAClearError) {
    std::string err;
    std::vector<std::string> args = {"--listen", "127.0.0.1:0",    "--engine",
                                     "script",   "--cert",         "/nonexistent/server.crt",
                                     "--key",    Certs().KeyFile()};
    EXPECT_EQ(1, RunSpeechService(args, nullptr, &err));
    EXPECT_NE(std::string::npos,
              err.find("certificate file /nonexistent/server.crt does not exist"))
        << err;

    auto other = KoralTest::TestCerts::Make();
    ASSERT_TRUE(other);
    args = {"--listen", "127.0.0.1:0",      "--engine", "script",
            "--cert",   Certs().CertFile(), "--key",    other->KeyFile()};
    EXPECT_EQ(1, RunSpeechService(args, nullptr, &err));
    EXPECT_NE(std::string::npos, err.find("cannot load key " + other->KeyFile())) << err;
    EXPECT_NE(std::string::npos, err.find("mismatch")) << err;
}

TEST_F(OperationTest, BadScenarioIsAClearError) {
    KoralTest::TempDir dir;
    struct Case {
        const char *m_Text;
        const char *m_Expect;
    } cases[] = {
        {"{\"turns\": [\n{\"status\": }]}", "JSON error at line 2"},
        {R"({"turns":[{"hypothesis":["x"]}]})", "turns[0]: unknown member \"hypothesis\""},
        {R"({"turns":[{"faults":[{"at":"speech.phrase","action":"explode"}]}]})",
         "unknown action \"explode\""},
        {R"({"turns":[{"faults":[{"at":"speech.nothing","action":"close"}]}]})",
         "no message \"speech.nothing\""},
        {R"({"token":{"status":42}})", "\"status\" must be an integer from 100 to 599"},
        {R"({"repeat":"sometimes"})", "\"repeat\" must be"},
    };
    for (const Case &c : cases) {
        std::string file = dir.File("scenario.json");
        ASSERT_TRUE(KoralTest::WriteTextFile(file, c.m_Text));
        std::string err;
        EXPECT_EQ(1, RunSpeechService({"--plain", "--listen", "127.0.0.1:0", "--engine", "script",
                                       "--script", file},
                                      nullptr, &err));
        EXPECT_NE(std::string::npos, err.find("bad scenario " + file)) << err;
        EXPECT_NE(std::string::npos, err.find(c.m_Expect)) << err;
    }
    std::string err;
    EXPECT_EQ(1, RunSpeechService(
                     {"--plain", "--listen", "127.0.0.1:0", "--script", dir.File("missing.json")},
                     nullptr, &err));
    EXPECT_NE(std::string::npos, err.find("cannot read")) << err;
}

TEST_F(OperationTest, KeyFilePointsAtThisServer) {
    for (bool plain : {false, true}) {
        auto service = Start("", {}, plain);
        ASSERT_TRUE(service);
        std::string text;
        ASSERT_TRUE(KoralTest::ReadTextFile(service->KeyFilePath(), text));
        rapidjson::Document doc = Json(text);
        EXPECT_EQ(service->TokenUrl(), doc["auth-endpoint"].GetString());
        EXPECT_EQ(service->SubscriptionKey(), doc["auth-key"].GetString());
        EXPECT_EQ(service->ServiceUrl(), doc["service-endpoint"].GetString());
        // And the plain service answers over plain HTTP.
        if (plain) {
            EXPECT_FALSE(Token(*service).empty());
        }
    }
}

TEST_F(OperationTest, ServiceStartedWithoutCertificatesMakesItsOwn) {
    KoralTest::SpeechServiceOptions o;
    std::string error;
    auto service = KoralTest::SpeechServiceProcess::Start(o, &error);
    ASSERT_TRUE(service) << error;
    ASSERT_FALSE(service->CaFile().empty());
    TestClient client(service->Port(), service->CaFile());
    ASSERT_TRUE(client.Open(&error)) << error;
    HttpResponse r = client.Exchange(
        "POST /sts/v1.0/issueToken HTTP/1.1\r\nHost:x\r\nOcp-Apim-Subscription-Key:" +
        service->SubscriptionKey() + "\r\nContent-Length:0\r\n\r\n");
    EXPECT_EQ(200, r.m_Status);
    client.Close();
    EXPECT_EQ(0, service->Stop()) << service->Stderr();
}

TEST_F(OperationTest, SignalsEndTheServiceCleanlyClosingWebSockets) {
    for (int signal : {SIGTERM, SIGINT}) {
        auto service = Start("");
        ASSERT_TRUE(service);
        auto client = Connect(*service);
        service->Signal(signal);
        EXPECT_EQ(1001, ReadCloseCode(*client));
        EXPECT_EQ(0, service->Stop()) << service->Stderr();
        auto events = EventLogReader(service->EventLogPath()).Read();
        ASSERT_FALSE(events.empty());
        EXPECT_EQ("stopped", events.back().Event());
    }
}

TEST_F(OperationTest, IdleAndLongConnectionsAreClosed) {
    auto idle = Start("", {"--idle-timeout", "1"});
    ASSERT_TRUE(idle);
    auto client = Connect(*idle);
    EXPECT_EQ(1000, ReadCloseCode(*client, 5000));
    EXPECT_EQ("idle timeout",
              EventLogReader(idle->EventLogPath()).Read("limit").at(0).Str("reason"));

    auto longLived = Start("", {"--max-connection-time", "1"});
    ASSERT_TRUE(longLived);
    auto busy = Connect(*longLived);
    // Keep it from being idle: audio every 100 ms.
    std::string id = NewRequestId();
    SendAudio(*busy, id, KoralTest::Silence(80, 16000));
    uint16_t code = 0;
    for (int i = 0; i < 40 && code == 0; ++i) {
        busy->SendBinary(AudioMessage(id, std::string(2560, '\0')));
        std::optional<Message> m = busy->ReadMessage(std::chrono::milliseconds(100));
        if (m && m->m_Opcode == 8) code = m->CloseCode();
    }
    EXPECT_EQ(1000, code);
    EXPECT_EQ("connection time limit",
              EventLogReader(longLived->EventLogPath()).Read("limit").at(0).Str("reason"));
}

}  // namespace
}  // namespace SpeechServiceTest
