// The input path on the engine thread: start of input and START-OF-INPUT,
// speech chunks converted to 16000 Hz and posted to the service, DTMF
// results, no-input, the detector's stop and the end of input.
#include <cmath>
#include <cstring>

#include "KoralResampler.h"
#include "KoralRxChannel.h"
#include "KoralRxEngine.h"
#include "KoralRxLog.h"
#include "KoralRxPcm.h"
#include "mpf_sdi_util.h"

namespace KORAL {

mrcp_message_t *Channel::CreateStartOfInput(mpf_sdi_mode_e mode) {
    if (!m_RecogRequest) return nullptr;
    mrcp_message_t *message =
        mrcp_event_create(m_RecogRequest, RECOGNIZER_START_OF_INPUT, m_RecogRequest->pool);
    if (!message) return nullptr;
    const char *type = RecognitionDetails::GetInputTypeStr(mode);
    if (m_RecogRequest->start_line.version == MRCP_VERSION_2 && type) {
        mrcp_recog_header_t *header = mrcp_resource_header_get(message);
        apt_string_assign(&header->input_type, type, message->pool);
        mrcp_resource_header_property_add(message, RECOGNIZER_HEADER_INPUT_TYPE);
    }
    message->start_line.request_state = MRCP_REQUEST_STATE_INPROGRESS;
    return message;
}

void Channel::SendStartOfInput(mpf_sdi_mode_e mode) {
    m_Details.input_type = mode;
    mrcp_message_t *message = CreateStartOfInput(mode);
    if (message) SendMessage(message);
    m_Details.start_of_input_sent = true;
}

void Channel::StopInput() {
    if (!m_Detector) return;
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Stop Input <%s@%s>", GetId(),
            KORAL_CHANNEL_TAG);
    mpf_sdi_stop(m_Detector);
}

// Speech started after the service had failed: the recognition ends in
// recognizer-error, at once when input is over, else once the detector stopped.
void Channel::FailOnServiceError() {
    m_Details.completion_cause = RECOGNIZER_COMPLETION_CAUSE_RECOGNIZER_ERROR;
    if (m_Details.input_complete)
        CompleteRecognition(RECOGNIZER_COMPLETION_CAUSE_RECOGNIZER_ERROR, "", "");
    else
        StopInput();
}

void Channel::ProcessStartOfInput(mpf_sdi_mode_e mode) {
    if (!m_RecogRequest) return;
    if (m_Details.enabled) m_Details.start_of_input_ts = apr_time_now();
    if (mode == MPF_SDI_MODE_SPEECH) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Speech Input Started <%s@%s>", GetId(),
                KORAL_CHANNEL_TAG);
        if (m_Details.speech_input_started) return;
        m_Details.speech_input_started = true;
        if (m_Details.service_failed) {
            FailOnServiceError();
            return;
        }
        if (!m_Details.start_of_input_sent && !m_Details.service_start_of_input)
            SendStartOfInput(MPF_SDI_MODE_SPEECH);
        if (m_Connection) GenerateRequestId();
    } else if (mode == MPF_SDI_MODE_DTMF) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "DTMF Input Started <%s@%s>", GetId(),
                KORAL_CHANNEL_TAG);
        if (m_Details.dtmf_input_started) return;
        m_Details.dtmf_input_started = true;
        if (!m_Details.start_of_input_sent) SendStartOfInput(MPF_SDI_MODE_DTMF);
    }
}

void Channel::ProcessSpeechInput(DataChunk &chunk, bool last) {
    if (!m_RecogRequest) {
        chunk.Release();
        return;
    }
    if (!m_Details.speech_input_started) {
        // The first chunk of an input whose start was not announced (external start).
        m_Details.speech_input_started = true;
        if (m_Details.enabled) m_Details.start_of_input_ts = apr_time_now();
        if (m_Details.service_failed) {
            chunk.Release();
            FailOnServiceError();
            return;
        }
        if (m_Connection) GenerateRequestId();
    }
    if (chunk.size > 0) SendInput(chunk);
    chunk.Release();
    if (last && CompleteInput()) SendInputComplete();
}

size_t Channel::Resample(const int16_t *samples, size_t count) {
    if (count > m_ResampleIn.size()) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "Trim input samples count from %d to %d bytes <%s@%s>", static_cast<int>(count),
                static_cast<int>(m_ResampleIn.size()), GetId(), KORAL_CHANNEL_TAG);
        count = m_ResampleIn.size();
    }
    for (size_t i = 0; i < count; ++i) m_ResampleIn[i] = samples[i];
    int out = m_Resampler->process(m_ResampleIn.data(), static_cast<int>(count), m_Resampled);
    if (out <= 0 || !m_Resampled) return 0;
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Resampled [%d bytes] <%s@%s>", out, GetId(),
            KORAL_CHANNEL_TAG);
    size_t made = static_cast<size_t>(out);
    if (made > m_ResampleOut.size()) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "Trim output samples count from %d to %d bytes <%s@%s>", out,
                static_cast<int>(m_ResampleOut.size()), GetId(), KORAL_CHANNEL_TAG);
        made = m_ResampleOut.size();
    }
    ToPcm16(m_Resampled, made, m_ResampleOut.data());
    return made;
}

