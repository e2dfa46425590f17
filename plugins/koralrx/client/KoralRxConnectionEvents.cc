#include "KoralRxConnectionEvents.h"

namespace KORAL {

void ConnectEvent::Process() {
    m_Connection->ProcessConnect(m_Id, m_Uri, m_ProxyUri, m_Language, m_SampleRate);
}

void AudioDataEvent::Process() {
    m_Connection->ProcessAudioChunk(m_Chunk);
    // Kept for later (moved out) or sent: the buffers serve the next chunk.
    m_Connection->ReturnSpareChunk(std::move(m_Chunk));
}

void StopEvent::Process() { m_Connection->ProcessStop(m_RequestId); }

void CloseEvent::Process() { m_Connection->ProcessClose(); }

}  // namespace KORAL
