#include "ScenarioSteps.h"

#include <algorithm>
#include <climits>

#include "ScenarioJson.h"

namespace SpeechService {

namespace {

constexpr int kMaxMs = 24 * 3600 * 1000;

ScriptStep Message(const char *path, ScriptStep::Trigger trigger, int audioMs) {
    ScriptStep step;
    step.m_Trigger = trigger;
    step.m_AudioMs = audioMs;
    step.m_Reply.m_Path = path;
    return step;
}

// Framing and addressing options shared by explicit messages and faults.
bool ReadSendOptions(JsonFields &f, Reply &reply) {
    std::string requestId;
    bool hasRequestId = f.Has("requestId");
    bool masked = reply.m_Masked;
    int padTo = static_cast<int>(reply.m_PadTo);
    if (!f.String("requestId", requestId) || !f.String("contentType", reply.m_ContentType) ||
        !f.Int("fragments", reply.m_Fragments, 1, 1000) || !f.Bool("masked", masked) ||
        !f.Int("padTo", padTo, 0, 256 * 1024 * 1024)) {
        return false;
    }
    if (hasRequestId) reply.m_RequestId = requestId;
    reply.m_Masked = masked;
    reply.m_PadTo = static_cast<size_t>(padTo);
    return true;
}

bool ReadTrigger(JsonFields &f, ScriptStep &step) {
    if (!f.Has("at")) return true;
    const rapidjson::Value &at = f.Get("at");
    if (at.IsInt64()) {
        if (at.GetInt64() < 0 || at.GetInt64() > kMaxMs)
            return f.Fail("\"at\" must be a non-negative audio time");
        step.m_Trigger = ScriptStep::Trigger::AudioMs;
        step.m_AudioMs = static_cast<int>(at.GetInt64());
        return true;
    }
    std::string text = at.IsString() ? at.GetString() : "";
    if (text == "first-audio") {
        step.m_Trigger = ScriptStep::Trigger::FirstAudio;
    } else if (text == "end-of-audio") {
        step.m_Trigger = ScriptStep::Trigger::EndOfAudio;
    } else if (text == "previous") {
        step.m_Trigger = ScriptStep::Trigger::Previous;
    } else {
        return f.Fail(
            "\"at\" must be audio milliseconds, \"first-audio\", \"end-of-audio\" or \"previous\"");
    }
    return true;
}

// A fault that is a step of its own; false with no error when `action` is
// not one of them.
bool FaultReply(JsonFields &f, const std::string &action, Reply &reply, bool &known) {
    known = true;
    if (action == "ping") {
        reply.m_Kind = Reply::Kind::Ping;
        return f.String("payload", reply.m_Text);
    }
    if (action == "close") {
        reply.m_Kind = Reply::Kind::Abort;
        return true;
    }
    if (action == "close-frame") {
        int code = 1011;
        reply.m_Kind = Reply::Kind::CloseFrame;
        if (!f.Int("code", code, 1000, 4999) || !f.String("reason", reply.m_Text)) return false;
        reply.m_CloseCode = static_cast<uint16_t>(code);
        return true;
    }
    if (action == "stall") {
        reply.m_Kind = Reply::Kind::Stall;
        return true;
    }
    if (action == "unknown-path") {
        reply.m_Kind = Reply::Kind::Message;
        reply.m_Path = "speech.unknown";
        reply.m_Body = "{}";
        return f.String("path", reply.m_Path);
    }
    known = false;
    return true;
}

bool ApplyFault(const rapidjson::Value &value, const std::string &where, TurnScript &script,
                std::string &error) {
    if (!value.IsObject()) {
        error = where + ": a fault must be an object";
        return false;
    }
    JsonFields f(value, where, error);
    std::string at = "turn.end", action;
    int index = 0, delayMs = 0, bytes = 1024 * 1024;
    if (!f.Only({"at", "index", "action", "payload", "code", "reason", "path", "requestId",
                 "fragments", "bytes", "delayMs"}) ||
        !f.String("at", at) || !f.String("action", action) || !f.Int("index", index, 0, 1000) ||
        !f.Int("delayMs", delayMs, 0, kMaxMs) || !f.Int("bytes", bytes, 1, 256 * 1024 * 1024)) {
        return false;
    }
    if (action.empty()) return f.Fail("\"action\" is required");

    // Where the fault applies: the index-th message with that path, or the end.
    size_t target = script.m_Steps.size();
    if (at != "end") {
        int seen = 0;
        target = SIZE_MAX;
        for (size_t i = 0; i < script.m_Steps.size(); ++i) {
            const Reply &r = script.m_Steps[i].m_Reply;
            if (r.m_Kind == Reply::Kind::Message && r.m_Path == at && seen++ == index) {
                target = i;
                break;
            }
        }
        if (target == SIZE_MAX)
            return f.Fail("no message \"" + at + "\" (index " + std::to_string(index) +
                          ") in this turn");
    }

    Reply inserted;
    bool known = false;
    if (!FaultReply(f, action, inserted, known)) return false;
    if (known) {
        ScriptStep step;
        step.m_Reply = inserted;
        if (target < script.m_Steps.size()) {
            // The fault happens when the message would have been due; the message follows it.
            ScriptStep &before = script.m_Steps[target];
            step.m_Trigger = before.m_Trigger;
            step.m_AudioMs = before.m_AudioMs;
            step.m_DelayMs = before.m_DelayMs;
            before.m_Trigger = ScriptStep::Trigger::Previous;
            before.m_DelayMs = 0;
        }
        script.m_Steps.insert(script.m_Steps.begin() + static_cast<std::ptrdiff_t>(target), step);
        return true;
    }

    if (target >= script.m_Steps.size())
        return f.Fail("\"" + action + "\" needs a message in \"at\"");
    ScriptStep &step = script.m_Steps[target];
    Reply &reply = step.m_Reply;
    if (action == "fragmented") {
        reply.m_Fragments = 3;
        return f.Int("fragments", reply.m_Fragments, 2, 1000);
    }
    if (action == "masked") {
        reply.m_Masked = true;
        return true;
    }
    if (action == "oversized") {
        reply.m_PadTo = static_cast<size_t>(bytes);
        return true;
    }
    if (action == "wrong-request-id") {
        std::string id = "0123456789abcdef0123456789abcdef";
        if (!f.String("requestId", id)) return false;
        reply.m_RequestId = id;
        return true;
    }
    if (action == "drop") {
        script.m_Steps.erase(script.m_Steps.begin() + static_cast<std::ptrdiff_t>(target));
        return true;
    }
    if (action == "delay") {
        step.m_DelayMs += delayMs;
        return true;
    }
    return f.Fail("unknown action \"" + action + "\"");
}

bool ReadAlternative(const rapidjson::Value &v, const std::string &where, Alternative &alt,
                     std::string &error) {
    if (v.IsString()) {
        alt = MakeAlternative(v.GetString(), 0.9);
        return true;
    }
    if (!v.IsObject()) {
        error = where + ": an nbest entry must be a string or an object";
        return false;
    }
    JsonFields f(v, where, error);
    std::string lexical;
    double confidence = 0.9;
    if (!f.Only({"lexical", "confidence", "itn", "maskedItn", "display"}) ||
        !f.String("lexical", lexical) || !f.Number("confidence", confidence, 0.0, 1.0)) {
        return false;
    }
    alt = MakeAlternative(lexical, confidence);
    return f.String("itn", alt.m_Itn) && f.String("maskedItn", alt.m_MaskedItn) &&
           f.String("display", alt.m_Display);
}

}  // namespace

bool BuildStandardSteps(const rapidjson::Value &turn, const std::string &where, TurnScript &script,
                        std::string &error) {
    JsonFields f(turn, where, error);
    std::string status = "Success";
    int speechStartMs = 100, everyMs = 300, endMs = -1, delayMs = 0;
    if (!f.String("status", status) || !f.Int("speechStartMs", speechStartMs, 0, kMaxMs) ||
        !f.Int("hypothesisEveryMs", everyMs, 1, kMaxMs) || !f.Int("endMs", endMs, 0, kMaxMs) ||
        !f.Int("delayMs", delayMs, 0, kMaxMs)) {
        return false;
    }
    PhraseResult phrase;
    phrase.m_Status = status;
    if (f.Has("nbest")) {
        const rapidjson::Value &list = f.Get("nbest");
        if (!list.IsArray()) return f.Fail("\"nbest\" must be an array");
        for (rapidjson::SizeType i = 0; i < list.Size(); ++i) {
            Alternative alt;
            if (!ReadAlternative(list[i], where + ".nbest[" + std::to_string(i) + "]", alt, error))
                return false;
            phrase.m_NBest.push_back(alt);
        }
    } else if (status == "Success") {
        phrase.m_NBest.push_back(MakeAlternative("yes please", 0.9));
    }
    std::vector<std::string> hypotheses;
    if (f.Has("hypotheses")) {
        const rapidjson::Value &list = f.Get("hypotheses");
        if (!list.IsArray()) return f.Fail("\"hypotheses\" must be an array of strings");
        for (rapidjson::SizeType i = 0; i < list.Size(); ++i) {
            if (!list[i].IsString()) return f.Fail("\"hypotheses\" must be an array of strings");
            hypotheses.emplace_back(list[i].GetString(), list[i].GetStringLength());
        }
    }

    bool speech = status != "InitialSilenceTimeout" && status != "BabbleTimeout";
    script.m_Steps.push_back(Message("turn.start", ScriptStep::Trigger::FirstAudio, 0));
    script.m_Steps.back().m_Reply.m_Body = TurnStartBody(RandomHexId());
    if (speech) {
        ScriptStep start =
            Message("speech.startDetected", ScriptStep::Trigger::AudioMs, speechStartMs);
        start.m_Reply.m_Body = OffsetBody(speechStartMs * kTicksPerMs);
        script.m_Steps.push_back(start);
        for (size_t i = 0; i < hypotheses.size(); ++i) {
            int at = speechStartMs + static_cast<int>(i + 1) * everyMs;
            ScriptStep h = Message("speech.hypothesis", ScriptStep::Trigger::AudioMs, at);
            h.m_Reply.m_Body =
                HypothesisBody(hypotheses[i], speechStartMs * kTicksPerMs,
                               static_cast<int64_t>(at - speechStartMs) * kTicksPerMs);
            script.m_Steps.push_back(h);
        }
    }
    ScriptStep end =
        Message("speech.endDetected",
                endMs >= 0 ? ScriptStep::Trigger::AudioMs : ScriptStep::Trigger::EndOfAudio,
                std::max(endMs, 0));
    end.m_DelayMs = delayMs;
    end.m_Render = ScriptStep::Render::EndDetected;
    end.m_EndMs = endMs;
    script.m_Steps.push_back(end);
    ScriptStep result = Message("speech.phrase", ScriptStep::Trigger::Previous, 0);
    result.m_Render = ScriptStep::Render::Phrase;
    result.m_Phrase = phrase;
    result.m_SpeechStartMs = speech ? speechStartMs : -1;
    result.m_EndMs = endMs;
    script.m_Steps.push_back(result);
    ScriptStep turnEnd = Message("turn.end", ScriptStep::Trigger::Previous, 0);
    turnEnd.m_Reply.m_ContentType.clear();
    script.m_Steps.push_back(turnEnd);

    if (f.Has("faults")) {
        const rapidjson::Value &faults = f.Get("faults");
        if (!faults.IsArray()) return f.Fail("\"faults\" must be an array");
        for (rapidjson::SizeType i = 0; i < faults.Size(); ++i) {
            if (!ApplyFault(faults[i], where + ".faults[" + std::to_string(i) + "]", script, error))
                return false;
        }
    }
    return true;
}

bool BuildExplicitSteps(const rapidjson::Value &messages, const std::string &where,
                        TurnScript &script, std::string &error) {
    if (!messages.IsArray()) {
        error = where + ": \"messages\" must be an array";
        return false;
    }
    for (rapidjson::SizeType i = 0; i < messages.Size(); ++i) {
        std::string here = where + ".messages[" + std::to_string(i) + "]";
        if (!messages[i].IsObject()) {
            error = here + ": a message must be an object";
            return false;
        }
        JsonFields f(messages[i], here, error);
        ScriptStep step;
        std::string action;
        if (!f.Only({"path", "body", "at", "delayMs", "requestId", "contentType", "fragments",
                     "masked", "padTo", "action", "payload", "code", "reason"}) ||
            !ReadTrigger(f, step) || !f.Int("delayMs", step.m_DelayMs, 0, kMaxMs) ||
            !f.String("action", action)) {
            return false;
        }
        if (!action.empty()) {
            bool known = false;
            if (!FaultReply(f, action, step.m_Reply, known)) return false;
            if (!known) return f.Fail("unknown action \"" + action + "\"");
        } else {
            if (!f.String("path", step.m_Reply.m_Path)) return false;
            if (!f.Has("path")) return f.Fail("a message needs \"path\" or \"action\"");
            if (f.Has("body")) {
                const rapidjson::Value &body = f.Get("body");
                step.m_Reply.m_Body = body.IsString()
                                          ? std::string(body.GetString(), body.GetStringLength())
                                          : JsonText(body);
            }
            if (step.m_Reply.m_Body.empty()) step.m_Reply.m_ContentType.clear();
            if (!ReadSendOptions(f, step.m_Reply)) return false;
        }
        script.m_Steps.push_back(step);
    }
    return true;
}

}  // namespace SpeechService
