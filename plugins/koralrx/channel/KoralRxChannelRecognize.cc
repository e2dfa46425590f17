// RECOGNIZE: the settings of one recognition, the detector's preparation, the
// service connection and the converter; SET-PARAMS and GET-PARAMS for the
// recognizer headers a RECOGNIZE honours.
#include <algorithm>
#include <cstring>

#include "KoralResampler.h"
#include "KoralRxChannel.h"
#include "KoralRxEngine.h"
#include "KoralRxGrammar.h"
#include "KoralRxLog.h"
#include "apt_unique_id.h"

namespace KORAL {

namespace {

const uint32_t kServiceRate = 16000;

bool IsWaveMediaType(const apt_str_t &type) {
    for (const char *accepted : {"audio/wav", "audio/wave", "audio/x-wav"})
        if (apt_string_iequal(&type, accepted)) return true;
    return false;
}

// The channel's values of the honoured headers before any SET-PARAMS: the
// configuration's and the detector's.
RecogParams DefaultParams(const Engine &engine) {
    const StreamingRecogSettings &settings = engine.GetStreamingSettings();
    const mpf_sdi_params_t &detector = engine.GetDetectorParams();
    RecogParams params;
    for (size_t i = 0; i < RecogParams::kHeaderCount; ++i)
        params.mask |= RecogParams::Bit(RecogParams::kHeaders[i]);
    params.speech_language = settings.language;
    mrcp_recog_header_t &v = params.values;
    v.n_best_list_length = static_cast<apr_size_t>(std::max<int64_t>(settings.max_alternatives, 0));
    v.start_input_timers = TRUE;
    v.no_input_timeout = detector.noinput_timeout;
    v.recognition_timeout = detector.input_timeout;
    v.speech_complete_timeout = detector.speech_complete_timeout;
    v.speech_incomplete_timeout = detector.speech_incomplete_timeout;
    v.dtmf_interdigit_timeout = detector.dtmf_interdigit_timeout;
    v.dtmf_term_timeout = detector.dtmf_term_timeout;
    v.dtmf_term_char = detector.dtmf_term_char;
    v.sensitivity_level = static_cast<float>(std::min<apr_size_t>(detector.vad_mode, 3)) / 4.0f;
    v.save_waveform = engine.GetUtteranceSettings().save_waveforms ? TRUE : FALSE;
    v.confidence_threshold = 0.0f;
    return params;
}

}  // namespace

void Channel::GenerateRequestId() {
    apt_str_t id = {nullptr, 0};
    apr_pool_t *pool = m_RecogRequest ? m_RecogRequest->pool : m_HostChannel->pool;
    apt_unique_id_generate(&id, 32, pool);
    m_RequestId.assign(id.buf ? id.buf : "", id.length);
    m_Details.turns += 1;
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG,
            "Generate Request-Id [%s] Turn [%d] <%s@%s>", m_RequestId.c_str(),
            static_cast<int>(m_Details.turns), GetId(), KORAL_CHANNEL_TAG);
}

