// One MRCP recognizer channel. Requests, detector notifications and service
// notifications all reach it as events on the engine thread, so its state is
// touched by that one thread only; the media thread only feeds the detector,
// and the service client's thread only posts the connection's callbacks.
//
// One recognition runs from RECOGNIZE (KoralRxChannelRecognize.cc) through
// the input path (KoralRxChannelInput.cc) and the service's answers
// (KoralRxChannelService.cc) to exactly one RECOGNITION-COMPLETE or held STOP
// response, with its NLSML result (KoralRxChannelResult.cc).
#pragma once

#include <cstdint>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "KoralRxChannelEvents.h"
#include "KoralRxConnection.h"
#include "KoralRxRecogParams.h"
#include "KoralRxRecognitionDetails.h"
#include "KoralRxUtteranceManager.h"
#include "mpf_sdi_detector.h"
#include "mrcp_engine.h"

namespace KORAL {

class Engine;
class GrammarMap;
class GrammarRef;
class Resampler;
class SpeechContext;

class Channel : public WebSocketConnection::Handler {
  public:
    explicit Channel(Engine *engine);
    ~Channel() override;

    void SetHandle(mrcp_engine_channel_t *handle) { m_HostChannel = handle; }
    mrcp_engine_channel_t *GetHandle() const { return m_HostChannel; }
    const char *GetId() const;

    // Host signalling thread: posts the work to the engine thread.
    bool SignalEvent(TaskMsgType type, mrcp_message_t *message,
                     const mpf_sdi_stats_t *stats = nullptr);
    // Host media thread: one 10 ms frame.
    bool Write(const mpf_frame_t *frame);

    // Service client thread: copy and post.
    void OnConnect(bool success, const WebSocketConnection::ConnectionStats &stats) override;
    void OnClose() override;
    void OnMessage(const WebSocketSrMessage &message) override;

    // Engine thread.
    void ProcessEvent(ChannelEvent *event);
    bool Open();
    bool Close();
    bool ProcessRequest(mrcp_message_t *request);
    bool Recognize(mrcp_message_t *request, mrcp_message_t *response);
    bool Stop(mrcp_message_t *request, mrcp_message_t *response);
    bool StartTimers(mrcp_message_t *request, mrcp_message_t *response);
    bool SetParams(mrcp_message_t *request, mrcp_message_t *response);
    bool GetParams(mrcp_message_t *request, mrcp_message_t *response);
    bool DefineGrammar(mrcp_message_t *request, mrcp_message_t *response);
    // Chooses the grammars of a RECOGNIZE body; returns the MRCP status.
    int SetActiveGrammar(const mrcp_message_t *request);
    GrammarRef *GetActiveSpeechGrammar() const { return m_ActiveSpeechGrammar; }
    GrammarRef *GetActiveDtmfGrammar() const { return m_ActiveDtmfGrammar; }
    const GrammarMap *GetGrammars() const { return m_Grammars; }
    void GenerateRequestId();

    // Input path.
    void SetInputStats(const mpf_sdi_stats_t &stats) { m_Details.input_stats = stats; }
    // Whether a detector event comes from the detector's current recognition;
    // one from an earlier recognition is logged and must be dropped.
    bool IsCurrentInput(uint32_t recognition) const;
    void ProcessNoInput();
    void ProcessStop();
    void ProcessStartOfInput(mpf_sdi_mode_e mode);
    void ProcessSpeechInput(DataChunk &chunk, bool last);
    void ProcessDtmfInput(const std::string &digits, bool match);

    // Service notifications.
    void ProcessWsConnectEvent(bool status, const WebSocketConnection::ConnectionStats &stats);
    void ProcessWsMessageEvent(const WebSocketSrMessage &message);
    void ProcessWsCloseEvent();

    // Completion: false when no recognition is in progress.
    bool CompleteRecognition(int cause, const std::string &content_type, const std::string &body);

    void Dump(std::ofstream &out) const;
    bool ComposeResponse(mrcp_message_t *response, int status_code, int completion_cause);
    bool SendMessage(mrcp_message_t *message);

    bool IsRecognizing() const { return m_RecogRequest != nullptr; }
    const RecognitionDetails &GetDetails() const { return m_Details; }

    // Result composition (NLSML, escaped); false when nothing can be composed.
    bool ComposeSpeechResult(RecognitionDetails &details, std::string &content_type,
                             std::string &body) const;
    bool ComposeDtmfResult(std::string &content_type, std::string &body, const char *digits,
                           size_t count, float confidence) const;

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

    // RECOGNIZE.
    int ApplyRecogHeaders(const RecogParams &params, bool &start_input_timers, bool &waveform_uri);
    bool CreateResampler(uint32_t rate);
    // Opens the recordings of a RECOGNIZE; false when the input one cannot be.
    bool OpenWaves(const mrcp_message_t *request, uint32_t rate, bool waveform_uri);
    // Input.
    mrcp_message_t *CreateStartOfInput(mpf_sdi_mode_e mode);
    void SendStartOfInput(mpf_sdi_mode_e mode);
    void StopInput();
    void FailOnServiceError();
    bool SendInput(const DataChunk &chunk);
    // Converts samples at the channel rate to 16000 Hz into m_ResampleOut;
    // returns the samples made (0 while the converter fills its delay).
    size_t Resample(const int16_t *samples, size_t count);
    bool CompleteInput();
    bool SendInputComplete();
    void WriteWave(UtteranceManager::WaveFile &wave, const void *data, size_t size);
    void CloseWaves();
    void SaveDetails();
    // Service.
    void ProcessHypothesis(const WebSocketSrMessage &message, const SpeechContext &context);
    void ProcessPhrase(const WebSocketSrMessage &message);
    void SetWaveformUri(mrcp_message_t *message);
    // Result.
    bool ComposeSpeechInterpretation(const std::string &lexical, const std::string &itn,
                                     float confidence, int32_t &cause, bool mrcpv1_confidence,
                                     std::string &out) const;

    Engine *m_Engine;
    mrcp_engine_channel_t *m_HostChannel = nullptr;
    WebSocketConnection *m_Connection = nullptr;
    std::string m_RequestId;
    mrcp_message_t *m_RecogRequest = nullptr;
    mrcp_message_t *m_StopResponse = nullptr;
    bool m_ClosePending = false;
    // Written on the engine thread, read on the media thread under the lock.
    mpf_sdi_detector_t *m_Detector = nullptr;
    mutable std::mutex m_DetectorMutex;
    // The detector's recognition started by the latest RECOGNIZE (engine thread).
    uint32_t m_DetectorRecognition = 0;
    // Sample-rate converter to 16000 Hz and its buffers, made once per channel.
    std::unique_ptr<Resampler> m_Resampler;
    double *m_Resampled = nullptr;
    std::vector<double> m_ResampleIn;
    std::vector<int16_t> m_ResampleOut;
    // Recordings of the recognition's audio as received and as sent to the
    // service (Save-Waveform); open from RECOGNIZE to the end of input.
    UtteranceManager::WaveFile m_InputWave;
    UtteranceManager::WaveFile m_OutputWave;
    RecognitionDetails m_Details;
    // Recognizer headers set by SET-PARAMS, applied before each RECOGNIZE's own.
    RecogParams m_Params;
    // Grammars defined on this channel, from Open to Close.
    GrammarMap *m_Grammars = nullptr;
    GrammarRef *m_ActiveSpeechGrammar = nullptr;
    GrammarRef *m_ActiveDtmfGrammar = nullptr;
};

}  // namespace KORAL
