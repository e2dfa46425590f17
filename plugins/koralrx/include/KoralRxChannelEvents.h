// Events that carry channel work onto the engine thread.
#ifndef KORALRX_CHANNEL_EVENTS_H
#define KORALRX_CHANNEL_EVENTS_H

#include <cstdint>
#include <string>

#include "OmbraAsyncEvent.h"
#include "mpf_sdi_params.h"
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

// A host request, open or close, or a detector notification without data.
class ChannelEvent : public Ombra::AsyncEvent {
public:
    ChannelEvent(Channel *channel, TaskMsgType type, mrcp_message_t *message)
        : m_Channel(channel), m_Type(type), m_Message(message) {}
    void Process() override;

    Channel *m_Channel;
    TaskMsgType m_Type;
    mrcp_message_t *m_Message;
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
    ChannelStartOfInputEvent(Channel *channel, mpf_sdi_mode_e mode)
        : m_Channel(channel), m_Mode(mode) {}
    void Process() override;

    Channel *m_Channel;
    mpf_sdi_mode_e m_Mode;
};

class ChannelSpeechInputEvent : public Ombra::AsyncEvent {
public:
    // Copies `size` bytes of `data`; no copy when size is 0.
    ChannelSpeechInputEvent(Channel *channel, const void *data, uint64_t size, bool last);
    ~ChannelSpeechInputEvent() override;
    void Process() override;

    Channel *m_Channel;
    bool m_Last;
    DataChunk m_Chunk;
};

class ChannelDtmfInputEvent : public Ombra::AsyncEvent {
public:
    ChannelDtmfInputEvent(Channel *channel, const char *digits, size_t count, bool match)
        : m_Channel(channel), m_Match(match), m_Digits(digits ? digits : "", digits ? count : 0) {}
    void Process() override;

    Channel *m_Channel;
    bool m_Match;
    std::string m_Digits;
};

}  // namespace KORAL

#endif  // KORALRX_CHANNEL_EVENTS_H
