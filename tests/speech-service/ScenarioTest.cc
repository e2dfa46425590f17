// Scenario files: what a turn description expands to, and the errors.

#include <gtest/gtest.h>

#include "Scenario.h"

using namespace SpeechService;

namespace {

std::vector<std::string> Describe(const TurnScript &script) {
    std::vector<std::string> out;
    for (const ScriptStep &s : script.m_Steps) {
        switch (s.m_Reply.m_Kind) {
            case Reply::Kind::Message:
                out.push_back(s.m_Reply.m_Path);
                break;
            case Reply::Kind::Ping:
                out.push_back("<ping>");
                break;
            case Reply::Kind::CloseFrame:
                out.push_back("<close-frame>");
                break;
            case Reply::Kind::Abort:
                out.push_back("<close>");
                break;
            case Reply::Kind::Stall:
                out.push_back("<stall>");
                break;
        }
    }
    return out;
}

TEST(ScenarioTest, StandardSequenceWithTriggers) {
    Scenario s;
    std::string error;
    ASSERT_TRUE(ParseScenario(
        R"({"turns":[{"hypotheses":["a","a b"],"speechStartMs":200,"endMs":1500}]})", s, error))
        << error;
    ASSERT_EQ(1u, s.m_Turns.size());
    const TurnScript &t = s.m_Turns[0];
    EXPECT_EQ((std::vector<std::string>{"turn.start", "speech.startDetected", "speech.hypothesis",
                                        "speech.hypothesis", "speech.endDetected", "speech.phrase",
                                        "turn.end"}),
              Describe(t));
    EXPECT_EQ(ScriptStep::Trigger::FirstAudio, t.m_Steps[0].m_Trigger);
    EXPECT_EQ(200, t.m_Steps[1].m_AudioMs);
    EXPECT_EQ(500, t.m_Steps[2].m_AudioMs);
    EXPECT_EQ(800, t.m_Steps[3].m_AudioMs);
    EXPECT_EQ(ScriptStep::Trigger::AudioMs, t.m_Steps[4].m_Trigger);
    EXPECT_EQ(1500, t.m_Steps[4].m_AudioMs);
    EXPECT_EQ(ScriptStep::Render::Phrase, t.m_Steps[5].m_Render);
    EXPECT_EQ("yes please", t.m_Steps[5].m_Phrase.m_NBest.at(0).m_Lexical);
    EXPECT_TRUE(t.m_Steps[6].m_Reply.m_ContentType.empty());
}

TEST(ScenarioTest, TimeoutsHaveNoSpeechMessages) {
    Scenario s;
    std::string error;
    ASSERT_TRUE(ParseScenario(R"({"turns":[{"status":"InitialSilenceTimeout"}]})", s, error))
        << error;
    EXPECT_EQ(
        (std::vector<std::string>{"turn.start", "speech.endDetected", "speech.phrase", "turn.end"}),
        Describe(s.m_Turns[0]));
    EXPECT_EQ(ScriptStep::Trigger::EndOfAudio, s.m_Turns[0].m_Steps[1].m_Trigger);
}

TEST(ScenarioTest, InsertedFaultsTakeTheTimeOfTheirMessage) {
    Scenario s;
    std::string error;
    ASSERT_TRUE(ParseScenario(R"({"turns":[{"hypotheses":["a"],"faults":[
      {"at":"speech.hypothesis","action":"ping"},
      {"at":"speech.phrase","action":"fragmented","fragments":4},
      {"at":"end","action":"close-frame","code":1011}]}]})",
                              s, error))
        << error;
    const TurnScript &t = s.m_Turns[0];
    EXPECT_EQ((std::vector<std::string>{"turn.start", "speech.startDetected", "<ping>",
                                        "speech.hypothesis", "speech.endDetected", "speech.phrase",
                                        "turn.end", "<close-frame>"}),
              Describe(t));
    EXPECT_EQ(ScriptStep::Trigger::AudioMs, t.m_Steps[2].m_Trigger);
    EXPECT_EQ(400, t.m_Steps[2].m_AudioMs);
    EXPECT_EQ(ScriptStep::Trigger::Previous, t.m_Steps[3].m_Trigger);
    EXPECT_EQ(4, t.m_Steps[5].m_Reply.m_Fragments);
    EXPECT_EQ(1011, t.m_Steps[7].m_Reply.m_CloseCode);
}

TEST(ScenarioTest, TopLevelFaultsAndMatching) {
    Scenario s;
    std::string error;
    ASSERT_TRUE(
        ParseScenario(R"({"token":{"status":401,"count":2,"delayMs":10},"upgrade":{"status":503},
                                "turns":[{"match":{"minAudioMs":100,"maxAudioMs":900}}],"repeat":"none"})",
                      s, error))
        << error;
    EXPECT_EQ(401, s.m_Token.m_Status);
    EXPECT_EQ(2, s.m_Token.m_Count);
    EXPECT_EQ(10, s.m_Token.m_DelayMs);
    EXPECT_EQ(503, s.m_Upgrade.m_Status);
    EXPECT_TRUE(s.m_MatchByLength);
    EXPECT_EQ(Scenario::Repeat::None, s.m_Repeat);
    EXPECT_EQ(900, s.m_Turns[0].m_MaxAudioMs);
}

