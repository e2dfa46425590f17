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

void ChannelStartOfInputEvent::Process() {
    if (m_Channel->IsCurrentInput(m_Recognition)) m_Channel->ProcessStartOfInput(m_Mode);
}

ChannelSpeechInputEvent::ChannelSpeechInputEvent(Channel *channel, const void *data, uint64_t size,
                                                 bool last, const mpf_sdi_stats_t *stats,
                                                 uint32_t recognition)
    : m_Channel(channel), m_Last(last), m_Recognition(recognition) {
    m_Stats.Set(stats);
    if (data && size > 0) {
        m_Chunk.data = malloc(size);
        if (m_Chunk.data) {
            memcpy(m_Chunk.data, data, size);
            m_Chunk.size = size;
        }
    }
}

ChannelSpeechInputEvent::~ChannelSpeechInputEvent() { m_Chunk.Release(); }

void ChannelSpeechInputEvent::Process() {
    if (!m_Channel->IsCurrentInput(m_Recognition)) return;  // the chunk goes with the event
    if (m_Stats.given) m_Channel->SetInputStats(m_Stats.stats);
    m_Channel->ProcessSpeechInput(m_Chunk, m_Last);
}

void ChannelDtmfInputEvent::Process() {
    if (!m_Channel->IsCurrentInput(m_Recognition)) return;
    if (m_Stats.given) m_Channel->SetInputStats(m_Stats.stats);
    m_Channel->ProcessDtmfInput(m_Digits, m_Match);
}

void ChannelWsConnectEvent::Process() { m_Channel->ProcessWsConnectEvent(m_Status, m_Stats); }

void ChannelWsMessageEvent::Process() { m_Channel->ProcessWsMessageEvent(m_Message); }

void ChannelWsCloseEvent::Process() { m_Channel->ProcessWsCloseEvent(); }

}  // namespace KORAL
