// What one recognition of the soak does and which endings fit it: the host's
// input (speech, silence, DTMF), its interruptions (STOP, channel close) and
// the service fault asked for it, drawn from a seeded generator.
#pragma once

#include <cstdint>
#include <random>
#include <set>
#include <string>

namespace KoralSoak {

enum class Input { kSpeech, kSilence, kDtmf };
enum class Interrupt { kNone, kStop, kClose };

struct Plan {
    Input input = Input::kSpeech;
    Interrupt interrupt = Interrupt::kNone;
    int interrupt_after_ms = 0;  // media time after the RECOGNIZE was accepted
    std::string digits;          // DTMF input
    std::string fault;           // kind of service fault, "none" without one
    std::string turn;            // the service's script for the turn (speech), JSON
    int upgrade_status = 0;      // the channel's first upgrade is refused with it
    std::string token;           // token fault (JSON) posted before the RECOGNIZE
    bool fresh_channel = false;  // run on a newly opened channel
    std::set<int> causes;        // Completion-Cause values that fit, when it completes
};

// Draws the next plan, leaving out the service fault kinds in `skip`.
// `fresh` says whether the channel is new anyway.
Plan DrawPlan(std::mt19937_64 &rng, bool fresh, const std::set<std::string> &skip);

// "speech", "silence", "dtmf".
const char *InputName(Input input);

}  // namespace KoralSoak
