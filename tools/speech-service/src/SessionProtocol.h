// The recognition protocol of one WebSocket connection, apart from the
// socket: checks every client message, opens and feeds turns, orders the
// engines' replies (one turn's replies all go out before the next turn's),
// and closes with 1002 or 1007 on violations. Network thread only.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <set>
#include <string>
#include <string_view>

#include "Engine.h"
#include "EventLog.h"
#include "ServiceMessage.h"
#include "UpgradeRequest.h"

namespace SpeechService {

// What the protocol asks of the socket.
class SessionOutput {
  public:
    virtual ~SessionOutput() = default;
    virtual void SendText(std::string text, int fragments, bool masked) = 0;
    virtual void SendPing(std::string payload) = 0;
    virtual void SendClose(uint16_t code, std::string reason) = 0;
    virtual void Abort() = 0;
};

class SessionProtocol : public std::enable_shared_from_this<SessionProtocol> {
  public:
    SessionProtocol(uint64_t connection, const SessionSettings &settings, Engine &engine,
                    EventLog &log, SessionOutput *output);
    ~SessionProtocol();

    void OnText(std::string_view text);
    void OnBinary(std::string_view data);
    // The socket is gone: turns are cancelled and nothing more is sent.
    void OnClosed();
    bool Closing() const { return m_Closing; }
    size_t OpenTurns() const { return m_Turns.size(); }

  private:
    struct TurnEntry {
        uint64_t m_Serial = 0;
        std::string m_RequestId;
        std::shared_ptr<Turn> m_Turn;
        std::deque<Reply> m_Held;  // replies waiting for earlier turns to end
        bool m_Finished = false;
    };

    void HandleAudio(const ClientMessage &message, size_t size);
    void StartTurn(const ClientMessage &message, const std::string &audio);
    void FeedCurrent(std::string_view bytes);
    void AbandonCurrent(const char *why);
    void OnReply(uint64_t serial, Reply reply);
    void Deliver(TurnEntry &entry, Reply reply);
    void FinishHead();
    void Violation(uint16_t code, const std::string &reason);
    void Ignore(const ClientMessage &message, const char *why);
    TurnEntry *FindTurn(uint64_t serial);

    uint64_t m_Connection;
    SessionSettings m_Settings;
    Engine &m_Engine;
    EventLog &m_Log;
    SessionOutput *m_Output;
    bool m_Closing = false;
    bool m_ConfigReceived = false;

    std::deque<TurnEntry> m_Turns;  // unfinished turns, oldest first; the front one may send
    std::set<std::string> m_UsedIds;
    uint64_t m_NextSerial = 1;
    uint32_t m_TurnCount = 0;

    // The latest turn, which audio with its request id goes to.
    std::string m_CurrentId;
    uint64_t m_CurrentSerial = 0;
    bool m_CurrentAudioOver = true;    // endDetected sent or turn over: audio is ignored
    bool m_CurrentClientEnded = true;  // the client's empty audio message came
    std::string m_Carry;               // odd byte of a sample split across messages
};

}  // namespace SpeechService
