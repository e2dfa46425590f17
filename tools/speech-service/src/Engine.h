// What a recognition engine sees of a turn and what it hands back.
//
// The session opens a turn on its first audio message, passes its samples
// and the end of its audio, and receives the turn's replies in order. All
// calls in both directions happen on the network thread; an engine that
// works elsewhere posts its replies back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "ReplyFormat.h"

namespace SpeechService {

// One thing to do on the socket: a text message, possibly with a fault in how
// it is framed, or a fault of its own (ping, close, abort, stall).
struct Reply {
    enum class Kind { Message, Ping, CloseFrame, Abort, Stall };
    Kind m_Kind = Kind::Message;
    std::string m_Path;
    std::string m_Body;
    std::string m_ContentType = "application/json; charset=utf-8";
    std::optional<std::string> m_RequestId;  // defaults to the turn's
    int m_Fragments = 1;                     // more than one: sent as a fragmented message
    bool m_Masked = false;                   // sent in a masked frame (server frames must not be)
    size_t m_PadTo = 0;                      // body padded with spaces up to this many bytes
    uint16_t m_CloseCode = 1000;
    std::string m_Text;  // close reason or ping payload
};

struct TurnParams {
    uint64_t m_ConnectionId = 0;
    uint32_t m_TurnIndex = 0;          // 0 for a connection's first turn
    std::string m_ClientConnectionId;  // the X-ConnectionId of the upgrade
    std::string m_RequestId;
    std::string m_Language;
    ResultFormat m_Format = ResultFormat::Simple;
    int m_InitialSilenceMs = 5000;
    int m_EndSilenceMs = 500;
    int m_MaxSpeechMs = 15000;
};

using ReplyFn = std::function<void(Reply)>;

class Turn {
  public:
    virtual ~Turn() = default;
    // 16-bit samples at 16 kHz, in order.
    virtual void Audio(const int16_t *samples, size_t count) = 0;
    // The client's empty audio message.
    virtual void EndOfAudio() = 0;
    // No further replies are wanted.
    virtual void Cancel() = 0;
};

class Engine {
  public:
    virtual ~Engine() = default;
    virtual std::shared_ptr<Turn> StartTurn(const TurnParams &params, ReplyFn reply) = 0;
    // Stops background work before the network thread ends.
    virtual void Shutdown() {}
};

}  // namespace SpeechService
