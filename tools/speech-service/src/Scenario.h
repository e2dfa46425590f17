// The scripted engine's scenario: per turn, which messages to send, when and
// how, and the faults of the token and upgrade endpoints. README.md gives the
// JSON format with examples.
#pragma once

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "Engine.h"
#include "ReplyFormat.h"

namespace SpeechService {

struct ScriptStep {
    enum class Trigger { Previous, FirstAudio, AudioMs, EndOfAudio };
    // Bodies computed when sent: they depend on the audio received and on the
    // connection's result format.
    enum class Render { None, EndDetected, Phrase };

    Trigger m_Trigger = Trigger::Previous;
    int m_AudioMs = 0;
    int m_DelayMs = 0;
    Reply m_Reply;
    Render m_Render = Render::None;
    PhraseResult m_Phrase;    // Render::Phrase (offset/duration filled when sent)
    int m_SpeechStartMs = 0;  // Render::Phrase: start of the phrase
    int m_EndMs = -1;  // Render::EndDetected / Phrase: fixed end, or -1 for the audio received
};

struct TurnScript {
    std::string m_Name;
    bool m_HasMatch = false;
    int m_MinAudioMs = 0;
    int m_MaxAudioMs = 0;
    std::vector<ScriptStep> m_Steps;
};

struct TokenFault {
    int m_Status = 0;      // answer with this status instead of checking the key
    int m_DelayMs = 0;     // answer this late
    bool m_Reset = false;  // reset the connection instead of answering
    int m_Count = 0;       // applies to the first N requests; 0 = all
};

struct UpgradeFault {
    int m_Status = 0;  // refuse the upgrade with this status
    int m_Count = 0;   // applies to the first N upgrades; 0 = all
};

struct Scenario {
    enum class Repeat { Last, Cycle, None };
    TokenFault m_Token;
    UpgradeFault m_Upgrade;
    Repeat m_Repeat = Repeat::Last;
    bool m_MatchByLength = false;  // some turn has "match": pick scripts by audio length
    std::vector<TurnScript> m_Turns;
};

// Faults a test asks for while the service runs (POST /control/...): the
// next turn or upgrade of one client connection, named by the X-ConnectionId
// its upgrade carries, and the next token requests. They come before the
// scenario's own. Network thread only.
struct PendingFaults {
    std::map<std::string, TurnScript> m_Turns;  // the connection's next turn plays this
    std::map<std::string, int> m_Upgrades;      // its next upgrade is refused with this status
    std::deque<TokenFault> m_Tokens;            // one per token request, in order
};

// Parses a scenario; the error names the offending member.
bool ParseScenario(const std::string &text, Scenario &scenario, std::string &error);
bool LoadScenario(const std::string &path, Scenario &scenario, std::string &error);

// One TURN object of a scenario, a token fault (without "count") and an
// upgrade fault (`status` only), as the control endpoint receives them.
bool ParseTurnScript(const std::string &text, TurnScript &script, std::string &error);
bool ParseTokenFault(const std::string &text, TokenFault &fault, std::string &error);
bool ParseUpgradeStatus(const std::string &text, int &status, std::string &error);

// Every turn: "yes please" recognised, two hypotheses, ended by the client.
Scenario DefaultScenario();

// The script for a turn when length matching finds none: NoMatch.
TurnScript UnmatchedScript();

}  // namespace SpeechService
