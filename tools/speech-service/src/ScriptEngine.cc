#include "ScriptEngine.h"

#include <algorithm>
#include <boost/asio/post.hpp>
#include <chrono>

namespace SpeechService {

ScriptEngine::ScriptEngine(boost::asio::io_context &io, Scenario scenario, PendingFaults *pending)
    : m_Io(io), m_Scenario(std::move(scenario)), m_Pending(pending) {}

std::shared_ptr<Turn> ScriptEngine::StartTurn(const TurnParams &params, ReplyFn reply) {
    if (m_Pending != nullptr) {
        auto it = m_Pending->m_Turns.find(params.m_ClientConnectionId);
        if (it != m_Pending->m_Turns.end()) {
            TurnScript script = std::move(it->second);
            m_Pending->m_Turns.erase(it);
            auto turn =
                std::make_shared<ScriptTurn>(m_Io, params, std::move(reply), &script, nullptr);
            turn->Begin();
            return turn;
        }
    }
    const TurnScript *script = nullptr;
    const Scenario *matchFrom = nullptr;
    size_t count = m_Scenario.m_Turns.size();
    if (m_Scenario.m_MatchByLength) {
        matchFrom = &m_Scenario;
    } else if (count > 0) {
        size_t index = params.m_TurnIndex;
        switch (m_Scenario.m_Repeat) {
            case Scenario::Repeat::Last:
                script = &m_Scenario.m_Turns[std::min(index, count - 1)];
                break;
            case Scenario::Repeat::Cycle:
                script = &m_Scenario.m_Turns[index % count];
                break;
            case Scenario::Repeat::None:
                script = index < count ? &m_Scenario.m_Turns[index] : nullptr;
                break;
        }
    }
    auto turn = std::make_shared<ScriptTurn>(m_Io, params, std::move(reply), script, matchFrom);
    turn->Begin();
    return turn;
}

ScriptTurn::ScriptTurn(boost::asio::io_context &io, const TurnParams &params, ReplyFn reply,
                       const TurnScript *script, const Scenario *matchFrom)
    : m_Io(io), m_Timer(io), m_Params(params), m_Reply(std::move(reply)), m_MatchFrom(matchFrom) {
    if (script != nullptr) {
        m_Script = *script;
        m_HaveScript = true;
    }
}

void ScriptTurn::Begin() {
    if (m_MatchFrom != nullptr) {
        // The script is only known when the audio ends; the turn opens now.
        Reply start;
        start.m_Path = "turn.start";
        start.m_Body = TurnStartBody(RandomHexId());
        boost::asio::post(m_Io, [fn = m_Reply, start]() mutable { fn(std::move(start)); });
        return;
    }
    boost::asio::post(m_Io, [self = shared_from_this()] { self->Advance(); });
}

void ScriptTurn::Audio(const int16_t *samples, size_t count) {
    if (m_AudioOver || m_Stopped) return;
    m_Samples += static_cast<int64_t>(count);
    Advance();
}

void ScriptTurn::EndOfAudio() {
    if (m_EndOfAudio) return;
    m_EndOfAudio = true;
    if (m_MatchFrom != nullptr && !m_HaveScript) SelectByLength();
    Advance();
}

void ScriptTurn::Cancel() {
    m_Stopped = true;
    m_Timer.cancel();
}

void ScriptTurn::SelectByLength() {
    int ms = AudioMs();
    for (const TurnScript &script : m_MatchFrom->m_Turns) {
        if (!script.m_HasMatch || (ms >= script.m_MinAudioMs && ms <= script.m_MaxAudioMs)) {
            m_Script = script;
            m_HaveScript = true;
            break;
        }
    }
    if (!m_HaveScript) {
        m_Script = UnmatchedScript();
        m_HaveScript = true;
    }
    // turn.start went out when the turn began.
    auto &steps = m_Script.m_Steps;
    steps.erase(std::remove_if(steps.begin(), steps.end(),
                               [](const ScriptStep &s) {
                                   return s.m_Reply.m_Kind == Reply::Kind::Message &&
                                          s.m_Reply.m_Path == "turn.start";
                               }),
                steps.end());
}

bool ScriptTurn::Triggered(const ScriptStep &step) const {
    switch (step.m_Trigger) {
        case ScriptStep::Trigger::Previous:
        case ScriptStep::Trigger::FirstAudio:
            return true;
        case ScriptStep::Trigger::AudioMs:
            return m_EndOfAudio || m_AudioOver || AudioMs() >= step.m_AudioMs;
        case ScriptStep::Trigger::EndOfAudio:
            return m_EndOfAudio || m_AudioOver;
    }
    return false;
}

void ScriptTurn::Advance() {
    while (!m_Stopped && m_HaveScript && !m_Delaying && m_Next < m_Script.m_Steps.size()) {
        const ScriptStep &step = m_Script.m_Steps[m_Next];
        if (!Triggered(step)) return;
        if (step.m_DelayMs > 0 && !m_DelayDone) {
            m_Delaying = true;
            m_Timer.expires_after(std::chrono::milliseconds(step.m_DelayMs));
            m_Timer.async_wait([self = shared_from_this()](const boost::system::error_code &ec) {
                self->m_Delaying = false;
                if (ec || self->m_Stopped) return;
                self->m_DelayDone = true;
                self->Advance();
            });
            return;
        }
        m_DelayDone = false;
        ++m_Next;
        Send(step);
    }
}

void ScriptTurn::Send(const ScriptStep &step) {
    Reply reply = step.m_Reply;
    int end = step.m_EndMs >= 0 ? step.m_EndMs : AudioMs();
    if (step.m_Render == ScriptStep::Render::EndDetected) {
        reply.m_Body = OffsetBody(end * kTicksPerMs);
    } else if (step.m_Render == ScriptStep::Render::Phrase) {
        PhraseResult phrase = step.m_Phrase;
        int start = step.m_SpeechStartMs >= 0 ? std::min(step.m_SpeechStartMs, end) : end;
        phrase.m_Offset = start * kTicksPerMs;
        phrase.m_Duration = static_cast<int64_t>(end - start) * kTicksPerMs;
        reply.m_Body = PhraseBody(phrase, m_Params.m_Format);
    }
    if (reply.m_Kind == Reply::Kind::Message && reply.m_Path == "speech.endDetected")
        m_AudioOver = true;
    if (reply.m_Kind == Reply::Kind::Stall || reply.m_Kind == Reply::Kind::Abort ||
        reply.m_Kind == Reply::Kind::CloseFrame) {
        m_Stopped = true;
    }
    // Replies leave through the network thread's queue, never from inside the
    // session's own call into this turn.
    boost::asio::post(m_Io,
                      [fn = m_Reply, reply = std::move(reply)]() mutable { fn(std::move(reply)); });
}

}  // namespace SpeechService
