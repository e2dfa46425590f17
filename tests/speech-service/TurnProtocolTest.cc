// Turns over one connection: reply order, request-id echo, tick offsets,
// both result formats, the two ways a turn ends, and what the event log
// records of the client.

#include "ServiceFixture.h"

using namespace KoralTest;
using KoralTest::EventLogReader;
using KoralTest::Samples;

namespace {

const Samples kSecond = KoralTest::Silence(1000, 16000);

class TurnProtocolTest : public ServiceTest {};

TEST_F(TurnProtocolTest, RepliesComeInOrderEchoingTheRequestIdWithTickOffsets) {
    auto service = Start("");  // the default scenario: "yes please", two hypotheses
    ASSERT_TRUE(service);
    auto client = Connect(*service);
    std::string id;
    std::vector<ServiceMessage> turn = Turn(*client, kSecond, &id);
    EXPECT_EQ((std::vector<std::string>{"turn.start", "speech.startDetected", "speech.hypothesis",
                                        "speech.hypothesis", "speech.endDetected", "speech.phrase",
                                        "turn.end"}),
              Paths(turn));
    for (const ServiceMessage &m : turn) EXPECT_EQ(id, m.m_RequestId) << m.m_Path;

    rapidjson::Document start = Json(turn[0].m_Body);
    EXPECT_TRUE(start["context"]["serviceTag"].IsString());
    EXPECT_EQ(1000000, Json(turn[1].m_Body)["Offset"].GetInt64());  // 100 ms
    rapidjson::Document hyp = Json(turn[3].m_Body);
    EXPECT_STREQ("yes please", hyp["Text"].GetString());
    EXPECT_EQ(1000000, hyp["Offset"].GetInt64());
    EXPECT_EQ(6000000, hyp["Duration"].GetInt64());
    EXPECT_EQ(10000000, Json(turn[4].m_Body)["Offset"].GetInt64());  // all of the 1 s of audio

    rapidjson::Document phrase = Json(turn[5].m_Body);
    EXPECT_STREQ("Success", phrase["RecognitionStatus"].GetString());
    EXPECT_EQ(1000000, phrase["Offset"].GetInt64());
    EXPECT_EQ(9000000, phrase["Duration"].GetInt64());
    ASSERT_TRUE(phrase["NBest"].IsArray());
    ASSERT_EQ(2u, phrase["NBest"].Size());
    const rapidjson::Value &best = phrase["NBest"][0];
    EXPECT_TRUE(best["Confidence"].IsDouble());
    EXPECT_DOUBLE_EQ(0.93, best["Confidence"].GetDouble());
    EXPECT_STREQ("yes please", best["Lexical"].GetString());
    EXPECT_STREQ("yes please", best["ITN"].GetString());
    EXPECT_STREQ("yes please", best["MaskedITN"].GetString());
    EXPECT_STREQ("Yes please.", best["Display"].GetString());
    EXPECT_FALSE(phrase.HasMember("DisplayText"));
    EXPECT_NE(std::string::npos, turn[5].m_Body.find("\"Confidence\":0.93"));

    EXPECT_TRUE(turn[6].m_Body.empty());
    EXPECT_TRUE(turn[6].m_ContentType.empty());
    EXPECT_EQ("application/json; charset=utf-8", turn[5].m_ContentType);
}

// Simple is the default format and carries DisplayText; detailed keeps a
// fraction in a whole confidence.
TEST_F(TurnProtocolTest, SimpleFormatByDefaultAndDetailedConfidenceWithAFraction) {
    auto service = Start(R"({"turns":[{"nbest":[{"lexical":"call home","confidence":1}]}]})");
    ASSERT_TRUE(service);
    for (const char *query : {"language=en-US", "format=simple&language=en-US"}) {
        auto client = Connect(*service, query);
        std::vector<ServiceMessage> turn = Turn(*client, kSecond);
        const ServiceMessage *phrase = Find(turn, "speech.phrase");
        ASSERT_NE(nullptr, phrase);
        rapidjson::Document doc = Json(phrase->m_Body);
        EXPECT_STREQ("Success", doc["RecognitionStatus"].GetString());
        EXPECT_STREQ("Call home.", doc["DisplayText"].GetString());
        EXPECT_TRUE(doc["Offset"].IsInt64());
        EXPECT_TRUE(doc["Duration"].IsInt64());
        EXPECT_FALSE(doc.HasMember("NBest"));
    }
    auto client = Connect(*service);
    std::vector<ServiceMessage> turn = Turn(*client, kSecond);
    const ServiceMessage *phrase = Find(turn, "speech.phrase");
    ASSERT_NE(nullptr, phrase);
    EXPECT_NE(std::string::npos, phrase->m_Body.find("\"Confidence\":1.0")) << phrase->m_Body;
}

TEST_F(TurnProtocolTest, ServiceEndsTheTurnBySilenceAndIgnoresLaterAudioOfIt) {
    auto service = Start(R"({"turns":[{"endMs":500,"nbest":["no thanks"]}]})");
    ASSERT_TRUE(service);
    auto client = Connect(*service);
    std::string id = NewRequestId();
    SendAudio(*client, id, kSecond);  // no empty message: the service ends the turn itself
    std::vector<ServiceMessage> turn = ReadTurn(*client);
    ASSERT_EQ("turn.end", Paths(turn).back());
    EXPECT_EQ(5000000, Json(Find(turn, "speech.endDetected")->m_Body)["Offset"].GetInt64());

    // Late audio and the late end of audio of that turn change nothing.
    SendAudio(*client, id, kSecond, false);
    SendEnd(*client, id);
    EventLogReader log(service->EventLogPath());
    EXPECT_TRUE(log.WaitFor([](const std::vector<KoralTest::ServiceEvent> &events) {
        int ignored = 0;
        for (const auto &e : events) ignored += e.Event() == "ignored";
        return ignored >= 14;  // 13 chunks and the empty message
    }));

    // A new request id opens a new turn on the same connection.
    std::string next = NewRequestId();
    SendAudio(*client, next, kSecond);
    std::vector<ServiceMessage> second = ReadTurn(*client);
    ASSERT_FALSE(second.empty());
    EXPECT_EQ(next, second.front().m_RequestId);
    EXPECT_EQ("turn.end", second.back().m_Path);
}

TEST_F(TurnProtocolTest, TheEmptyAudioMessageEndsTheTurn) {
    auto service = Start(R"({"turns":[{"hypotheses":["yes"]}]})");
    ASSERT_TRUE(service);
    auto client = Connect(*service);
    std::string id = NewRequestId();
    SendAudio(*client, id, kSecond);
    // Without the end of audio the turn stays open after its hypothesis.
    std::vector<ServiceMessage> early = ReadTurn(*client, 500);
    EXPECT_EQ((std::vector<std::string>{"turn.start", "speech.startDetected", "speech.hypothesis"}),
              Paths(early));
    SendEnd(*client, id);
    std::vector<ServiceMessage> rest = ReadTurn(*client);
    EXPECT_EQ((std::vector<std::string>{"speech.endDetected", "speech.phrase", "turn.end"}),
              Paths(rest));
}

TEST_F(TurnProtocolTest, TurnsFollowTheScriptInOrderOrByAudioLength) {
    auto ordered = Start(R"({"repeat":"cycle","turns":[{"nbest":["one"]},{"nbest":["two"]}]})");
    ASSERT_TRUE(ordered);
    auto client = Connect(*ordered);
    std::vector<std::string> texts;
    for (int i = 0; i < 3; ++i) {
        std::string id;
        std::vector<ServiceMessage> turn = Turn(*client, kSecond, &id);
        const ServiceMessage *phrase = Find(turn, "speech.phrase");
        ASSERT_NE(nullptr, phrase);
        texts.push_back(Json(phrase->m_Body)["NBest"][0]["Lexical"].GetString());
    }
    EXPECT_EQ((std::vector<std::string>{"one", "two", "one"}), texts);

    auto matched = Start(R"({"turns":[{"match":{"minAudioMs":1500},"nbest":["long"]},
                                     {"match":{"maxAudioMs":1499},"nbest":["short"]}]})");
    ASSERT_TRUE(matched);
    auto c2 = Connect(*matched);
    for (int ms : {2000, 800}) {
        std::vector<ServiceMessage> turn = Turn(*c2, KoralTest::Silence(ms, 16000));
        EXPECT_EQ("turn.start", turn.front().m_Path);
        const ServiceMessage *phrase = Find(turn, "speech.phrase");
        ASSERT_NE(nullptr, phrase);
        EXPECT_STREQ(ms == 2000 ? "long" : "short",
                     Json(phrase->m_Body)["NBest"][0]["Lexical"].GetString());
    }
}

