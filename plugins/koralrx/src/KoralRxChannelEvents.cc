#include "KoralRxChannelEvents.h"

#include <cstdlib>
#include <cstring>

#include "KoralRxChannel.h"

namespace KORAL {

void DataChunk::Release() {
    free(data);
    data = nullptr;
    size = 0;
}

void ChannelEvent::Process() { m_Channel->ProcessEvent(this); }

void ChannelStartOfInputEvent::Process() { m_Channel->ProcessStartOfInput(m_Mode); }

ChannelSpeechInputEvent::ChannelSpeechInputEvent(Channel *channel, const void *data,
                                                 uint64_t size, bool last)
    : m_Channel(channel), m_Last(last) {
    if (data && size > 0) {
        m_Chunk.data = malloc(size);
        if (m_Chunk.data) {
            memcpy(m_Chunk.data, data, size);
            m_Chunk.size = size;
        }
    }
}

ChannelSpeechInputEvent::~ChannelSpeechInputEvent() { m_Chunk.Release(); }

void ChannelSpeechInputEvent::Process() { m_Channel->ProcessSpeechInput(m_Chunk, m_Last); }

void ChannelDtmfInputEvent::Process() { m_Channel->ProcessDtmfInput(m_Digits, m_Match); }

}  // namespace KORAL
