#include "SessionProtocol.h"

#include <rapidjson/encodedstream.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include <vector>

#include "WavHeader.h"

namespace SpeechService {

namespace {

constexpr uint16_t kProtocolError = 1002;
constexpr uint16_t kInvalidPayload = 1007;
constexpr size_t kMaxLoggedBody = size_t{64} * 1024;

// Binary headers may hold any bytes; the log stays valid JSON text.
std::string Printable(std::string_view s) {
    std::string out(s);
    for (char &c : out) {
        if (static_cast<unsigned char>(c) >= 0x80) c = '?';
    }
    return out;
}

void WriteHeaders(EventLog::Writer &w, const ClientMessage &m, bool printable) {
    w.Key("headers");
    w.StartArray();
    for (const HeaderField &h : m.m_Headers) {
        w.StartArray();
        std::string name = printable ? Printable(h.m_Name) : h.m_Name;
        std::string value = printable ? Printable(h.m_Value) : h.m_Value;
        w.String(name.c_str(), static_cast<rapidjson::SizeType>(name.size()));
        w.String(value.c_str(), static_cast<rapidjson::SizeType>(value.size()));
        w.EndArray();
    }
    w.EndArray();
}

// Whether a client's body is JSON. The reader keeps its state on the heap
// and builds nothing, so no nesting depth can exhaust the stack.
bool IsJson(std::string_view body) {
    rapidjson::MemoryStream memory(body.data(), body.size());
    rapidjson::EncodedInputStream<rapidjson::UTF8<>, rapidjson::MemoryStream> stream(memory);
    rapidjson::BaseReaderHandler<> ignore;
    rapidjson::Reader reader;
    return !reader.Parse<rapidjson::kParseIterativeFlag>(stream, ignore).IsError();
}

}  // namespace

SessionProtocol::SessionProtocol(uint64_t connection, const SessionSettings &settings,
                                 Engine &engine, EventLog &log, SessionOutput *output)
    : m_Connection(connection),
      m_Settings(settings),
      m_Engine(engine),
      m_Log(log),
      m_Output(output) {}

SessionProtocol::~SessionProtocol() { OnClosed(); }

void SessionProtocol::OnClosed() {
    m_Output = nullptr;
    m_Closing = true;
    for (TurnEntry &entry : m_Turns) {
        if (entry.m_Turn) entry.m_Turn->Cancel();
    }
    m_Turns.clear();
}

void SessionProtocol::Violation(uint16_t code, const std::string &reason) {
    m_Log.Record("violation", m_Connection, [&](EventLog::Writer &w) {
        w.Key("code");
        w.Uint(code);
        EventLog::Str(w, "reason", reason);
    });
    if (m_Closing) return;
    m_Closing = true;
    for (TurnEntry &entry : m_Turns) {
        if (entry.m_Turn) entry.m_Turn->Cancel();
    }
    m_Turns.clear();
    if (m_Output != nullptr) m_Output->SendClose(code, reason);
}

void SessionProtocol::Ignore(const ClientMessage &message, const char *why) {
    m_Log.Record("ignored", m_Connection, [&](EventLog::Writer &w) {
        EventLog::Str(w, "path", Printable(message.m_Path));
        EventLog::Str(w, "requestId", Printable(message.m_RequestId));
        EventLog::Str(w, "reason", why);
    });
}

void SessionProtocol::OnText(std::string_view text) {
    if (m_Closing) return;
    ClientMessage message;
    ParseStatus status = ParseTextMessage(text, message);
    m_Log.Record("message", m_Connection, [&](EventLog::Writer &w) {
        EventLog::Str(w, "type", "text");
        w.Key("masked");
        w.Bool(true);  // the WebSocket layer refuses unmasked client frames
        w.Key("size");
        w.Uint64(text.size());
        if (!status.m_Ok) {
            EventLog::Str(w, "error", status.m_Reason);
            return;
        }
        EventLog::Str(w, "path", message.m_Path);
        EventLog::Str(w, "requestId", message.m_RequestId);
        EventLog::Str(w, "timestamp", message.m_Timestamp);
        EventLog::Str(w, "contentType", message.m_ContentType);
        WriteHeaders(w, message, false);
        EventLog::Str(w, "body", message.m_Body.substr(0, kMaxLoggedBody));
        w.Key("bodyIsJson");
        w.Bool(IsJson(message.m_Body));
    });
    if (!status.m_Ok) return Violation(status.m_CloseCode, status.m_Reason);
    if (!message.m_HasPath) return Violation(kProtocolError, "message without Path");

    if (message.m_Path == "speech.config") {
        if (m_ConfigReceived) return Violation(kProtocolError, "second speech.config");
        m_ConfigReceived = true;
        return;
    }
    if (message.m_Path == "telemetry") {
        if (!message.m_HasRequestId)
            return Violation(kProtocolError, "telemetry without X-RequestId");
        if (!IsValidRequestId(message.m_RequestId))
            return Violation(kProtocolError, "malformed X-RequestId");
        return;
    }
    Ignore(message, message.m_Path == "audio" ? "audio in a text message" : "unknown path");
}

void SessionProtocol::OnBinary(std::string_view data) {
    if (m_Closing) return;
    ClientMessage message;
    ParseStatus status = ParseBinaryMessage(data, message);

    // What the log says about the audio.
    bool hasWav = false, wavOk = false;
    WavFormat wav;
    std::string wavError;
    if (status.m_Ok) {
        hasWav = HasRiffHeader(message.m_Body);
        if (hasWav) wavOk = ParseWavHeader(message.m_Body, wav, wavError);
    }
    m_Log.Record("message", m_Connection, [&](EventLog::Writer &w) {
        EventLog::Str(w, "type", "binary");
        w.Key("masked");
        w.Bool(true);
        w.Key("size");
        w.Uint64(data.size());
        if (!status.m_Ok) {
            EventLog::Str(w, "error", status.m_Reason);
            return;
        }
        EventLog::Str(w, "path", Printable(message.m_Path));
        EventLog::Str(w, "requestId", Printable(message.m_RequestId));
        EventLog::Str(w, "timestamp", Printable(message.m_Timestamp));
        EventLog::Str(w, "contentType", Printable(message.m_ContentType));
        WriteHeaders(w, message, true);
        w.Key("headerSize");
        w.Uint64(data.size() - message.m_Body.size() - 2);
        w.Key("wav");
        w.Bool(hasWav);
        if (hasWav && wavOk) {
            w.Key("wavRate");
            w.Uint(wav.m_SampleRate);
            w.Key("wavChannels");
            w.Uint(wav.m_Channels);
            w.Key("wavBits");
            w.Uint(wav.m_BitsPerSample);
            w.Key("wavFormat");
            w.Uint(wav.m_FormatTag);
        }
        w.Key("audioBytes");
        w.Uint64(message.m_Body.size() - (hasWav && wavOk ? wav.m_DataOffset : 0));
        w.Key("endOfAudio");
        w.Bool(message.m_Body.empty());
    });
    if (!status.m_Ok) return Violation(status.m_CloseCode, status.m_Reason);
    if (!message.m_HasPath) return Violation(kProtocolError, "message without Path");
    if (message.m_Path != "audio") return Ignore(message, "binary message that is not audio");
    if (!message.m_HasRequestId) return Violation(kProtocolError, "audio without X-RequestId");
    if (!IsValidRequestId(message.m_RequestId))
        return Violation(kProtocolError, "malformed X-RequestId");
    if (!m_ConfigReceived) {
        m_Log.Record("violation", m_Connection, [](EventLog::Writer &w) {
            w.Key("code");
            w.Uint(0);
            EventLog::Str(w, "reason", "audio before speech.config");
        });
    }
    HandleAudio(message, data.size());
}

void SessionProtocol::HandleAudio(const ClientMessage &message, size_t size) {
    std::string_view payload = message.m_Body;
    if (!m_CurrentId.empty() && message.m_RequestId == m_CurrentId) {
        if (m_CurrentAudioOver) return Ignore(message, "audio after the end of the turn's speech");
        if (m_CurrentClientEnded) return Ignore(message, "audio after the end of audio");
        TurnEntry *entry = FindTurn(m_CurrentSerial);
        if (payload.empty()) {
            m_CurrentClientEnded = true;
            if (entry != nullptr && entry->m_Turn) entry->m_Turn->EndOfAudio();
            return;
        }
        FeedCurrent(payload);
        return;
    }
    if (m_UsedIds.count(message.m_RequestId) != 0)
        return Violation(kProtocolError, "request id of a finished turn reused");
    if (payload.empty()) return Ignore(message, "end of audio for a turn that never started");
    if (!HasRiffHeader(payload))
        return Violation(kInvalidPayload, "first audio message of a turn without RIFF header");
    WavFormat wav;
    std::string error;
    if (!ParseWavHeader(payload, wav, error)) return Violation(kInvalidPayload, error);
    if (!IsPcm16Mono(wav) || wav.m_SampleRate != 16000) {
        return Violation(kInvalidPayload, "audio must be 16-bit mono PCM at 16000 Hz");
    }
    StartTurn(message, std::string(payload.substr(wav.m_DataOffset)));
}

void SessionProtocol::AbandonCurrent(const char *why) {
    TurnEntry *entry = FindTurn(m_CurrentSerial);
    if (entry == nullptr || m_CurrentAudioOver) return;
    // Its speech was never ended by either side; a new turn replaces it.
    m_Log.Record("turn-abandoned", m_Connection, [&](EventLog::Writer &w) {
        EventLog::Str(w, "requestId", entry->m_RequestId);
        EventLog::Str(w, "reason", why);
    });
    if (entry->m_Turn) entry->m_Turn->Cancel();
    entry->m_Finished = true;
    entry->m_Held.clear();
    FinishHead();
}

void SessionProtocol::StartTurn(const ClientMessage &message, const std::string &audio) {
    AbandonCurrent("a new request id started a turn");
    TurnParams params;
    params.m_ConnectionId = m_Connection;
    params.m_TurnIndex = m_TurnCount++;
    params.m_ClientConnectionId = m_Settings.m_ClientConnectionId;
    params.m_RequestId = message.m_RequestId;
    params.m_Language = m_Settings.m_Language;
    params.m_Format = m_Settings.m_Format;
    params.m_InitialSilenceMs = m_Settings.m_InitialSilenceMs;
    params.m_EndSilenceMs = m_Settings.m_EndSilenceMs;

    uint64_t serial = m_NextSerial++;
    m_CurrentId = message.m_RequestId;
    m_CurrentSerial = serial;
    m_CurrentAudioOver = false;
    m_CurrentClientEnded = false;
    m_Carry.clear();
    m_UsedIds.insert(message.m_RequestId);
    m_Log.Record("turn-start", m_Connection, [&](EventLog::Writer &w) {
        EventLog::Str(w, "requestId", message.m_RequestId);
        w.Key("index");
        w.Uint(params.m_TurnIndex);
    });

    TurnEntry entry;
    entry.m_Serial = serial;
    entry.m_RequestId = message.m_RequestId;
    m_Turns.push_back(std::move(entry));
    std::weak_ptr<SessionProtocol> weak = shared_from_this();
    std::shared_ptr<Turn> turn = m_Engine.StartTurn(params, [weak, serial](Reply reply) {
        if (std::shared_ptr<SessionProtocol> self = weak.lock())
            self->OnReply(serial, std::move(reply));
    });
    if (TurnEntry *e = FindTurn(serial)) e->m_Turn = turn;
    FeedCurrent(audio);
}

void SessionProtocol::FeedCurrent(std::string_view bytes) {
    TurnEntry *entry = FindTurn(m_CurrentSerial);
    if (entry == nullptr || !entry->m_Turn) return;
    std::string data = m_Carry;
    data.append(bytes.data(), bytes.size());
    size_t count = data.size() / 2;
    m_Carry = data.substr(count * 2);
    if (count == 0) return;
    std::vector<int16_t> samples(count);
    for (size_t i = 0; i < count; ++i) {
        samples[i] = static_cast<int16_t>(
            static_cast<uint16_t>(static_cast<unsigned char>(data[2 * i])) |
            static_cast<uint16_t>(static_cast<unsigned char>(data[2 * i + 1])) << 8);
    }
    entry->m_Turn->Audio(samples.data(), samples.size());
}

SessionProtocol::TurnEntry *SessionProtocol::FindTurn(uint64_t serial) {
    for (TurnEntry &entry : m_Turns) {
        if (entry.m_Serial == serial) return &entry;
    }
    return nullptr;
}

void SessionProtocol::OnReply(uint64_t serial, Reply reply) {
    if (m_Closing) return;
    TurnEntry *entry = FindTurn(serial);
    if (entry == nullptr || entry->m_Finished) return;
    if (&m_Turns.front() != entry) {
        entry->m_Held.push_back(std::move(reply));
        return;
    }
    Deliver(*entry, std::move(reply));
    FinishHead();
}

void SessionProtocol::Deliver(TurnEntry &entry, Reply reply) {
    if (m_Output == nullptr || m_Closing) return;
    bool current = entry.m_Serial == m_CurrentSerial;
    switch (reply.m_Kind) {
        case Reply::Kind::Message: {
            std::string id = reply.m_RequestId.value_or(entry.m_RequestId);
            if (reply.m_Body.size() < reply.m_PadTo)
                reply.m_Body.append(reply.m_PadTo - reply.m_Body.size(), ' ');
            std::string text =
                ComposeTextMessage(reply.m_Path, id, reply.m_ContentType, reply.m_Body);
            m_Log.Record("reply", m_Connection, [&](EventLog::Writer &w) {
                EventLog::Str(w, "path", reply.m_Path);
                EventLog::Str(w, "requestId", id);
                w.Key("size");
                w.Uint64(text.size());
                if (reply.m_Fragments > 1) {
                    w.Key("fragments");
                    w.Int(reply.m_Fragments);
                }
                if (reply.m_Masked) {
                    w.Key("masked");
                    w.Bool(true);
                }
                if (reply.m_Body.size() <= kMaxLoggedBody) EventLog::Str(w, "body", reply.m_Body);
            });
            bool turnEnd = reply.m_Path == "turn.end";
            if (current && (reply.m_Path == "speech.endDetected" || turnEnd))
                m_CurrentAudioOver = true;
            if (turnEnd) entry.m_Finished = true;
            m_Output->SendText(std::move(text), reply.m_Fragments, reply.m_Masked);
            break;
        }
        case Reply::Kind::Ping:
            m_Log.Record("reply", m_Connection,
                         [&](EventLog::Writer &w) { EventLog::Str(w, "fault", "ping"); });
            m_Output->SendPing(reply.m_Text);
            break;
        case Reply::Kind::Stall:
            m_Log.Record("turn-stalled", m_Connection, [&](EventLog::Writer &w) {
                EventLog::Str(w, "requestId", entry.m_RequestId);
            });
            if (current) m_CurrentAudioOver = true;
            entry.m_Finished = true;
            break;
        case Reply::Kind::CloseFrame:
        case Reply::Kind::Abort: {
            bool abort = reply.m_Kind == Reply::Kind::Abort;
            m_Log.Record("reply", m_Connection, [&](EventLog::Writer &w) {
                EventLog::Str(w, "fault", abort ? "close" : "close-frame");
                if (!abort) {
                    w.Key("code");
                    w.Uint(reply.m_CloseCode);
                }
            });
            SessionOutput *output = m_Output;
            OnClosed();
            if (abort) {
                output->Abort();
            } else {
                output->SendClose(reply.m_CloseCode, reply.m_Text);
            }
            break;
        }
    }
}

void SessionProtocol::FinishHead() {
    while (!m_Turns.empty() && m_Turns.front().m_Finished) {
        m_Turns.pop_front();
        if (m_Turns.empty()) break;
        // The next turn's replies were held back; they may finish it too.
        TurnEntry &next = m_Turns.front();
        while (!m_Closing && !next.m_Held.empty() && !next.m_Finished) {
            Reply reply = std::move(next.m_Held.front());
            next.m_Held.pop_front();
            Deliver(next, std::move(reply));
        }
        if (m_Closing) return;
    }
}

}  // namespace SpeechService
