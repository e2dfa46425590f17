// The service connection's notifications on the engine thread: connection
// results, the messages of the current turn (start of speech, hypotheses,
// the phrase, end of speech), and the one place a recognition completes.
#include <rapidjson/document.h>

#include <cfloat>

#include "KoralRxChannel.h"
#include "KoralRxEngine.h"
#include "KoralRxGrammar.h"
#include "KoralRxLog.h"
#include "KoralRxSpeechContext.h"

namespace KORAL {

namespace {

// The service's JSON. Iterative parsing: a deeply nested body from the
// network must not recurse down the engine thread's stack.
bool ParseJsonObject(const std::string &text, rapidjson::Document &doc) {
    doc.Parse<rapidjson::kParseIterativeFlag>(text.c_str(), text.size());
    return !doc.HasParseError() && doc.IsObject();
}

std::string StringMember(const rapidjson::Value &object, const char *name) {
    rapidjson::Value::ConstMemberIterator it = object.FindMember(name);
    if (it == object.MemberEnd() || !it->value.IsString()) return std::string();
    return std::string(it->value.GetString(), it->value.GetStringLength());
}

// Only a number written with a fraction or an exponent, within float range.
float ConfidenceMember(const rapidjson::Value &object) {
    rapidjson::Value::ConstMemberIterator it = object.FindMember("Confidence");
    if (it == object.MemberEnd() || !it->value.IsDouble()) return 0.0f;
    double value = it->value.GetDouble();
    if (!(value >= -FLT_MAX && value <= FLT_MAX)) return 0.0f;
    return static_cast<float>(value);
}

}  // namespace

void Channel::ProcessWsConnectEvent(bool status,
                                    const WebSocketConnection::ConnectionStats &stats) {
    m_Details.connection_start_ts = stats.m_StartTime;
    m_Details.connection_complete_ts = stats.m_CompleteTime;
    if (status) return;
    if (!m_RecogRequest) return;
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Connect to Service <%s@%s>",
            GetId(), KORAL_CHANNEL_TAG);
    m_Details.service_failed = true;
    if (m_Details.speech_input_started && m_Details.input_type != MPF_SDI_MODE_DTMF)
        FailOnServiceError();
}

void Channel::ProcessWsMessageEvent(const WebSocketSrMessage &message) {
    if (message.m_RequestId != m_RequestId) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Skip Unexpected Event %s <%s@%s>",
                message.m_RequestId.c_str(), GetId(), KORAL_CHANNEL_TAG);
        return;
    }
    if (!m_RecogRequest) return;
    switch (message.m_Method) {
        case WebSocketSrMessage::SERVICE_METHOD_SPEECH_START_DETECTED:
            m_Details.speech_start_ts = message.m_ReceiveTime;
            if (m_Details.service_start_of_input && !m_Details.start_of_input_sent) {
                SendStartOfInput(MPF_SDI_MODE_SPEECH);
                if (m_Detector) mpf_sdi_speech_flag_set(m_Detector);
            }
            break;
        case WebSocketSrMessage::SERVICE_METHOD_SPEECH_HYPOTHESIS: {
            if (m_Detector) mpf_sdi_result_flag_set(m_Detector);
            const SpeechContext *context =
                m_ActiveSpeechGrammar ? m_ActiveSpeechGrammar->speech_context : nullptr;
            if (context && context->speech_complete) ProcessHypothesis(message, *context);
            break;
        }
        case WebSocketSrMessage::SERVICE_METHOD_SPEECH_PHRASE:
            if (m_Details.input_type != MPF_SDI_MODE_DTMF) {
                ProcessPhrase(message);
            } else if (m_Details.input_complete) {
                // A DTMF result that waited for the service's turn to end.
                std::string content_type, body;
                if (m_Details.transcripts.size() == 1) {
                    const RecogAlternative &digits = m_Details.transcripts.front();
                    if (!ComposeDtmfResult(content_type, body, digits.lexical.data(),
                                           digits.lexical.size(), digits.confidence))
                        m_Details.completion_cause = RECOGNIZER_COMPLETION_CAUSE_RECOGNIZER_ERROR;
                }
                CompleteRecognition(m_Details.completion_cause, content_type, body);
            }
            break;
        case WebSocketSrMessage::SERVICE_METHOD_SPEECH_END_DETECTED:
            m_Details.speech_end_detected = true;
            m_Details.speech_end_ts = message.m_ReceiveTime;
            break;
        default:
            break;
    }
}

