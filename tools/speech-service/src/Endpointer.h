// The service's own speech detection over 10 ms frames of 16 kHz audio.
//
// A frame is active when its energy exceeds a threshold, voiced when it is
// also periodic. Speech starts once a run of active frames (gaps up to
// 100 ms) holds enough voiced frames; it is dated from the run's first frame.
// It ends after the end silence (no active frame), or is capped at the
// longest utterance. Without speech the initial-silence time ends the turn:
// as babble when at least half of the frames were active, else as silence.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Voicing.h"

namespace SpeechService {

constexpr size_t kFrameSamples = 160;  // 10 ms at 16 kHz

struct EndpointerSettings {
    int m_InitialSilenceMs = 5000;
    int m_EndSilenceMs = 500;
    int m_MaxSpeechMs = 15000;
    double m_ThresholdDb = -50.0;  // dB relative to full scale
    int m_StartVoicedMs = 50;
    double m_VoicingThreshold = 0.45;
    int m_RunGapMs = 100;
};

enum class EndpointEvent {
    None,
    SpeechStart,
    SpeechEnd,
    SpeechCapped,
    InitialSilenceTimeout,
    BabbleTimeout
};

class Endpointer {
  public:
    explicit Endpointer(const EndpointerSettings &settings);

    // Classifies the next frame of kFrameSamples samples.
    EndpointEvent ProcessFrame(const int16_t *frame);

    bool InSpeech() const { return m_State == State::Speech; }
    bool Done() const { return m_State == State::Done; }
    bool SpeechStarted() const { return m_StartFrame >= 0; }
    // At least half of the frames so far were active (noise rather than silence).
    bool MostlyActive() const { return m_Frames > 0 && m_ActiveFrames * 2 >= m_Frames; }
    int64_t SpeechStartSample() const { return m_StartFrame * static_cast<int64_t>(kFrameSamples); }
    int64_t SpeechEndSample() const { return m_EndSample; }
    int64_t SamplesProcessed() const { return m_Frames * static_cast<int64_t>(kFrameSamples); }

  private:
    enum class State { Waiting, Speech, Done };

    bool IsVoiced();

    EndpointerSettings m_Settings;
    State m_State = State::Waiting;
    int64_t m_Frames = 0;
    int64_t m_ActiveFrames = 0;
    int64_t m_RunStart = -1;
    int64_t m_RunVoiced = 0;
    int64_t m_LastActive = -1;
    int64_t m_StartFrame = -1;
    int64_t m_EndSample = 0;
    double m_ThresholdEnergy = 0.0;  // mean square per sample
    int16_t m_History[kVoicingWindow] = {};
};

}  // namespace SpeechService
