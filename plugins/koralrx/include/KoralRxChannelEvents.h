// Events that carry channel work onto the engine thread.
#ifndef KORALRX_CHANNEL_EVENTS_H
#define KORALRX_CHANNEL_EVENTS_H

#include "OmbraAsyncEvent.h"
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

}  // namespace KORAL

#endif  // KORALRX_CHANNEL_EVENTS_H