bool Channel::SendInput(const DataChunk &chunk) {
    WriteWave(m_InputWave, chunk.data, chunk.size);
    char *data = static_cast<char *>(chunk.data);
    size_t size = chunk.size;
    if (m_Resampler) {
        size_t made = Resample(static_cast<const int16_t *>(chunk.data), chunk.size / 2);
        if (made == 0) return true;  // the converter is still filling its delay line
        data = reinterpret_cast<char *>(m_ResampleOut.data());
        size = made * 2;
        WriteWave(m_OutputWave, data, size);
    }
    if (m_Connection) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Send [%d bytes] <%s@%s>",
                static_cast<int>(size), GetId(), KORAL_CHANNEL_TAG);
        m_Connection->PostAudioData(m_RequestId, data, size);
        m_Details.sent += size;
    }
    return true;
}

bool Channel::CompleteInput() {
    if (m_Details.input_complete) return false;
    m_Details.input_complete = true;
    if (m_Details.enabled) m_Details.end_of_input_ts = apr_time_now();
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO,
            "Input Complete [%s] size=%d bytes, dur=%d ms <%s@%s>",
            mpf_sdi_completion_cause_str(m_Details.input_stats.completion_cause),
            static_cast<int>(m_Details.input_stats.size),
            static_cast<int>(m_Details.input_stats.duration), GetId(), KORAL_CHANNEL_TAG);
    return true;
}

void Channel::WriteWave(UtteranceManager::WaveFile &wave, const void *data, size_t size) {
    if (!wave.IsOpen()) return;
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Write [%d bytes] <%s@%s>",
            static_cast<int>(size), GetId(), KORAL_CHANNEL_TAG);
    m_Engine->GetUttManager()->WriteWavefile(wave, data, size);
}

// The files keep their names and URI: Waveform-URI is reported after this.
void Channel::CloseWaves() {
    UtteranceManager *waves = m_Engine->GetUttManager();
    if (!waves) return;
    if (m_InputWave.IsOpen()) waves->CloseWavefile(m_InputWave);
    if (m_OutputWave.IsOpen()) waves->CloseWavefile(m_OutputWave);
}

bool Channel::SendInputComplete() {
    if (m_Details.input_complete_sent) return false;
    CloseWaves();
    m_Details.input_complete_sent = true;
    if (m_Details.service_failed || m_Details.speech_end_detected) return false;
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Send Done Message <%s@%s>", GetId(),
            KORAL_CHANNEL_TAG);
    if (m_Connection) m_Connection->Stop(m_RequestId);
    return true;
}

void Channel::ProcessNoInput() {
    if (!m_RecogRequest) return;
    m_Details.completion_cause = RECOGNIZER_COMPLETION_CAUSE_NO_INPUT_TIMEOUT;
    CompleteInput();
    if (m_Details.speech_input_started && SendInputComplete()) return;  // the service answers
    CompleteRecognition(RECOGNIZER_COMPLETION_CAUSE_NO_INPUT_TIMEOUT, "", "");
}

void Channel::ProcessStop() {
    if (!m_RecogRequest) return;
    CompleteInput();
    if (m_Details.speech_input_started && SendInputComplete()) return;  // the service answers
    // A stop that decided nothing (a phrase list matched a hypothesis) after
    // the service had heard the end of the speech: its phrase is on the way
    // (or the result timeout stands in for it) and decides.
    if (m_Details.completion_cause == kCompletionCauseUnknown && m_Details.speech_end_detected &&
        !m_Details.service_failed)
        return;
    CompleteRecognition(m_Details.completion_cause, "", "");
}

void Channel::ProcessDtmfInput(const std::string &digits, bool match) {
    if (!m_RecogRequest) return;
    bool maxtime = m_Details.input_stats.completion_cause == MPF_SDI_COMPLETION_CAUSE_TIMEDOUT &&
                   m_Details.version != MRCP_VERSION_1;
    if (match)
        m_Details.completion_cause = maxtime ? RECOGNIZER_COMPLETION_CAUSE_SUCCESS_MAXTIME
                                             : RECOGNIZER_COMPLETION_CAUSE_SUCCESS;
    else
        m_Details.completion_cause = maxtime ? RECOGNIZER_COMPLETION_CAUSE_NO_MATCH_MAXTIME
                                             : RECOGNIZER_COMPLETION_CAUSE_NO_MATCH;
    m_Details.transcripts.assign(1, RecogAlternative{digits, digits, 1.0f});
    CompleteInput();
    if (m_Details.speech_input_started && SendInputComplete()) return;  // completed on the phrase
    std::string content_type, body;
    if (!ComposeDtmfResult(content_type, body, digits.data(), digits.size(), 1.0f))
        m_Details.completion_cause = RECOGNIZER_COMPLETION_CAUSE_RECOGNIZER_ERROR;
    CompleteRecognition(m_Details.completion_cause, content_type, body);
}

}  // namespace KORAL
