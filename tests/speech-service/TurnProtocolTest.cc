// Turns as a direct client sees them: reply order, request-id echo, tick
// offsets, the result formats, the two ways a turn ends, the script's order,
// what the event log records of bodies no plugin sends.

#include "ServiceFixture.h"

using namespace KoralTest;

namespace {

const Samples kSecond = KoralTest::Silence(1000, 16000);

class TurnProtocolTest : public ServiceTest {};

TEST_F(TurnProtocolTest, DefaultTurnFormatsDeepBodiesAndManyConnections) {
    auto service = Start("");  // the default scenario: "yes please", two hypotheses
    ASSERT_TRUE(service);
    auto client = Connect(*service);
    std::string id;
    std::vector<ServiceMessage> turn = Turn(*client, kSecond, &id);
    ASSERT_EQ((std::vector<std::string>{"turn.start", "speech.startDetected", "speech.hypothesis",
                                        "speech.hypothesis", "speech.endDetected", "speech.phrase",
                                        "turn.end"}),
              Paths(turn));
    for (const ServiceMessage &m : turn) EXPECT_EQ(id, m.m_RequestId) << m.m_Path;
    EXPECT_TRUE(Json(turn[0].m_Body)["context"]["serviceTag"].IsString());
    EXPECT_EQ(1000000, Json(turn[1].m_Body)["Offset"].GetInt64());  // 100 ms
    EXPECT_EQ(R"({"Text":"yes please","Offset":1000000,"Duration":6000000})", turn[3].m_Body);
    EXPECT_EQ(10000000, Json(turn[4].m_Body)["Offset"].GetInt64());  // all of the 1 s of audio
    rapidjson::Document phrase = Json(turn[5].m_Body);
    EXPECT_EQ("application/json; charset=utf-8", turn[5].m_ContentType);
    EXPECT_EQ(1000000, phrase["Offset"].GetInt64());
    EXPECT_EQ(9000000, phrase["Duration"].GetInt64());
    ASSERT_EQ(2u, phrase["NBest"].Size());
    EXPECT_STREQ("yes please", phrase["NBest"][0]["Lexical"].GetString());
    EXPECT_NE(std::string::npos, turn[5].m_Body.find("\"Confidence\":0.93"));
    EXPECT_TRUE(turn[6].m_Body.empty());
    EXPECT_TRUE(turn[6].m_ContentType.empty());

    // Bodies nested a million levels deep (2 MB), well formed and cut off:
    // their check once overflowed the service's stack.
    const size_t depth = 1000000;
    client->SendText(
        TextMessage("telemetry", id, std::string(depth, '[') + std::string(depth, ']')));
    client->SendText(TextMessage("telemetry", id, std::string(depth, '[') + "{\"a\":1},"));
    // Reading 4 MB of nesting is slow under the sanitizers: a generous deadline.
    EventLogReader log(service->EventLogPath());
    ASSERT_TRUE(log.WaitFor(
        [](const std::vector<ServiceEvent> &events) {
            int telemetry = 0;
            for (const auto &e : events) telemetry += e.Str("path") == "telemetry";
            return telemetry == 2;
        },
        std::chrono::seconds(60)));
    std::vector<ServiceEvent> messages = log.Read("message");
    ASSERT_EQ(17u, messages.size());  // config, 13 audio chunks, end, 2 telemetry
    EXPECT_TRUE(messages[1].Bool("masked"));
    EXPECT_EQ(2560, messages[1].Int("audioBytes"));
    EXPECT_TRUE(messages[15].Bool("bodyIsJson"));
    EXPECT_LT(2 * depth, static_cast<size_t>(messages[15].Int("size")));
    EXPECT_FALSE(messages[16].Bool("bodyIsJson", true));
    EXPECT_TRUE(log.Read("violation").empty());
    EXPECT_EQ("turn.end", Paths(Turn(*client, kSecond)).back()) << "the connection goes on";

    // Simple is the default format and carries DisplayText.
    auto simple = Connect(*service, "language=en-US");
    rapidjson::Document doc = Json(Find(Turn(*simple, kSecond), "speech.phrase")->m_Body);
    EXPECT_STREQ("Yes please.", doc["DisplayText"].GetString());
    EXPECT_FALSE(doc.HasMember("NBest"));

    // Audio before speech.config is noted but served.
    auto early = Connect(*service, "language=en-US", false);
    EXPECT_EQ("turn.end", Paths(Turn(*early, kSecond)).back());
    std::vector<ServiceEvent> violations = log.Read("violation");
    ASSERT_FALSE(violations.empty());
    EXPECT_EQ("audio before speech.config", violations[0].Str("reason"));

    // Many connections at once are served, each its own turn.
    std::vector<std::unique_ptr<TestClient>> clients;
    std::vector<std::string> ids;
    for (int i = 0; i < 40; ++i) {
        clients.push_back(Connect(*service));
        ids.push_back(NewRequestId());
        SendAudio(*clients.back(), ids.back(), KoralTest::Silence(400, 16000));
        SendEnd(*clients.back(), ids.back());
    }
    for (size_t i = 0; i < clients.size(); ++i) {
        std::vector<ServiceMessage> many = ReadTurn(*clients[i]);
        ASSERT_FALSE(many.empty()) << i;
        EXPECT_EQ("turn.end", many.back().m_Path) << i;
        EXPECT_EQ(ids[i], many.back().m_RequestId) << i;
    }
}

TEST_F(TurnProtocolTest, TurnsEndAsScriptedInOrderOrByAudioLength) {
    auto service = Start(R"({"repeat":"cycle","turns":[{"endMs":500,"nbest":["one"]},
        {"hypotheses":["yes"],"nbest":[{"lexical":"two","confidence":1}]}]})");
    ASSERT_TRUE(service);
    auto client = Connect(*service);
    auto lexical = [](const std::vector<ServiceMessage> &turn) -> std::string {
        const ServiceMessage *phrase = Find(turn, "speech.phrase");
        return phrase ? Json(phrase->m_Body)["NBest"][0]["Lexical"].GetString() : "<none>";
    };

    // The service ends the first turn by silence, without the empty message.
    std::string id = NewRequestId();
    SendAudio(*client, id, kSecond);
    std::vector<ServiceMessage> turn = ReadTurn(*client);
    ASSERT_EQ("turn.end", Paths(turn).back());
    EXPECT_EQ("one", lexical(turn));
    EXPECT_EQ(5000000, Json(Find(turn, "speech.endDetected")->m_Body)["Offset"].GetInt64());
    // Late audio and the late end of audio of that turn change nothing.
    SendAudio(*client, id, kSecond, false);
    SendEnd(*client, id);
    EXPECT_TRUE(EventLogReader(service->EventLogPath())
                    .WaitFor([](const std::vector<ServiceEvent> &events) {
                        int ignored = 0;
                        for (const auto &e : events) ignored += e.Event() == "ignored";
                        return ignored >= 14;  // 13 chunks and the empty message
                    }));

    // The second turn stays open after its hypothesis until the empty message.
    id = NewRequestId();
    SendAudio(*client, id, kSecond);
    EXPECT_EQ((std::vector<std::string>{"turn.start", "speech.startDetected", "speech.hypothesis"}),
              Paths(ReadTurn(*client, 500)));
    SendEnd(*client, id);
    std::vector<ServiceMessage> rest = ReadTurn(*client);
    EXPECT_EQ((std::vector<std::string>{"speech.endDetected", "speech.phrase", "turn.end"}),
              Paths(rest));
    EXPECT_EQ("two", lexical(rest));
    ASSERT_NE(nullptr, Find(rest, "speech.phrase"));
    EXPECT_NE(std::string::npos, Find(rest, "speech.phrase")->m_Body.find("\"Confidence\":1.0"));
    // The script cycles.
    EXPECT_EQ("one", lexical(Turn(*client, kSecond)));

    auto matched = Start(R"({"turns":[{"match":{"minAudioMs":1500},"nbest":["long"]},
                                     {"match":{"maxAudioMs":1499},"nbest":["short"]}]})");
    ASSERT_TRUE(matched);
    auto c2 = Connect(*matched);
    for (int ms : {2000, 800}) {
        turn = Turn(*c2, KoralTest::Silence(ms, 16000));
        EXPECT_EQ("turn.start", turn.front().m_Path);
        EXPECT_EQ(ms == 2000 ? "long" : "short", lexical(turn));
    }
}

}  // namespace
