// The scripted engine: each turn plays a script of the scenario, picked by
// the turn's position on its connection or, when the scenario matches by
// length, by how much audio the turn received. Runs on the network thread.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <memory>

#include "Engine.h"
#include "Scenario.h"

namespace SpeechService {

class ScriptEngine : public Engine {
  public:
    // A turn whose connection has a script in `pending` plays that one.
    ScriptEngine(boost::asio::io_context &io, Scenario scenario, PendingFaults *pending = nullptr);
    std::shared_ptr<Turn> StartTurn(const TurnParams &params, ReplyFn reply) override;

  private:
    boost::asio::io_context &m_Io;
    Scenario m_Scenario;
    PendingFaults *m_Pending;
};

class ScriptTurn : public Turn, public std::enable_shared_from_this<ScriptTurn> {
  public:
    // Without a script the turn either waits for its length to pick one
    // (`matchFrom` set) or sends nothing.
    ScriptTurn(boost::asio::io_context &io, const TurnParams &params, ReplyFn reply,
               const TurnScript *script, const Scenario *matchFrom);

    void Begin();
    void Audio(const int16_t *samples, size_t count) override;
    void EndOfAudio() override;
    void Cancel() override;

  private:
    bool Triggered(const ScriptStep &step) const;
    void Advance();
    void Send(const ScriptStep &step);
    void SelectByLength();
    int AudioMs() const { return static_cast<int>(m_Samples / 16); }

    boost::asio::io_context &m_Io;
    boost::asio::steady_timer m_Timer;
    TurnParams m_Params;
    ReplyFn m_Reply;
    const Scenario *m_MatchFrom;
    bool m_HaveScript = false;
    TurnScript m_Script;
    size_t m_Next = 0;
    bool m_Delaying = false;
    bool m_DelayDone = false;
    int64_t m_Samples = 0;
    bool m_EndOfAudio = false;
    bool m_AudioOver = false;  // speech.endDetected sent: no more audio counts
    bool m_Stopped = false;
};

}  // namespace SpeechService