int Channel::ApplyRecogHeaders(const RecogParams &params, bool &start_input_timers,
                               bool &waveform_uri) {
    const mrcp_recog_header_t &v = params.values;
    if (params.Has(RECOGNIZER_HEADER_SPEECH_LANGUAGE) && !params.speech_language.empty())
        m_Details.language = params.speech_language;
    if (params.Has(RECOGNIZER_HEADER_N_BEST_LIST_LENGTH))
        m_Details.max_alternatives = v.n_best_list_length;
    if (params.Has(RECOGNIZER_HEADER_START_INPUT_TIMERS))
        start_input_timers = v.start_input_timers == TRUE;
    if (params.Has(RECOGNIZER_HEADER_NO_INPUT_TIMEOUT))
        mpf_sdi_noinput_timeout_set(m_Detector, v.no_input_timeout);
    if (params.Has(RECOGNIZER_HEADER_RECOGNITION_TIMEOUT))
        mpf_sdi_input_timeout_set(m_Detector, v.recognition_timeout);
    if (params.Has(RECOGNIZER_HEADER_SPEECH_COMPLETE_TIMEOUT))
        mpf_sdi_speech_complete_timeout_set(m_Detector, v.speech_complete_timeout);
    if (params.Has(RECOGNIZER_HEADER_SPEECH_INCOMPLETE_TIMEOUT))
        mpf_sdi_speech_incomplete_timeout_set(m_Detector, v.speech_incomplete_timeout);
    if (params.Has(RECOGNIZER_HEADER_DTMF_INTERDIGIT_TIMEOUT))
        mpf_sdi_dtmf_interdigit_timeout_set(m_Detector, v.dtmf_interdigit_timeout);
    if (params.Has(RECOGNIZER_HEADER_DTMF_TERM_TIMEOUT))
        mpf_sdi_dtmf_term_timeout_set(m_Detector, v.dtmf_term_timeout);
    if (params.Has(RECOGNIZER_HEADER_DTMF_TERM_CHAR))
        mpf_sdi_dtmf_term_char_set(m_Detector, v.dtmf_term_char);
    if (params.Has(RECOGNIZER_HEADER_SENSITIVITY_LEVEL))
        mpf_sdi_vad_mode_set(m_Detector, std::min(static_cast<int>(v.sensitivity_level * 4.0), 3));
    if (params.Has(RECOGNIZER_HEADER_SAVE_WAVEFORM)) {
        m_Details.save_waveform = v.save_waveform == TRUE;
        waveform_uri = true;
    }
    if (params.Has(RECOGNIZER_HEADER_CONFIDENCE_THRESHOLD))
        m_Details.confidence_threshold = v.confidence_threshold;
    return MRCP_STATUS_CODE_SUCCESS;
}