TEST(ScenarioTest, ExplicitMessages) {
    Scenario s;
    std::string error;
    ASSERT_TRUE(ParseScenario(R"({"turns":[{"messages":[
      {"path":"turn.start","body":{"context":{"serviceTag":"x"}}},
      {"path":"speech.hypothesis","at":250,"delayMs":5,"body":"raw text","requestId":"r","masked":true,"padTo":100},
      {"action":"ping","payload":"p","at":"end-of-audio"},
      {"path":"turn.end"}]}]})",
                              s, error))
        << error;
    const TurnScript &t = s.m_Turns[0];
    ASSERT_EQ(4u, t.m_Steps.size());
    EXPECT_EQ(R"({"context":{"serviceTag":"x"}})", t.m_Steps[0].m_Reply.m_Body);
    EXPECT_EQ("raw text", t.m_Steps[1].m_Reply.m_Body);
    EXPECT_EQ(250, t.m_Steps[1].m_AudioMs);
    EXPECT_EQ(5, t.m_Steps[1].m_DelayMs);
    EXPECT_EQ("r", t.m_Steps[1].m_Reply.m_RequestId.value_or(""));
    EXPECT_TRUE(t.m_Steps[1].m_Reply.m_Masked);
    EXPECT_EQ(100u, t.m_Steps[1].m_Reply.m_PadTo);
    EXPECT_EQ(ScriptStep::Trigger::EndOfAudio, t.m_Steps[2].m_Trigger);
    EXPECT_TRUE(t.m_Steps[3].m_Reply.m_ContentType.empty());
}

// A scenario that cannot be run is refused with an error naming its place.
struct BadScenario {
    const char *m_Name;
    std::string m_Text;
    const char *m_Error;
};
void PrintTo(const BadScenario &c, std::ostream *os) { *os << c.m_Name; }

class ScenarioErrorTest : public ::testing::TestWithParam<BadScenario> {};

TEST_P(ScenarioErrorTest, ErrorsNameTheirPlace) {
    Scenario s;
    std::string error;
    EXPECT_FALSE(ParseScenario(GetParam().m_Text, s, error));
    EXPECT_NE(std::string::npos, error.find(GetParam().m_Error)) << error;
}

const std::string kDeep(1000000, '[');

INSTANTIATE_TEST_SUITE_P(
    Texts, ScenarioErrorTest,
    ::testing::Values(
        BadScenario{"NotAnObject", "[1]", "the scenario must be a JSON object"},
        BadScenario{"UnknownMember", R"({"turn":[]})", "scenario: unknown member \"turn\""},
        BadScenario{"NegativeEnd", R"({"turns":[{"endMs":-1}]})",
                    "turns[0]: \"endMs\" must be an integer from 0"},
        BadScenario{"ConfidenceAboveOne",
                    R"({"turns":[{"nbest":[{"lexical":"a","confidence":2}]}]})",
                    "turns[0].nbest[0]: \"confidence\" must be a number"},
        BadScenario{"MessageWithoutPath", R"({"turns":[{"messages":[{"body":{}}]}]})",
                    "turns[0].messages[0]: a message needs \"path\" or \"action\""},
        BadScenario{"MessagesAndStatus", R"({"turns":[{"messages":[],"status":"Success"}]})",
                    "cannot be combined"},
        BadScenario{"FaultWithoutAction", R"({"turns":[{"faults":[{"at":"speech.phrase"}]}]})",
                    "turns[0].faults[0]: \"action\" is required"},
        BadScenario{"MaskedWithoutMessage",
                    R"({"turns":[{"faults":[{"at":"end","action":"masked"}]}]})",
                    "\"masked\" needs a message in \"at\""},
        BadScenario{"AudioBoundsCrossed",
                    R"({"turns":[{"match":{"minAudioMs":5,"maxAudioMs":1}}]})",
                    "\"minAudioMs\" is above \"maxAudioMs\""},
        BadScenario{"DeepBody",
                    R"({"turns":[{"messages":[{"path":"speech.phrase","body":)" + kDeep +
                        std::string(kDeep.size(), ']') + "}]}]}",
                    "JSON error at line 1: nesting deeper than 64 levels"},
        BadScenario{"DeepDocument", kDeep, "JSON error at line 1: nesting deeper than 64 levels"},
        BadScenario{"MisspelledMember", R"({"turns":[{"hypothesis":["x"]}]})",
                    "turns[0]: unknown member \"hypothesis\""},
        BadScenario{"UnknownAction",
                    R"({"turns":[{"faults":[{"at":"speech.phrase","action":"explode"}]}]})",
                    "unknown action \"explode\""},
        BadScenario{"FaultAtNoMessage",
                    R"({"turns":[{"faults":[{"at":"speech.nothing","action":"close"}]}]})",
                    "no message \"speech.nothing\""},
        BadScenario{"TokenStatus", R"({"token":{"status":42}})",
                    "\"status\" must be an integer from 100 to 599"},
        BadScenario{"Repeat", R"({"repeat":"sometimes"})", "\"repeat\" must be"}),
    [](const ::testing::TestParamInfo<BadScenario> &info) { return info.param.m_Name; });

TEST(ScenarioTest, EmptyScenarioUsesTheDefaultTurn) {
    Scenario s;
    std::string error;
    ASSERT_TRUE(ParseScenario("{}", s, error));
    ASSERT_EQ(1u, s.m_Turns.size());
    EXPECT_EQ(7u, s.m_Turns[0].m_Steps.size());
}

}  // namespace