TEST_F(TurnProtocolTest, EventLogRecordsWhatTheClientSent) {
    auto service = Start("");
    ASSERT_TRUE(service);
    auto client = Connect(*service);
    std::string id = NewRequestId();
    SendAudio(*client, id, KoralTest::Silence(200, 16000));
    SendEnd(*client, id);
    ReadTurn(*client);
    client->SendText(TextMessage("telemetry", id, R"({"ReceivedMessages":[]})"));
    // Bodies nested a million levels deep (2 MB): well formed, then cut off.
    const size_t depth = 1000000;
    client->SendText(
        TextMessage("telemetry", id, std::string(depth, '[') + std::string(depth, ']')));
    client->SendText(TextMessage("telemetry", id, std::string(depth, '[') + "{\"a\":1},"));

    // Reading 4 MB of nesting is slow under the sanitizers: a generous deadline.
    EventLogReader log(service->EventLogPath());
    ASSERT_TRUE(log.WaitFor(
        [](const std::vector<KoralTest::ServiceEvent> &events) {
            int telemetry = 0;
            for (const auto &e : events) telemetry += e.Str("path") == "telemetry";
            return telemetry == 3;
        },
        std::chrono::seconds(60)));
    std::vector<KoralTest::ServiceEvent> messages = log.Read("message");
    ASSERT_EQ(8u, messages.size());  // config, 3 audio chunks, end, 3 telemetry
    EXPECT_EQ("speech.config", messages[0].Str("path"));
    EXPECT_EQ("", messages[0].Str("requestId"));
    EXPECT_TRUE(messages[0].Bool("bodyIsJson"));
    EXPECT_NE(std::string::npos, messages[0].Str("body").find("koralrx"));

    EXPECT_EQ("binary", messages[1].Str("type"));
    EXPECT_EQ(id, messages[1].Str("requestId"));
    EXPECT_TRUE(messages[1].Bool("wav"));
    EXPECT_EQ(16000, messages[1].Int("wavRate"));
    EXPECT_EQ(1, messages[1].Int("wavChannels"));
    EXPECT_EQ(16, messages[1].Int("wavBits"));
    EXPECT_EQ(2560, messages[1].Int("audioBytes"));
    EXPECT_TRUE(messages[1].Bool("masked"));
    EXPECT_EQ("audio/x-wav", messages[1].Str("contentType"));
    EXPECT_FALSE(messages[2].Bool("wav", true));
    EXPECT_EQ(2560, messages[2].Int("audioBytes"));
    EXPECT_EQ(1280, messages[3].Int("audioBytes"));
    EXPECT_TRUE(messages[4].Bool("endOfAudio"));
    EXPECT_EQ(0, messages[4].Int("audioBytes"));
    EXPECT_EQ("telemetry", messages[5].Str("path"));
    EXPECT_EQ(R"({"ReceivedMessages":[]})", messages[5].Str("body"));
    EXPECT_TRUE(messages[5].Bool("bodyIsJson"));
    EXPECT_TRUE(messages[6].Bool("bodyIsJson"));
    EXPECT_LT(2 * depth, static_cast<size_t>(messages[6].Int("size")));
    EXPECT_FALSE(messages[7].Bool("bodyIsJson", true));

    std::vector<KoralTest::ServiceEvent> replies = log.Read("reply");
    ASSERT_FALSE(replies.empty());
    EXPECT_EQ("turn.start", replies.front().Str("path"));
    EXPECT_TRUE(log.Read("violation").empty());

    // The deep bodies harmed neither this connection nor the next client.
    std::string next = NewRequestId();
    SendAudio(*client, next, KoralTest::Silence(200, 16000));
    SendEnd(*client, next);
    EXPECT_EQ("turn.end", Paths(ReadTurn(*client)).back());
    auto other = Connect(*service);
    SendAudio(*other, next, KoralTest::Silence(200, 16000));
    SendEnd(*other, next);
    EXPECT_EQ("turn.end", Paths(ReadTurn(*other)).back());
}

