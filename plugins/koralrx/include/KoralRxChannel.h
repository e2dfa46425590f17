// One MRCP recognizer channel. Requests, detector notifications and service
// notifications all reach it as events on the engine thread, so its state is
// touched by that one thread only; the media thread only feeds the detector.
#ifndef KORALRX_CHANNEL_H
#define KORALRX_CHANNEL_H

#include <fstream>
#include <map>
#include <mutex>
#include <string>

#include "KoralRxChannelEvents.h"
#include "mpf_sdi_detector.h"
#include "mrcp_engine.h"

namespace KORAL {

class Engine;
class GrammarMap;
class GrammarRef;

// Completion cause value meaning "not decided yet".
const int kCompletionCauseUnknown = 17;

class Channel {
public:
    explicit Channel(Engine *engine);
    virtual ~Channel();

    void SetHandle(mrcp_engine_channel_t *handle) { m_HostChannel = handle; }
    mrcp_engine_channel_t *GetHandle() const { return m_HostChannel; }
    const char *GetId() const;

    // Host signalling thread: posts the work to the engine thread.
    bool SignalEvent(TaskMsgType type, mrcp_message_t *message);
    // Host media thread: one 10 ms frame.
    bool Write(const mpf_frame_t *frame);

    // Engine thread.
    void ProcessEvent(ChannelEvent *event);
    bool Open();
    bool Close();
    bool ProcessRequest(mrcp_message_t *request);
    bool Stop(mrcp_message_t *request, mrcp_message_t *response);
    bool StartTimers(mrcp_message_t *request, mrcp_message_t *response);
    bool DefineGrammar(mrcp_message_t *request, mrcp_message_t *response);
    // Chooses the grammars of a RECOGNIZE body; returns the MRCP status.
    int SetActiveGrammar(const mrcp_message_t *request);
    GrammarRef *GetActiveSpeechGrammar() const { return m_ActiveSpeechGrammar; }
    GrammarRef *GetActiveDtmfGrammar() const { return m_ActiveDtmfGrammar; }
    const GrammarMap *GetGrammars() const { return m_Grammars; }
    void ProcessNoInput();
    void ProcessStop();
    void ProcessStartOfInput(mpf_sdi_mode_e mode);
    void ProcessSpeechInput(DataChunk &chunk, bool last);
    void ProcessDtmfInput(const std::string &digits, bool match);
    void Dump(std::ofstream &out) const;
    bool ComposeResponse(mrcp_message_t *response, int status_code, int completion_cause);
    bool SendMessage(mrcp_message_t *message);

    bool IsRecognizing() const { return m_RecogRequest != nullptr; }

private:
    // Detector callbacks (media thread): they copy what they need and post.
    static void OnNoInput(mpf_sdi_detector_t *detector);
    static void OnStopComplete(mpf_sdi_detector_t *detector, const mpf_sdi_stats_t *stats);
    static void OnStartOfInput(mpf_sdi_detector_t *detector, mpf_sdi_mode_e mode);
    static void OnSpeechInput(mpf_sdi_detector_t *detector, const void *data, apr_size_t size,
                              mpf_sdi_state_e state, const mpf_sdi_stats_t *stats);
    static void OnDtmfInput(mpf_sdi_detector_t *detector, const char *digits, apr_size_t count,
                            int success, mpf_sdi_state_e state, const mpf_sdi_stats_t *stats);
    bool Post(Ombra::AsyncEvent *event);
    static Channel *FromDetector(mpf_sdi_detector_t *detector);
    void SetInputStats(const mpf_sdi_stats_t *stats);

    Engine *m_Engine;
    mrcp_engine_channel_t *m_HostChannel = nullptr;
    mrcp_message_t *m_RecogRequest = nullptr;
    mrcp_message_t *m_StopResponse = nullptr;
    // Written on the engine thread, read on the media thread under the lock.
    mpf_sdi_detector_t *m_Detector = nullptr;
    mutable std::mutex m_DetectorMutex;
    // Grammars defined on this channel, from Open to Close.
    GrammarMap *m_Grammars = nullptr;
    GrammarRef *m_ActiveSpeechGrammar = nullptr;
    GrammarRef *m_ActiveDtmfGrammar = nullptr;
    // Per-recognition state.
    mpf_sdi_stats_t m_InputStats;
    bool m_InputComplete = false;
    bool m_StartOfInputSent = false;
    int m_CompletionCause = kCompletionCauseUnknown;
};

}  // namespace KORAL

#endif  // KORALRX_CHANNEL_H
