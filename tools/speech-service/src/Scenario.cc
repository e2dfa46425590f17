#include "Scenario.h"

#include <rapidjson/document.h>

#include <fstream>
#include <sstream>

#include "ScenarioJson.h"
#include "ScenarioSteps.h"

namespace SpeechService {

namespace {

// Far more than any scenario needs; message bodies are written out recursively.
constexpr size_t kMaxScenarioDepth = 64;

bool ReadTokenFault(const rapidjson::Value &v, TokenFault &fault, std::string &error) {
    if (!v.IsObject()) {
        error = "token: must be an object";
        return false;
    }
    JsonFields f(v, "token", error);
    return f.Only({"status", "delayMs", "reset", "count"}) &&
           f.Int("status", fault.m_Status, 100, 599) &&
           f.Int("delayMs", fault.m_DelayMs, 0, 3600 * 1000) && f.Bool("reset", fault.m_Reset) &&
           f.Int("count", fault.m_Count, 0, 1000000);
}

bool ReadUpgradeFault(const rapidjson::Value &v, UpgradeFault &fault, std::string &error) {
    if (!v.IsObject()) {
        error = "upgrade: must be an object";
        return false;
    }
    JsonFields f(v, "upgrade", error);
    return f.Only({"status", "count"}) && f.Int("status", fault.m_Status, 200, 599) &&
           f.Int("count", fault.m_Count, 0, 1000000);
}

bool ReadTurn(const rapidjson::Value &v, size_t index, TurnScript &script, bool &hasMatch,
              std::string &error) {
    std::string where = "turns[" + std::to_string(index) + "]";
    if (!v.IsObject()) {
        error = where + ": must be an object";
        return false;
    }
    JsonFields f(v, where, error);
    if (!f.Only({"name", "match", "status", "nbest", "hypotheses", "speechStartMs",
                 "hypothesisEveryMs", "endMs", "delayMs", "faults", "messages"}) ||
        !f.String("name", script.m_Name)) {
        return false;
    }
    if (f.Has("match")) {
        const rapidjson::Value &m = f.Get("match");
        if (!m.IsObject()) return f.Fail("\"match\" must be an object");
        JsonFields mf(m, where + ".match", error);
        script.m_HasMatch = true;
        script.m_MaxAudioMs = 24 * 3600 * 1000;
        if (!mf.Only({"minAudioMs", "maxAudioMs"}) ||
            !mf.Int("minAudioMs", script.m_MinAudioMs, 0, 24 * 3600 * 1000) ||
            !mf.Int("maxAudioMs", script.m_MaxAudioMs, 0, 24 * 3600 * 1000)) {
            return false;
        }
        if (script.m_MinAudioMs > script.m_MaxAudioMs)
            return mf.Fail("\"minAudioMs\" is above \"maxAudioMs\"");
        hasMatch = true;
    }
    if (f.Has("messages")) {
        for (const char *other : {"status", "nbest", "hypotheses", "speechStartMs",
                                  "hypothesisEveryMs", "endMs", "delayMs", "faults"}) {
            if (f.Has(other))
                return f.Fail(std::string("\"messages\" cannot be combined with \"") + other +
                              "\"");
        }
        return BuildExplicitSteps(f.Get("messages"), where, script, error);
    }
    return BuildStandardSteps(v, where, script, error);
}

}  // namespace

bool ParseScenario(const std::string &text, Scenario &scenario, std::string &error) {
    scenario = Scenario();
    rapidjson::Document doc;
    if (!ParseJson(text, kMaxScenarioDepth, doc, error)) return false;
    if (!doc.IsObject()) {
        error = "the scenario must be a JSON object";
        return false;
    }
    JsonFields f(doc, "scenario", error);
    std::string repeat = "last";
    if (!f.Only({"token", "upgrade", "repeat", "turns", "comment"}) || !f.String("repeat", repeat))
        return false;
    if (repeat == "last") {
        scenario.m_Repeat = Scenario::Repeat::Last;
    } else if (repeat == "cycle") {
        scenario.m_Repeat = Scenario::Repeat::Cycle;
    } else if (repeat == "none") {
        scenario.m_Repeat = Scenario::Repeat::None;
    } else {
        return f.Fail("\"repeat\" must be \"last\", \"cycle\" or \"none\"");
    }
    if (f.Has("token") && !ReadTokenFault(f.Get("token"), scenario.m_Token, error)) return false;
    if (f.Has("upgrade") && !ReadUpgradeFault(f.Get("upgrade"), scenario.m_Upgrade, error))
        return false;
    if (f.Has("turns")) {
        const rapidjson::Value &turns = f.Get("turns");
        if (!turns.IsArray()) return f.Fail("\"turns\" must be an array");
        for (rapidjson::SizeType i = 0; i < turns.Size(); ++i) {
            TurnScript script;
            if (!ReadTurn(turns[i], i, script, scenario.m_MatchByLength, error)) return false;
            scenario.m_Turns.push_back(std::move(script));
        }
    } else {
        scenario.m_Turns = DefaultScenario().m_Turns;
    }
    return true;
}

bool ParseTurnScript(const std::string &text, TurnScript &script, std::string &error) {
    script = TurnScript();
    rapidjson::Document doc;
    if (!ParseJson(text, kMaxScenarioDepth, doc, error)) return false;
    bool hasMatch = false;
    if (!ReadTurn(doc, 0, script, hasMatch, error)) return false;
    if (hasMatch) {
        error = "turn: \"match\" applies to a scenario's turns only";
        return false;
    }
    return true;
}

bool ParseTokenFault(const std::string &text, TokenFault &fault, std::string &error) {
    fault = TokenFault();
    rapidjson::Document doc;
    if (!ParseJson(text, kMaxScenarioDepth, doc, error)) return false;
    if (doc.IsObject() && doc.HasMember("count")) {
        error = "token: \"count\" applies to a scenario's token fault only";
        return false;
    }
    return ReadTokenFault(doc, fault, error);
}

bool ParseUpgradeStatus(const std::string &text, int &status, std::string &error) {
    rapidjson::Document doc;
    if (!ParseJson(text, kMaxScenarioDepth, doc, error)) return false;
    UpgradeFault fault;
    if (doc.IsObject() && doc.HasMember("count")) {
        error = "upgrade: \"count\" applies to a scenario's upgrade fault only";
        return false;
    }
    if (!ReadUpgradeFault(doc, fault, error)) return false;
    if (fault.m_Status == 0) {
        error = "upgrade: \"status\" is required";
        return false;
    }
    status = fault.m_Status;
    return true;
}

bool LoadScenario(const std::string &path, Scenario &scenario, std::string &error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read " + path;
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return ParseScenario(text.str(), scenario, error);
}

Scenario DefaultScenario() {
    Scenario scenario;
    std::string error;
    rapidjson::Document turn;
    turn.Parse(R"({"status":"Success","hypotheses":["yes","yes please"],
                 "nbest":[{"lexical":"yes please","confidence":0.93},{"lexical":"yes","confidence":0.41}]})");
    TurnScript script;
    script.m_Name = "default";
    BuildStandardSteps(turn, "default", script, error);
    scenario.m_Turns.push_back(script);
    return scenario;
}

TurnScript UnmatchedScript() {
    std::string error;
    rapidjson::Document turn;
    turn.Parse(R"({"status":"NoMatch"})");
    TurnScript script;
    script.m_Name = "unmatched";
    BuildStandardSteps(turn, "unmatched", script, error);
    return script;
}

}  // namespace SpeechService
