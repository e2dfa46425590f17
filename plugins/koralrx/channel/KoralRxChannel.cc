#include "KoralRxChannel.h"

#include "KoralResampler.h"
#include "KoralRxEngine.h"
#include "KoralRxGrammarMap.h"
#include "KoralRxLog.h"

namespace KORAL {

Channel::Channel(Engine *engine) : m_Engine(engine) {}

Channel::~Channel() {
    delete m_Connection;
    delete m_Grammars;
}

const char *Channel::GetId() const {
    return m_HostChannel && m_HostChannel->id.buf ? m_HostChannel->id.buf : "";
}

bool Channel::Post(Ombra::AsyncEvent *event) {
    Ombra::SoftEventProcessor *processor = m_Engine->GetEventProcessor();
    event->Ref();
    if (!processor) {
        event->Unref();
        return false;
    }
    return processor->PostEvent(event);
}

bool Channel::SignalEvent(TaskMsgType type, mrcp_message_t *message, const mpf_sdi_stats_t *stats) {
    return Post(new ChannelEvent(this, type, message, stats));
}

bool Channel::Write(const mpf_frame_t *frame) {
    std::lock_guard<std::mutex> lock(m_DetectorMutex);
    if (m_Detector) mpf_sdi_process(m_Detector, frame);
    return true;
}

bool Channel::IsCurrentInput(uint32_t recognition) const {
    if (recognition == m_DetectorRecognition) return true;
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG,
            "Skip Detector Event of Earlier Recognition [%u] <%s@%s>",
            static_cast<unsigned>(recognition), GetId(), KORAL_CHANNEL_TAG);
    return false;
}

void Channel::ProcessEvent(ChannelEvent *event) {
    const bool detector_event =
        event->m_Type == TASK_MSG_NOINPUT || event->m_Type == TASK_MSG_STOP_COMPLETE;
    // What the detector found for a recognition that has ended must not end
    // the one that followed it (nor lend it its statistics).
    if (detector_event && !IsCurrentInput(event->m_Recognition)) return;
    if (event->m_Stats.given) SetInputStats(event->m_Stats.stats);
    switch (event->m_Type) {
        case TASK_MSG_OPEN_CHANNEL:
            Open();
            break;
        case TASK_MSG_CLOSE_CHANNEL:
            Close();
            break;
        case TASK_MSG_REQUEST_PROCESS:
            ProcessRequest(event->m_Message);
            break;
        case TASK_MSG_NOINPUT:
            ProcessNoInput();
            break;
        case TASK_MSG_STOP_COMPLETE:
            ProcessStop();
            break;
    }
}

Channel *Channel::FromDetector(mpf_sdi_detector_t *detector) {
    return static_cast<Channel *>(mpf_sdi_obj_get(detector));
}

void Channel::OnNoInput(mpf_sdi_detector_t *detector) {
    Channel *channel = FromDetector(detector);
    channel->Post(new ChannelEvent(channel, TASK_MSG_NOINPUT, nullptr, nullptr,
                                   mpf_sdi_callback_recognition_get(detector)));
}

void Channel::OnStopComplete(mpf_sdi_detector_t *detector, const mpf_sdi_stats_t *stats) {
    Channel *channel = FromDetector(detector);
    channel->Post(new ChannelEvent(channel, TASK_MSG_STOP_COMPLETE, nullptr, stats,
                                   mpf_sdi_callback_recognition_get(detector)));
}

void Channel::OnStartOfInput(mpf_sdi_detector_t *detector, mpf_sdi_mode_e mode) {
    Channel *channel = FromDetector(detector);
    channel->Post(
        new ChannelStartOfInputEvent(channel, mode, mpf_sdi_callback_recognition_get(detector)));
}

void Channel::OnSpeechInput(mpf_sdi_detector_t *detector, const void *data, apr_size_t size,
                            mpf_sdi_state_e state, const mpf_sdi_stats_t *stats) {
    Channel *channel = FromDetector(detector);
    channel->Post(new ChannelSpeechInputEvent(channel, data, size, state == MPF_SDI_STATE_COMPLETE,
                                              stats, mpf_sdi_callback_recognition_get(detector)));
}

void Channel::OnDtmfInput(mpf_sdi_detector_t *detector, const char *digits, apr_size_t count,
                          int success, mpf_sdi_state_e state, const mpf_sdi_stats_t *stats) {
    Channel *channel = FromDetector(detector);
    if (state == MPF_SDI_STATE_COMPLETE)
        channel->Post(new ChannelDtmfInputEvent(channel, digits, count, success == 1, stats,
                                                mpf_sdi_callback_recognition_get(detector)));
}

void Channel::OnConnect(bool success, const WebSocketConnection::ConnectionStats &stats) {
    Post(new ChannelWsConnectEvent(this, success, stats));
}

void Channel::OnClose() { Post(new ChannelWsCloseEvent(this)); }

void Channel::OnMessage(const WebSocketSrMessage &message) {
    Post(new ChannelWsMessageEvent(this, message));
}