void Channel::ProcessHypothesis(const WebSocketSrMessage &message, const SpeechContext &context) {
    rapidjson::Document doc;
    std::string text;
    if (ParseJsonObject(message.m_Body, doc)) text = StringMember(doc, "Text");
    bool unique = false;
    if (!context.FindPhrase(text, unique)) return;
    if (unique) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Phrase Matched [%s] <%s@%s>",
                text.c_str(), GetId(), KORAL_CHANNEL_TAG);
        // The detector's stop completes the input; the result still comes
        // with the service's phrase.
        if (!m_Details.input_complete) StopInput();
    } else {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Phrase Matched [%s...] <%s@%s>",
                text.c_str(), GetId(), KORAL_CHANNEL_TAG);
    }
}

void Channel::ProcessPhrase(const WebSocketSrMessage &message) {
    if (m_Details.completion_cause != kCompletionCauseUnknown) {
        // Decided before the phrase came (no-input, STOP, a failure).
        CompleteRecognition(m_Details.completion_cause, "", "");
        return;
    }
    rapidjson::Document doc;
    bool parsed = ParseJsonObject(message.m_Body, doc);
    m_Details.completion_cause = RECOGNIZER_COMPLETION_CAUSE_RECOGNIZER_ERROR;
    std::string status = parsed ? StringMember(doc, "RecognitionStatus") : std::string();
    if (status == "Success") {
        m_Details.completion_cause = RECOGNIZER_COMPLETION_CAUSE_SUCCESS;
    } else if (status == "NoMatch") {
        m_Details.completion_cause = RECOGNIZER_COMPLETION_CAUSE_NO_MATCH;
    } else if (status == "InitialSilenceTimeout" || status == "BabbleTimeout") {
        if (!m_Details.input_complete) {
            // Only the service's turn ended: the audio that follows opens a new one.
            m_Details.speech_end_detected = false;
            m_Details.completion_cause = kCompletionCauseUnknown;
            GenerateRequestId();
            return;
        }
        m_Details.completion_cause = RECOGNIZER_COMPLETION_CAUSE_NO_MATCH;
    }
    if (!m_Details.input_complete) StopInput();
    m_Details.raw_transcripts = message.m_Body;

    std::string content_type, body;
    if (m_Details.transparent_results) {
        content_type = message.m_ContentType;
        body = message.m_Body;
    } else if (m_Details.completion_cause == RECOGNIZER_COMPLETION_CAUSE_SUCCESS) {
        rapidjson::Value::ConstMemberIterator nbest = doc.FindMember("NBest");
        if (nbest == doc.MemberEnd() || !nbest->value.IsArray()) {
            m_Details.completion_cause = RECOGNIZER_COMPLETION_CAUSE_RECOGNIZER_ERROR;
        } else {
            uint64_t count = std::min<uint64_t>(nbest->value.Size(), m_Details.max_alternatives);
            m_Details.transcripts.assign(count, RecogAlternative());
            for (uint64_t i = 0; i < count; ++i) {
                const rapidjson::Value &entry = nbest->value[static_cast<rapidjson::SizeType>(i)];
                if (!entry.IsObject()) continue;
                RecogAlternative &alternative = m_Details.transcripts[i];
                alternative.confidence = ConfidenceMember(entry);
                alternative.lexical = StringMember(entry, "Lexical");
                alternative.itn = StringMember(entry, "ITN");
            }
            if (!ComposeSpeechResult(m_Details, content_type, body)) {
                m_Details.completion_cause = RECOGNIZER_COMPLETION_CAUSE_RECOGNIZER_ERROR;
                content_type.clear();
                body.clear();
            }
        }
    }
    CompleteRecognition(m_Details.completion_cause, content_type, body);
}