bool Channel::Recognize(mrcp_message_t *request, mrcp_message_t *response) {
    const int kError = RECOGNIZER_COMPLETION_CAUSE_RECOGNIZER_ERROR;
    const int kGrammar = RECOGNIZER_COMPLETION_CAUSE_GRAMMAR_LOAD_FAILURE;
    if (!m_RequestId.empty()) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "Previous Recog Context Not Released %s<%s@%s>", m_RequestId.c_str(), GetId(),
                KORAL_CHANNEL_TAG);
        return !ComposeResponse(response, MRCP_STATUS_CODE_METHOD_NOT_ALLOWED, kError);
    }
    if (m_RecogRequest) {
        // A second RECOGNIZE would orphan the first, which must still end in
        // exactly one RECOGNITION-COMPLETE or STOP response.
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Recognition In Progress <%s@%s>",
                GetId(), KORAL_CHANNEL_TAG);
        return !ComposeResponse(response, MRCP_STATUS_CODE_METHOD_NOT_VALID, kError);
    }
    if (!m_Detector) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "No Detector Available <%s@%s>",
                GetId(), KORAL_CHANNEL_TAG);
        return !ComposeResponse(response, MRCP_STATUS_CODE_METHOD_NOT_ALLOWED, kError);
    }
    const mpf_codec_descriptor_t *codec = mrcp_engine_sink_stream_codec_get(m_HostChannel);
    if (!codec) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "No Codec Descriptor Available <%s@%s>", GetId(), KORAL_CHANNEL_TAG);
        return !ComposeResponse(response, MRCP_STATUS_CODE_METHOD_NOT_ALLOWED, kError);
    }
    const uint32_t rate = codec->sampling_rate;

    int status = SetActiveGrammar(request);
    if (status != MRCP_STATUS_CODE_SUCCESS) return !ComposeResponse(response, status, kGrammar);
    int mode = MPF_SDI_MODE_NONE;
    if (m_ActiveDtmfGrammar) mode |= MPF_SDI_MODE_DTMF;
    if (m_ActiveSpeechGrammar) mode |= MPF_SDI_MODE_SPEECH;
    if (mode == MPF_SDI_MODE_NONE) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "No Grammar Specified <%s@%s>",
                GetId(), KORAL_CHANNEL_TAG);
        return !ComposeResponse(response, MRCP_STATUS_CODE_MISSING_PARAM, kGrammar);
    }

    const StreamingRecogSettings &settings = m_Engine->GetStreamingSettings();
    m_Details.Reset();
    m_InputWave.Reset();
    m_OutputWave.Reset();
    m_Details.enabled = m_Engine->GetRdrManager() && m_Engine->GetRdrManager()->IsEnabled();
    m_Details.language = settings.language;
    m_Details.sampling_rate = rate;
    m_Details.version = request->start_line.version;
    m_Details.max_alternatives =
        static_cast<uint64_t>(std::max<int64_t>(settings.max_alternatives, 0));
    m_Details.alternatives_below_threshold = settings.alternatives_below_threshold;
    m_Details.transparent_results =
        settings.results_format == StreamingRecogSettings::RESULTS_TRANSPARENT;
    m_Details.service_start_of_input =
        settings.start_of_input == StreamingRecogSettings::START_OF_INPUT_SERVICE;
    m_Details.mrcpv1_confidence =
        settings.confidence_format == StreamingRecogSettings::CONFIDENCE_MRCPV1 ||
        (settings.confidence_format == StreamingRecogSettings::CONFIDENCE_AUTO &&
         request->start_line.version == MRCP_VERSION_1);
    m_Details.save_waveform = m_Engine->GetUtteranceSettings().save_waveforms;

    // The channel's SET-PARAMS values first, then the request's own.
    bool start_input_timers = true;
    bool waveform_uri = false;
    RecogParams own;
    own.Read(request);
    ApplyRecogHeaders(m_Params, start_input_timers, waveform_uri);
    ApplyRecogHeaders(own, start_input_timers, waveform_uri);
    const mrcp_recog_header_t *header = mrcp_resource_header_get(request);
    if (mrcp_resource_header_property_check(request, RECOGNIZER_HEADER_MEDIA_TYPE) &&
        !IsWaveMediaType(header->media_type)) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "Not Supported Media-Type [%s] <%s@%s>",
                header->media_type.buf ? header->media_type.buf : "", GetId(), KORAL_CHANNEL_TAG);
        return !ComposeResponse(response, MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE, kError);
    }
    if (m_ActiveSpeechGrammar && rate != kServiceRate && !CreateResampler(rate))
        return !ComposeResponse(response, MRCP_STATUS_CODE_METHOD_FAILED, kError);
    // Before the detector is prepared: a refused RECOGNIZE leaves it idle.
    if (!OpenWaves(request, rate, waveform_uri))
        return !ComposeResponse(response, MRCP_STATUS_CODE_METHOD_FAILED, kError);
    RdrManager *records = m_Engine->GetRdrManager();
    if (m_Details.enabled) {
        records->ComposeName(m_Details.name, GetId(), request->start_line.request_id);
        m_Details.start_ts = apr_time_now();
    }

    mpf_sdi_speech_start_mode_set(m_Detector, m_Details.service_start_of_input ? 1 : 0);
    mpf_sdi_init(m_Detector, static_cast<mpf_sdi_mode_e>(mode), rate,
                 start_input_timers ? TRUE : FALSE, TRUE);
    m_DetectorRecognition = mpf_sdi_recognition_get(m_Detector);

    m_RecogRequest = request;
    if (m_ActiveSpeechGrammar) {
        if (!m_Connection)
            m_Connection =
                new WebSocketConnection(this, m_Engine->GetWebSocketClient(), m_HostChannel->pool);
        const SpeechContext *context = m_ActiveSpeechGrammar->speech_context;
        if (context && !context->language.empty()) m_Details.language = context->language;
        if (!m_Connection->Connect(GetId(), m_Engine->GetServiceEndpoint(), settings.http_proxy,
                                   m_Details.language, kServiceRate)) {
            // Acted on like a failed connection once speech starts.
            apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                    "Failed to Connect to Service <%s@%s>", GetId(), KORAL_CHANNEL_TAG);
            m_Details.service_failed = true;
        }
    }
    response->start_line.request_state = MRCP_REQUEST_STATE_INPROGRESS;
    SendMessage(response);
    return true;
}

