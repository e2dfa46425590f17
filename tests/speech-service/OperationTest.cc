// Running the program: help, start-up errors, the key file, limits on
// connections and a clean end on SIGINT and SIGTERM.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>

#include "KoralTest/TempDir.h"
#include "ServiceFixture.h"

using namespace KoralTest;

namespace {

class OperationTest : public ServiceTest {};

TEST_F(OperationTest, HelpAndStartUpErrors) {
    auto service = Start("");  // holds a port
    ASSERT_TRUE(service);
    KoralTest::TempDir dir;
    const std::string scenario = dir.File("scenario.json");
    ASSERT_TRUE(KoralTest::WriteTextFile(scenario, "{\"turns\": [\n{\"status\": }]}"));
    auto other = KoralTest::TestCerts::Make();
    ASSERT_TRUE(other);
    const std::string listen = "127.0.0.1:" + std::to_string(service->Port());
    const std::vector<std::string> base = {"--listen", "127.0.0.1:0", "--engine", "script"};
    auto with = [](std::vector<std::string> args, const std::vector<std::string> &more) {
        args.insert(args.end(), more.begin(), more.end());
        return args;
    };
    const struct {
        std::vector<std::string> m_Args;
        int m_Status;
        std::vector<std::string> m_Texts;  // in what it printed
    } cases[] = {
        {{"--help"},
         0,
         {"--listen", "--cert", "--plain", "--subscription-key", "--engine", "--script",
          "--event-log", "--write-key-file", "--token-lifetime", "--idle-timeout"}},
        {{"--listen", "127.0.0.1:0"}, 2, {"TLS needs --cert FILE and --key FILE"}},
        {{"--plain", "--engine", "whisper"}, 2, {"--engine must be pocketsphinx or script"}},
        {{"--plain", "--bogus"}, 2, {"unknown option --bogus"}},
        {{"--plain", "--engine", "script", "--listen", listen},
         1,
         {"cannot listen on " + listen + ": Address already in use"}},
        {with(base, {"--cert", "/nonexistent/server.crt", "--key", Certs().KeyFile()}),
         1,
         {"certificate file /nonexistent/server.crt does not exist"}},
        {with(base, {"--cert", Certs().CertFile(), "--key", other->KeyFile()}),
         1,
         {"cannot load key " + other->KeyFile(), "mismatch"}},
        // The reasons a scenario is refused: ScenarioTest.
        {with(base, {"--plain", "--script", scenario}),
         1,
         {"bad scenario " + scenario, "JSON error at line 2"}},
        {with(base, {"--plain", "--script", dir.File("missing.json")}), 1, {"cannot read"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.m_Texts[0]);
        std::string out, err;
        EXPECT_EQ(c.m_Status, RunSpeechService(c.m_Args, &out, &err));
        for (const std::string &text : c.m_Texts)
            EXPECT_NE(std::string::npos, (out + err).find(text)) << text << "\n" << out << err;
    }
}

// A TLS service with certificates of its own and a plain one: the key file
// points at each, and a signal ends each cleanly, closing its WebSockets.
TEST_F(OperationTest, KeyFileOwnCertificatesAndSignals) {
    for (int signal : {SIGTERM, SIGINT}) {
        const bool plain = signal == SIGINT;
        SCOPED_TRACE(plain ? "plain, SIGINT" : "own certificates, SIGTERM");
        std::string error;
        std::shared_ptr<KoralTest::SpeechServiceProcess> service =
            plain
                ? Start("", {}, true)
                : KoralTest::SpeechServiceProcess::Start(KoralTest::SpeechServiceOptions(), &error);
        ASSERT_TRUE(service) << error;
        ASSERT_EQ(plain, service->CaFile().empty());
        std::string text;
        ASSERT_TRUE(KoralTest::ReadTextFile(service->KeyFilePath(), text));
        rapidjson::Document doc = Json(text);
        EXPECT_EQ(service->TokenUrl(), doc["auth-endpoint"].GetString());
        EXPECT_EQ(service->SubscriptionKey(), doc["auth-key"].GetString());
        EXPECT_EQ(service->ServiceUrl(), doc["service-endpoint"].GetString());
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

// A TCP connection from the test process to the service, holding whatever
// is written to it (nothing at all for an idle one).
int RawConnect(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// A thousand idle sockets, a client sending its request a byte at a time,
// an oversized header and a client vanishing mid-audio: the service serves
// a whole turn to a normal client meanwhile, drops each hostile connection
// once its request time is up, logs why, and ends cleanly (its exit status
// is checked after the test).
TEST_F(OperationTest, HostileClientsDoNotBringTheServiceDown) {
    auto service = Start("", {"--request-timeout", "2"}, true);
    ASSERT_TRUE(service);
    std::vector<int> idle;
    for (int i = 0; i < 1000; ++i) {
        int fd = RawConnect(service->Port());
        ASSERT_GE(fd, 0) << "connection " << i;
        idle.push_back(fd);
    }
    int slow = RawConnect(service->Port());
    ASSERT_GE(slow, 0);
    std::atomic<bool> slowClosed{false};
    std::thread slowloris([slow, &slowClosed] {
        const std::string request = "POST /sts/v1.0/issueToken HTTP/1.1\r\nHost: 127.0.0.1\r\n";
        for (int i = 0; i < 60 && !slowClosed; ++i) {
            if (send(slow, request.data() + i % request.size(), 1, MSG_NOSIGNAL) != 1)
                slowClosed = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });

    auto big = Client(*service);
    HttpResponse refused = big->Exchange(
        "POST /sts/v1.0/issueToken HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(20000, 'a') +
        "\r\n\r\n");
    EXPECT_EQ(431, refused.m_Status);

    auto vanishing = Connect(*service);
    SendAudio(*vanishing, NewRequestId(), KoralTest::Silence(400, 16000));
    vanishing.reset();  // the socket closes mid-turn, without a closing handshake

    auto client = Connect(*service);
    std::vector<ServiceMessage> turn = Turn(*client, KoralTest::Silence(500, 16000));
    ASSERT_FALSE(turn.empty());
    EXPECT_EQ("turn.end", Paths(turn).back());
    EXPECT_NE(nullptr, Find(turn, "speech.phrase"));

    slowloris.join();
    EXPECT_TRUE(slowClosed) << "a request sent a byte at a time was not cut off";
    char byte;
    for (int fd : idle) {
        EXPECT_EQ(0, recv(fd, &byte, 1, 0)) << "an idle connection was not closed";
        close(fd);
    }
    close(slow);
    EventLogReader log(service->EventLogPath());
    EXPECT_GE(log.Read("http-error").size(), 1001u);
    EXPECT_FALSE(log.Read("disconnect").empty());
}

}  // namespace