bool Channel::Open() {
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Open <%s@%s>", GetId(), KORAL_CHANNEL_TAG);
    mpf_sdi_stats_init(&m_Details.input_stats);

    mpf_sdi_event_handlers_t handlers;
    mpf_sdi_event_handlers_init(&handlers);
    handlers.on_noinput = &Channel::OnNoInput;
    handlers.on_stop_complete = &Channel::OnStopComplete;
    handlers.on_start_of_input = &Channel::OnStartOfInput;
    handlers.on_speech_input = &Channel::OnSpeechInput;
    handlers.on_dtmf_input = &Channel::OnDtmfInput;
    mpf_sdi_detector_t *detector = mpf_sdi_detector_create(
        GetId(), &handlers, this, &m_Engine->GetDetectorParams(), m_HostChannel->pool);
    {
        std::lock_guard<std::mutex> lock(m_DetectorMutex);
        m_Detector = detector;
    }
    GrammarMap::Settings settings;
    const StreamingRecogSettings &streaming = m_Engine->GetStreamingSettings();
    settings.transcription_grammar = streaming.transcription_grammar;
    settings.accept_srgs = streaming.accept_srgs;
    settings.skip_unsupported_grammars = streaming.skip_unsupported_grammars;
    settings.contexts = &m_Engine->GetSpeechContexts();
    delete m_Grammars;
    m_Grammars = new GrammarMap(settings, GetId());

    m_Engine->OnOpenChannel(this);
    mrcp_engine_channel_open_respond(m_HostChannel, TRUE);
    return true;
}

bool Channel::Close() {
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Close <%s@%s>", GetId(), KORAL_CHANNEL_TAG);
    {
        // The media thread may be inside the detector: wait for that frame.
        std::lock_guard<std::mutex> lock(m_DetectorMutex);
        if (m_Detector) mpf_sdi_destroy(m_Detector);
        m_Detector = nullptr;
    }
    m_Resampler.reset();
    m_Resampled = nullptr;
    m_ActiveSpeechGrammar = m_ActiveDtmfGrammar = nullptr;
    delete m_Grammars;
    m_Grammars = nullptr;
    // A recognition still running ends without messages: the channel is going.
    CloseWaves();
    m_RecogRequest = nullptr;
    m_StopResponse = nullptr;
    m_RequestId.clear();
    if (m_Connection) {
        // Answered once the connection reports its close (ProcessWsCloseEvent).
        m_ClosePending = true;
        m_Connection->Close();
        return true;
    }
    m_Engine->OnCloseChannel(this);
    mrcp_engine_channel_close_respond(m_HostChannel);
    return true;
}

void Channel::ProcessWsCloseEvent() {
    if (!m_ClosePending) return;
    m_ClosePending = false;
    delete m_Connection;
    m_Connection = nullptr;
    m_Engine->OnCloseChannel(this);
    mrcp_engine_channel_close_respond(m_HostChannel);
}

bool Channel::SendMessage(mrcp_message_t *message) {
    return mrcp_engine_channel_message_send(m_HostChannel, message) == TRUE;
}

bool Channel::ProcessRequest(mrcp_message_t *request) {
    if (!request) return false;
    mrcp_message_t *response = mrcp_response_create(request, request->pool);
    bool handled = false;
    switch (request->start_line.method_id) {
        case RECOGNIZER_RECOGNIZE:
            handled = Recognize(request, response);
            break;
        case RECOGNIZER_SET_PARAMS:
            handled = SetParams(request, response);
            break;
        case RECOGNIZER_GET_PARAMS:
            handled = GetParams(request, response);
            break;
        case RECOGNIZER_DEFINE_GRAMMAR:
            handled = DefineGrammar(request, response);
            break;
        case RECOGNIZER_START_INPUT_TIMERS:
            handled = StartTimers(request, response);
            break;
        case RECOGNIZER_STOP:
            handled = Stop(request, response);
            break;
        default:
            break;
    }
    if (!handled) SendMessage(response);
    return true;
}

bool Channel::Stop(mrcp_message_t *request, mrcp_message_t *response) {
    if (m_RecogRequest) {
        m_StopResponse = response;
        if (!m_Details.input_complete) StopInput();
        m_Details.completion_cause = RECOGNIZER_COMPLETION_CAUSE_CANCELLED;
        return true;
    }
    SendMessage(response);
    return true;
}

bool Channel::StartTimers(mrcp_message_t *request, mrcp_message_t *response) {
    if (m_Detector && !m_Details.start_of_input_sent) mpf_sdi_start_timers(m_Detector);
    SendMessage(response);
    return true;
}

void Channel::Dump(std::ofstream &out) const { out << GetId() << std::endl; }

bool Channel::ComposeResponse(mrcp_message_t *response, int status_code, int completion_cause) {
    response->start_line.status_code = static_cast<mrcp_status_code_e>(status_code);
    mrcp_recog_header_t *header = mrcp_resource_header_get(response);
    if (header) {
        header->completion_cause = static_cast<mrcp_recog_completion_cause_e>(completion_cause);
        mrcp_resource_header_property_add(response, RECOGNIZER_HEADER_COMPLETION_CAUSE);
    }
    return true;
}

}  // namespace KORAL
