// Scenario files the service refuses: each error names its place. What a
// good scenario plays is seen from the client's side in TurnProtocolTest and
// FaultTest.

#include <gtest/gtest.h>

#include "Scenario.h"

using namespace SpeechService;

namespace {

TEST(ScenarioTest, ErrorsNameTheirPlace) {
    // Nesting a million levels once overflowed the stack of the recursive
    // JSON parser: it is refused beyond 64 levels, whole document or body.
    const std::string deep(1000000, '[');
    const struct {
        std::string m_Text;
        const char *m_Error;
    } cases[] = {
        {"[1]", "the scenario must be a JSON object"},
        {R"({"turn":[]})", "scenario: unknown member \"turn\""},
        {R"({"turns":[{"endMs":-1}]})", "turns[0]: \"endMs\" must be an integer from 0"},
        {R"({"turns":[{"nbest":[{"lexical":"a","confidence":2}]}]})",
         "turns[0].nbest[0]: \"confidence\" must be a number"},
        {R"({"turns":[{"messages":[{"body":{}}]}]})",
         "turns[0].messages[0]: a message needs \"path\" or \"action\""},
        {R"({"turns":[{"messages":[],"status":"Success"}]})", "cannot be combined"},
        {R"({"turns":[{"faults":[{"at":"speech.phrase"}]}]})",
         "turns[0].faults[0]: \"action\" is required"},
        {R"({"turns":[{"faults":[{"at":"end","action":"masked"}]}]})",
         "\"masked\" needs a message in \"at\""},
        {R"({"turns":[{"match":{"minAudioMs":5,"maxAudioMs":1}}]})",
         "\"minAudioMs\" is above \"maxAudioMs\""},
        {R"({"turns":[{"messages":[{"path":"speech.phrase","body":)" + deep +
             std::string(deep.size(), ']') + "}]}]}",
         "JSON error at line 1: nesting deeper than 64 levels"},
        {deep, "JSON error at line 1: nesting deeper than 64 levels"},
        {R"({"turns":[{"hypothesis":["x"]}]})", "turns[0]: unknown member \"hypothesis\""},
        {R"({"turns":[{"faults":[{"at":"speech.phrase","action":"explode"}]}]})",
         "unknown action \"explode\""},
        {R"({"turns":[{"faults":[{"at":"speech.nothing","action":"close"}]}]})",
         "no message \"speech.nothing\""},
        {R"({"token":{"status":42}})", "\"status\" must be an integer from 100 to 599"},
        {R"({"repeat":"sometimes"})", "\"repeat\" must be"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.m_Error);
        Scenario s;
        std::string error;
        EXPECT_FALSE(ParseScenario(c.m_Text, s, error));
        EXPECT_NE(std::string::npos, error.find(c.m_Error)) << error;
    }
    Scenario s;
    std::string error;
    ASSERT_TRUE(ParseScenario("{}", s, error)) << error;
}

}  // namespace
