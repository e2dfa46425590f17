#include "SoakPlan.h"

#include <vector>

namespace KoralSoak {

namespace {

constexpr int kSuccess = 0;
constexpr int kNoInput = 2;
constexpr int kError = 6;

struct FaultKind {
    const char *name;
    int weight;
    const char *faults;  // the turn's "faults" member; empty: none
    std::set<int> causes;
};

// Where a lost socket or close frame can strike before the result went out.
const char *const kBeforeResult[] = {"turn.start", "speech.startDetected", "speech.hypothesis",
                                     "speech.phrase"};

const std::vector<FaultKind> &FaultKinds() {
    static const std::vector<FaultKind> kinds = {
        {"none", 24, "", {kSuccess}},
        {"close", 7, "close", {kError}},
        {"close-after-turn", 3, R"([{"at":"end","action":"close"}])", {kSuccess}},
        {"close-frame", 6, "close-frame", {kError}},
        {"stall-phrase", 4, R"([{"at":"speech.phrase","action":"stall"}])", {kError}},
        {"stall-turn-end", 3, R"([{"action":"stall"}])", {kSuccess}},
        // The service ends the audio itself (speech.endDetected before the
        // client's end), then sends nothing more.
        {"end-detected-stall", 3, "end-detected-stall", {kError}},
        {"drop-phrase", 4, R"([{"at":"speech.phrase","action":"drop"}])", {kError}},
        {"drop-hypothesis", 3, R"([{"at":"speech.hypothesis","action":"drop"}])", {kSuccess}},
        {"delay-phrase",
         4,
         R"([{"at":"speech.phrase","action":"delay","delayMs":300}])",
         {kSuccess}},
        {"fragmented",
         5,
         R"([{"at":"speech.phrase","action":"fragmented","fragments":3}])",
         {kSuccess}},
        // A client may take a masked or a very large frame, or give up the
        // connection over it: either way the recognition ends once.
        {"masked", 4, R"([{"at":"speech.phrase","action":"masked"}])", {kSuccess, kError}},
        {"oversized", 3, "oversized", {kSuccess, kError}},
        {"ping", 5, R"([{"at":"speech.phrase","action":"ping","payload":"soak"}])", {kSuccess}},
        {"unknown-path", 4, R"([{"at":"speech.hypothesis","action":"unknown-path"}])", {kSuccess}},
        {"wrong-request-id-phrase",
         4,
         R"([{"at":"speech.phrase","action":"wrong-request-id"}])",
         {kError}},
        {"wrong-request-id-hypothesis",
         3,
         R"([{"at":"speech.hypothesis","action":"wrong-request-id"}])",
         {kSuccess}},
        {"upgrade-refused", 4, "", {kError}},
        // The token client is shared: whether this recognition's connect
        // meets the refused fetch depends on its timing.
        {"token-401", 2, "", {kSuccess, kError}},
        {"token-reset", 2, "", {kSuccess, kError}},
        {"token-delay", 2, "", {kSuccess, kError}},
    };
    return kinds;
}

template <class T>
const T &Pick(std::mt19937_64 &rng, const std::vector<T> &items, const std::vector<int> &weights) {
    int total = 0;
    for (int w : weights) total += w;
    int r = static_cast<int>(rng() % static_cast<uint64_t>(total));
    for (size_t i = 0; i < items.size(); ++i) {
        if (r < weights[i]) return items[i];
        r -= weights[i];
    }
    return items.back();
}

}  // namespace

const char *InputName(Input input) {
    switch (input) {
        case Input::kSpeech:
            return "speech";
        case Input::kSilence:
            return "silence";
        case Input::kDtmf:
            return "dtmf";
    }
    return "?";
}

Plan DrawPlan(std::mt19937_64 &rng, bool fresh, const std::set<std::string> &skip) {
    Plan plan;
    plan.fresh_channel = fresh;
    plan.input =
        Pick(rng, std::vector<Input>{Input::kSpeech, Input::kSilence, Input::kDtmf}, {70, 10, 20});
    plan.interrupt =
        Pick(rng, std::vector<Interrupt>{Interrupt::kNone, Interrupt::kStop, Interrupt::kClose},
             {80, 10, 10});
    plan.interrupt_after_ms = static_cast<int>(rng() % 2500);
    plan.fault = "none";
    switch (plan.input) {
        case Input::kSilence:
            plan.causes = {kNoInput};
            return plan;
        case Input::kDtmf:
            for (int i = 0; i < 4; ++i) plan.digits += "0123456789"[rng() % 10];
            plan.causes = {kSuccess};
            return plan;
        case Input::kSpeech:
            break;
    }
    std::vector<int> weights;
    for (const FaultKind &k : FaultKinds()) weights.push_back(skip.count(k.name) ? 0 : k.weight);
    const FaultKind &kind = Pick(rng, FaultKinds(), weights);
    plan.fault = kind.name;
    plan.causes = kind.causes;
    std::string faults = kind.faults;
    if (faults == "close" || faults == "close-frame") {
        std::string at = kBeforeResult[rng() % 4];
        plan.fault += "@" + at;
        // Before the service said that speech started, the channel's
        // no-input timer may end the recognition first.
        if (at == "turn.start" || at == "speech.startDetected") plan.causes.insert(kNoInput);
        faults = R"([{"at":")" + at + R"(","action":")" + faults + "\"" +
                 (faults == "close-frame" ? R"(,"code":1011)" : "") + "}]";
    } else if (faults == "oversized") {
        // Past the 16-bit length (64-bit form) or a whole mebibyte.
        faults = rng() % 2 ? R"([{"at":"speech.phrase","action":"oversized","bytes":70000}])"
                           : R"([{"at":"speech.phrase","action":"oversized","bytes":1048576}])";
    }
    plan.turn = R"({"hypotheses":["yes","yes please"])";
    if (faults == "end-detected-stall") {
        plan.turn += R"(,"endMs":400)";
        faults = R"([{"at":"speech.phrase","action":"stall"}])";
    }
    if (!faults.empty()) plan.turn += R"(,"faults":)" + faults;
    plan.turn += "}";
    if (plan.fault == "upgrade-refused") {
        plan.fresh_channel = true;
        plan.upgrade_status = rng() % 2 ? 503 : 403;
    } else if (plan.fault == "token-401") {
        plan.fresh_channel = true;
        plan.token = R"({"status":401})";
    } else if (plan.fault == "token-reset") {
        plan.fresh_channel = true;
        plan.token = R"({"reset":true})";
    } else if (plan.fault == "token-delay") {
        plan.fresh_channel = true;
        plan.token = R"({"delayMs":1500})";
    }
    return plan;
}

}  // namespace KoralSoak
