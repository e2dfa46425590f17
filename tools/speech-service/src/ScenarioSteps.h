// Expansion of a turn's result description ("status", "nbest", "hypotheses",
// timings and faults) into the service's standard message sequence.
#pragma once

#include <rapidjson/document.h>

#include <string>

#include "Scenario.h"

namespace SpeechService {

bool BuildStandardSteps(const rapidjson::Value &turn, const std::string &where, TurnScript &script,
                        std::string &error);

// Reads the explicit "messages" list of a turn.
bool BuildExplicitSteps(const rapidjson::Value &messages, const std::string &where,
                        TurnScript &script, std::string &error);

}  // namespace SpeechService