bool Channel::OpenWaves(const mrcp_message_t *request, uint32_t rate, bool waveform_uri) {
    UtteranceManager *waves = m_Engine->GetUttManager();
    if (!m_Details.save_waveform || !waves) return true;
    const mrcp_request_id number = request->start_line.request_id;
    if (!waves->ComposeName(m_InputWave.name, GetId(), number, rate) ||
        !waves->OpenWavefile(m_InputWave, rate)) {
        m_InputWave.Reset();
        return false;
    }
    // Only a client that asked with Save-Waveform is told where it is.
    if (waveform_uri) waves->ComposeUri(m_InputWave.uri, m_InputWave.name);
    // The audio as the service gets it; the recognition goes on without it.
    if (m_Resampler && m_ActiveSpeechGrammar) {
        if (!waves->ComposeName(m_OutputWave.name, GetId(), number, kServiceRate) ||
            !waves->OpenWavefile(m_OutputWave, kServiceRate))
            m_OutputWave.Reset();
    }
    return true;
}

bool Channel::CreateResampler(uint32_t rate) {
    if (m_Resampler) {
        // The delay line may still hold the end of an input that was cut
        // short; it must not lead the next recognition's audio.
        m_Resampler->Clear();
        return true;
    }
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO,
            "Create Resampler from %d Hz to %d Hz <%s@%s>", static_cast<int>(rate),
            static_cast<int>(kServiceRate), GetId(), KORAL_CHANNEL_TAG);
    const apr_size_t period = m_Engine->GetDetectorParams().speech_output_period;
    m_ResampleIn.assign(static_cast<size_t>(rate) * period * 3 / 1000, 0.0);
    m_ResampleOut.assign(static_cast<size_t>(period) * 48000 / 1000, 0);
    std::string error;
    m_Resampler = KORAL::CreateResampler(rate, kServiceRate, static_cast<int>(m_ResampleIn.size()),
                                         2.0, 136.45, &error);
    if (!m_Resampler) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "Failed to Create Resampler: %s <%s@%s>", error.c_str(), GetId(),
                KORAL_CHANNEL_TAG);
        m_ResampleIn.clear();
        m_ResampleOut.clear();
        return false;
    }
    return true;
}

bool Channel::SetParams(mrcp_message_t *request, mrcp_message_t *response) {
    RecogParams params;
    params.Read(request);
    mrcp_recognizer_header_id illegal = params.FindIllegal();
    if (illegal != RECOGNIZER_HEADER_COUNT) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Illegal Value for Header %s <%s@%s>",
                mrcp_recog_header_name_get(illegal, request->start_line.version), GetId(),
                KORAL_CHANNEL_TAG);
        // The offending header goes back as received; nothing is stored.
        params.Write(response, RecogParams::Bit(illegal));
        response->start_line.status_code = MRCP_STATUS_CODE_ILLEGAL_PARAM_VALUE;
        SendMessage(response);
        return true;
    }
    m_Params.Merge(params);
    SendMessage(response);
    return true;
}

bool Channel::GetParams(mrcp_message_t *request, mrcp_message_t *response) {
    // GET-PARAMS names the headers it asks for, mostly with empty values,
    // which the host keeps as named but not present.
    auto isNamed = [request](apr_size_t id) {
        return mrcp_resource_header_property_check(request, id) ||
               mrcp_resource_header_empty_check(request, id);
    };
    uint64_t named = 0;
    for (size_t i = 0; i < RecogParams::kHeaderCount; ++i)
        if (isNamed(RecogParams::kHeaders[i])) named |= RecogParams::Bit(RecogParams::kHeaders[i]);
    bool anyNamed = named != 0;
    for (apr_size_t id = 0; !anyNamed && id < RECOGNIZER_HEADER_COUNT; ++id) anyNamed = isNamed(id);
    if (!anyNamed) named = ~uint64_t(0);
    RecogParams values = DefaultParams(*m_Engine);
    values.Merge(m_Params);
    values.Write(response, named);
    SendMessage(response);
    return true;
}

}  // namespace KORAL