TEST_F(TurnProtocolTest, AudioBeforeSpeechConfigIsNotedButServed) {
    auto service = Start("");
    ASSERT_TRUE(service);
    auto client = Connect(*service, "language=en-US", false);
    std::string id = NewRequestId();
    SendAudio(*client, id, kSecond);
    SendEnd(*client, id);
    EXPECT_EQ("turn.end", Paths(ReadTurn(*client)).back());
    auto violations = EventLogReader(service->EventLogPath()).Read("violation");
    ASSERT_FALSE(violations.empty());
    EXPECT_EQ("audio before speech.config", violations[0].Str("reason"));
}

TEST_F(TurnProtocolTest, ManyConnectionsAtOnceAreServed) {
    auto service = Start("");
    ASSERT_TRUE(service);
    std::vector<std::unique_ptr<TestClient>> clients;
    std::vector<std::string> ids;
    for (int i = 0; i < 40; ++i) {
        clients.push_back(Connect(*service));
        ids.push_back(NewRequestId());
        SendAudio(*clients.back(), ids.back(), KoralTest::Silence(400, 16000));
        SendEnd(*clients.back(), ids.back());
    }
    for (size_t i = 0; i < clients.size(); ++i) {
        std::vector<ServiceMessage> turn = ReadTurn(*clients[i]);
        ASSERT_FALSE(turn.empty());
        EXPECT_EQ("turn.end", turn.back().m_Path);
        EXPECT_EQ(ids[i], turn.back().m_RequestId);
    }
}

}  // namespace
