#include "Endpointer.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace SpeechService {

namespace {
int64_t MsToFrames(int ms) { return std::max<int64_t>(1, (static_cast<int64_t>(ms) + 9) / 10); }
}  // namespace

Endpointer::Endpointer(const EndpointerSettings &settings) : m_Settings(settings) {
    double full = 32768.0 * 32768.0;
    m_ThresholdEnergy = full * std::pow(10.0, settings.m_ThresholdDb / 10.0);
}

bool Endpointer::IsVoiced() { return Periodicity(m_History) >= m_Settings.m_VoicingThreshold; }

EndpointEvent Endpointer::ProcessFrame(const int16_t *frame) {
    // Slide the voicing window by one frame.
    std::memmove(m_History, m_History + kFrameSamples,
                 (kVoicingWindow - kFrameSamples) * sizeof(int16_t));
    std::memcpy(m_History + kVoicingWindow - kFrameSamples, frame, kFrameSamples * sizeof(int16_t));

    int64_t index = m_Frames++;
    if (m_State == State::Done) return EndpointEvent::None;

    double sum = 0.0;
    for (size_t i = 0; i < kFrameSamples; ++i) sum += double(frame[i]) * frame[i];
    bool active = sum / kFrameSamples > m_ThresholdEnergy;

    if (m_State == State::Waiting) {
        if (active) {
            ++m_ActiveFrames;
            if (m_RunStart < 0) {
                m_RunStart = index;
                m_RunVoiced = 0;
            }
            m_LastActive = index;
            if (IsVoiced()) ++m_RunVoiced;
        } else if (m_RunStart >= 0 && index - m_LastActive >= MsToFrames(m_Settings.m_RunGapMs)) {
            m_RunStart = -1;
        }
        if (m_RunStart >= 0 && m_RunVoiced >= MsToFrames(m_Settings.m_StartVoicedMs)) {
            m_State = State::Speech;
            m_StartFrame = m_RunStart;
            return EndpointEvent::SpeechStart;
        }
        if (m_Frames >= MsToFrames(m_Settings.m_InitialSilenceMs)) {
            m_State = State::Done;
            m_EndSample = SamplesProcessed();
            return m_ActiveFrames * 2 >= m_Frames ? EndpointEvent::BabbleTimeout
                                                  : EndpointEvent::InitialSilenceTimeout;
        }
        return EndpointEvent::None;
    }

    // In speech.
    if (active) m_LastActive = index;
    if (index - m_LastActive >= MsToFrames(m_Settings.m_EndSilenceMs)) {
        m_State = State::Done;
        m_EndSample = (m_LastActive + 1) * static_cast<int64_t>(kFrameSamples);
        return EndpointEvent::SpeechEnd;
    }
    if (m_Frames - m_StartFrame >= MsToFrames(m_Settings.m_MaxSpeechMs)) {
        m_State = State::Done;
        m_EndSample = SamplesProcessed();
        return EndpointEvent::SpeechCapped;
    }
    return EndpointEvent::None;
}

}  // namespace SpeechService