bool Channel::CompleteRecognition(int cause, const std::string &content_type,
                                  const std::string &body) {
    if (!m_RecogRequest) return false;
    CloseWaves();
    m_Details.completion_cause = cause;
    SaveDetails();
    m_RequestId.clear();
    if (m_StopResponse) {
        SetWaveformUri(m_StopResponse);
        // The client learns which request the STOP ended: it gets no
        // RECOGNITION-COMPLETE for it.
        mrcp_generic_header_t *generic = mrcp_generic_header_get(m_StopResponse);
        if (generic) {
            generic->active_request_id_list.ids[0] = m_RecogRequest->start_line.request_id;
            generic->active_request_id_list.count = 1;
            mrcp_generic_header_property_add(m_StopResponse, GENERIC_HEADER_ACTIVE_REQUEST_ID_LIST);
        }
        mrcp_message_t *response = m_StopResponse;
        m_StopResponse = nullptr;
        m_RecogRequest = nullptr;
        SendMessage(response);
        return true;
    }
    if (m_Details.service_start_of_input && !m_Details.start_of_input_sent &&
        (cause == RECOGNIZER_COMPLETION_CAUSE_SUCCESS ||
         cause == RECOGNIZER_COMPLETION_CAUSE_NO_MATCH ||
         cause == RECOGNIZER_COMPLETION_CAUSE_HOTWORD_MAXTIME ||
         cause == RECOGNIZER_COMPLETION_CAUSE_SUCCESS_MAXTIME))
        SendStartOfInput(MPF_SDI_MODE_SPEECH);
    mrcp_message_t *message =
        mrcp_event_create(m_RecogRequest, RECOGNIZER_RECOGNITION_COMPLETE, m_RecogRequest->pool);
    m_RecogRequest = nullptr;
    if (!message) return true;
    mrcp_recog_header_t *header = mrcp_resource_header_get(message);
    header->completion_cause = static_cast<mrcp_recog_completion_cause_e>(cause);
    mrcp_resource_header_property_add(message, RECOGNIZER_HEADER_COMPLETION_CAUSE);
    SetWaveformUri(message);
    if (!content_type.empty() && !body.empty()) {
        mrcp_generic_header_t *generic = mrcp_generic_header_get(message);
        apt_string_assign(&generic->content_type, content_type.c_str(), message->pool);
        mrcp_generic_header_property_add(message, GENERIC_HEADER_CONTENT_TYPE);
        mrcp_message_body_set(message, body.data(), body.size());
    }
    message->start_line.request_state = MRCP_REQUEST_STATE_COMPLETE;
    SendMessage(message);
    return true;
}

// A record that cannot be saved is logged and left out of the folder's
// bookkeeping; the recognition's answer does not depend on it.
void Channel::SaveDetails() {
    RdrManager *records = m_Engine->GetRdrManager();
    if (!m_Details.enabled || !records) return;
    m_Details.completion_ts = apr_time_now();
    std::string path;
    records->ComposePath(path, m_Details.name);
    if (m_Details.Save(path)) records->AddFileEntry(m_Details.name, m_Details.completion_ts);
}

// The figures are those of the recording the URI names. The detector's own
// are still 0 when the service ended the recognition before the detector
// handed out its last chunk, though the file holds audio.
void Channel::SetWaveformUri(mrcp_message_t *message) {
    if (m_InputWave.uri.empty()) return;
    mrcp_recog_header_t *header = mrcp_resource_header_get(message);
    const uint64_t size = m_InputWave.size;
    const uint64_t bytes_per_ms = m_Details.sampling_rate * 2 / 1000;
    if (size > 0) {
        char *value =
            apr_psprintf(message->pool, "<%s>;size=%lu;duration=%lu", m_InputWave.uri.c_str(),
                         static_cast<unsigned long>(size),
                         static_cast<unsigned long>(bytes_per_ms ? size / bytes_per_ms : 0));
        apt_string_assign(&header->waveform_uri, value, message->pool);
    } else {
        apt_string_assign(&header->waveform_uri, "", message->pool);
    }
    mrcp_resource_header_property_add(message, RECOGNIZER_HEADER_WAVEFORM_URI);
}

}  // namespace KORAL
