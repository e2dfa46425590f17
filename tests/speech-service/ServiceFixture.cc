#include "ServiceFixture.h"

namespace KoralTest {

void ServiceTest::SetUpTestSuite() {
    std::string error;
    s_Certs = TestCerts::Make(&error);
    ASSERT_TRUE(s_Certs) << error;
}

void ServiceTest::TearDown() {
    for (auto &service : m_Services)
        EXPECT_EQ(0, service->Stop()) << "speech-service did not end cleanly:\n"
                                      << service->Stderr();
    m_Services.clear();
}

std::shared_ptr<SpeechServiceProcess> ServiceTest::Start(const std::string &scenario,
                                                         const std::vector<std::string> &extra,
                                                         bool plain) {
    SpeechServiceOptions o;
    o.m_Scenario = scenario;
    o.m_Tls = !plain;
    o.m_CertFile = Certs().CertFile();
    o.m_KeyFile = Certs().KeyFile();
    o.m_CaFile = Certs().CaFile();
    o.m_ExtraArgs = extra;
    std::string error;
    std::shared_ptr<SpeechServiceProcess> service = SpeechServiceProcess::Start(o, &error);
    EXPECT_TRUE(service) << error;
    if (service) m_Services.push_back(service);
    return service;
}

std::unique_ptr<TestClient> ServiceTest::Client(const SpeechServiceProcess &service) {
    auto client = std::make_unique<TestClient>(service.Port(), service.CaFile());
    std::string error;
    EXPECT_TRUE(client->Open(&error)) << error;
    return client;
}

std::string ServiceTest::Token(const SpeechServiceProcess &service) {
    HttpResponse r = Client(service)->Exchange(
        "POST /sts/v1.0/issueToken HTTP/1.1\r\nHost:127.0.0.1\r\nConnection:close\r\n"
        "Ocp-Apim-Subscription-Key:" +
        service.SubscriptionKey() + "\r\nContent-Length:0\r\n\r\n");
    EXPECT_EQ(200, r.m_Status);
    return r.m_Body;
}

std::unique_ptr<TestClient> ServiceTest::Connect(const SpeechServiceProcess &service,
                                                 const std::string &query, bool sendConfig) {
    std::string token = Token(service);
    auto client = Client(service);
    HttpResponse r = client->Upgrade(
        std::string(kRecognitionTarget) + "?" + query,
        {{"Authorization", "Bearer " + token}, {"X-ConnectionId", "test-connection"}});
    EXPECT_EQ(101, r.m_Status) << r.m_Body;
    if (sendConfig) client->SendText(SpeechConfig());
    return client;
}

std::string ServiceTest::SpeechConfig() {
    return TextMessage(
        "speech.config", "",
        R"({"context":{"system":{"version":"2.0.12341"}},"device":{"manufacturer":"Lumetra","model":"koralrx","version":"1.8.0"}})");
}

void ServiceTest::SendAudio(TestClient &client, const std::string &requestId, const Samples &audio,
                            bool first) {
    std::vector<Samples> chunks = Chunks(audio, 16000, 80);
    if (chunks.empty() && first) chunks.emplace_back();
    for (size_t i = 0; i < chunks.size(); ++i) {
        std::string header = i == 0 && first ? StreamWavHeader(16000) : std::string();
        client.SendBinary(AudioMessage(requestId, header + PcmBytes(chunks[i])));
    }
}

void ServiceTest::SendEnd(TestClient &client, const std::string &requestId) {
    client.SendBinary(AudioMessage(requestId, std::string()));
}

std::vector<ServiceMessage> ServiceTest::Turn(TestClient &client, const Samples &audio,
                                              std::string *requestId) {
    const std::string id = NewRequestId();
    if (requestId != nullptr) *requestId = id;
    SendAudio(client, id, audio);
    SendEnd(client, id);
    return ReadTurn(client);
}

std::vector<ServiceMessage> ServiceTest::ReadTurn(TestClient &client, int timeoutMs) {
    std::vector<ServiceMessage> messages;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (messages.empty() || messages.back().m_Path != "turn.end") {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        std::optional<Message> m;
        if (left.count() <= 0 || !(m = client.ReadMessage(left)) || m->m_Opcode != 1) break;
        messages.emplace_back();
        EXPECT_TRUE(ParseServiceMessage(m->m_Data, messages.back())) << m->m_Data;
    }
    return messages;
}

std::vector<std::string> ServiceTest::Paths(const std::vector<ServiceMessage> &messages) {
    std::vector<std::string> paths;
    for (const ServiceMessage &m : messages) paths.push_back(m.m_Path);
    return paths;
}

const ServiceMessage *ServiceTest::Find(const std::vector<ServiceMessage> &messages,
                                        const std::string &path) {
    for (const ServiceMessage &m : messages) {
        if (m.m_Path == path) return &m;
    }
    return nullptr;
}

rapidjson::Document ServiceTest::Json(const std::string &body) {
    rapidjson::Document doc;
    doc.Parse(body.c_str());
    EXPECT_FALSE(doc.HasParseError()) << body;
    return doc;
}

uint16_t ServiceTest::ReadCloseCode(TestClient &client, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::optional<Message> m =
               client.ReadMessage(std::chrono::duration_cast<std::chrono::milliseconds>(
                   deadline - std::chrono::steady_clock::now()))) {
        if (m->m_Opcode == 8) {
            client.SendFrame(8, m->m_Data.substr(0, 2));  // answer the close, as a client must
            return m->CloseCode();
        }
    }
    return 0;
}

}  // namespace KoralTest
