// Events that carry channel work onto the engine thread.
#pragma once

#include <cstdint>
#include <string>

#include "KoralRxConnection.h"
#include "KoralRxMessage.h"
#include "OmbraAsyncEvent.h"
#include "mpf_sdi_params.h"
#include "mpf_sdi_util.h"
#include "mrcp_message.h"

namespace KORAL {

class Channel;

enum TaskMsgType {
    TASK_MSG_OPEN_CHANNEL = 0,
    TASK_MSG_CLOSE_CHANNEL = 1,
    TASK_MSG_REQUEST_PROCESS = 2,
    TASK_MSG_NOINPUT = 3,
    TASK_MSG_STOP_COMPLETE = 4,
};

// The detector's statistics as a callback handed them out. They travel with
// the event that reports them, so the engine thread reads the figures of
// that very event and never memory the media thread is writing.
struct InputStats {
    bool given = false;
    mpf_sdi_stats_t stats{};

    void Set(const mpf_sdi_stats_t *from) {
        given = from != nullptr;
        if (from) stats = *from;
    }
};

// A host request, open or close, or a detector notification without data.
// Detector events carry the number of the detector's recognition that
// produced them (mpf_sdi_callback_recognition_get).
class ChannelEvent : public Ombra::AsyncEvent {
  public:
    ChannelEvent(Channel *channel, TaskMsgType type, mrcp_message_t *message,
                 const mpf_sdi_stats_t *stats = nullptr, uint32_t recognition = 0)
        : m_Channel(channel), m_Type(type), m_Message(message), m_Recognition(recognition) {
        m_Stats.Set(stats);
    }
    void Process() override;

    Channel *m_Channel;
    TaskMsgType m_Type;
    mrcp_message_t *m_Message;
    InputStats m_Stats;
    uint32_t m_Recognition;
};

// An owned block of 16-bit PCM at the channel rate, copied out of the
// detector's buffer when the event is built (malloc'ed; freed by its reader).
struct DataChunk {
    void *data = nullptr;
    uint64_t size = 0;

    void Release();
};

class ChannelStartOfInputEvent : public Ombra::AsyncEvent {
  public:
    ChannelStartOfInputEvent(Channel *channel, mpf_sdi_mode_e mode, uint32_t recognition)
        : m_Channel(channel), m_Mode(mode), m_Recognition(recognition) {}
    void Process() override;

    Channel *m_Channel;
    mpf_sdi_mode_e m_Mode;
    uint32_t m_Recognition;
};

class ChannelSpeechInputEvent : public Ombra::AsyncEvent {
  public:
    // Copies `size` bytes of `data`; no copy when size is 0.
    ChannelSpeechInputEvent(Channel *channel, const void *data, uint64_t size, bool last,
                            const mpf_sdi_stats_t *stats, uint32_t recognition);
    ~ChannelSpeechInputEvent() override;
    void Process() override;

    Channel *m_Channel;
    bool m_Last;
    DataChunk m_Chunk;
    InputStats m_Stats;
    uint32_t m_Recognition;
};

class ChannelDtmfInputEvent : public Ombra::AsyncEvent {
  public:
    ChannelDtmfInputEvent(Channel *channel, const char *digits, size_t count, bool match,
                          const mpf_sdi_stats_t *stats, uint32_t recognition)
        : m_Channel(channel),
          m_Match(match),
          m_Digits(digits ? digits : "", digits ? count : 0),
          m_Recognition(recognition) {
        m_Stats.Set(stats);
    }
    void Process() override;

    Channel *m_Channel;
    bool m_Match;
    std::string m_Digits;
    InputStats m_Stats;
    uint32_t m_Recognition;
};

// The service connection's callbacks, copied on the client thread.
class ChannelWsConnectEvent : public Ombra::AsyncEvent {
  public:
    ChannelWsConnectEvent(Channel *channel, bool status,
                          const WebSocketConnection::ConnectionStats &stats)
        : m_Channel(channel), m_Status(status), m_Stats(stats) {}
    void Process() override;

    Channel *m_Channel;
    bool m_Status;
    WebSocketConnection::ConnectionStats m_Stats;
};

class ChannelWsMessageEvent : public Ombra::AsyncEvent {
  public:
    ChannelWsMessageEvent(Channel *channel, const WebSocketSrMessage &message)
        : m_Channel(channel), m_Message(message) {}
    void Process() override;

    Channel *m_Channel;
    WebSocketSrMessage m_Message;
};

class ChannelWsCloseEvent : public Ombra::AsyncEvent {
  public:
    explicit ChannelWsCloseEvent(Channel *channel) : m_Channel(channel) {}
    void Process() override;

    Channel *m_Channel;
};

}  // namespace KORAL
