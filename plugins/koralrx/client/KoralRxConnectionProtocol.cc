#include "KoralRxConnectionProtocol.h"

#include "KoralRxClient.h"
#include "KoralRxConnection.h"
#include "KoralRxLog.h"
#include "KoralRxMessageAudio.h"

namespace KORAL {

std::string PercentEncode(const std::string &text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                          (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' || c == '~';
        if (unreserved) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0x0f];
        }
    }
    return out;
}

std::string ComposeRecognitionUri(const std::string &uri, const std::string &language) {
    std::string result = uri;
    result += uri.find('?') == std::string::npos ? "?" : "&";
    result += "format=detailed&language=";
    // The language comes from the MRCP client: encoded, it cannot add
    // parameters of its own to the query.
    result += PercentEncode(language);
    return result;
}

bool StartsTurn(int turnState, const std::string &currentRequestId, const std::string &requestId,
                bool &drop) {
    drop = false;
    switch (turnState) {
        case WebSocketConnection::TURN_NONE:
            return true;
        case WebSocketConnection::TURN_ENDED:
            if (requestId == currentRequestId) {
                drop = true;
                return false;
            }
            return true;
        default:
            return false;
    }
}

void WebSocketConnection::ResetRecognition() {
    m_TurnState = TURN_NONE;
    m_ReceivedMessages.clear();
    m_Authorization.clear();
    m_RequestId.clear();
    m_StopSent = false;
    m_PhraseReceived = false;
    m_Stats = ConnectionStats();
    ClearResultTimer();
}

void WebSocketConnection::ProcessConnect(const std::string &id, const std::string &uri,
                                         const std::string &proxyUri, const std::string &language,
                                         unsigned short sampleRate) {
    if (m_State == STATE_INPROGRESS) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Inapropriate connect request <%s>",
                id.c_str());
        return;
    }
    ResetRecognition();
    // Whatever still waits from an earlier recognition is stale now.
    m_PendingChunks.clear();
    m_StopPending = false;
    m_PendingStopId.clear();
    if (m_State == STATE_COMPLETE) {
        ConnectionStats stats = m_Stats;
        m_Handler->OnConnect(true, stats);
        return;
    }
    m_Id = id;
    m_Uri = ComposeRecognitionUri(uri, language);
    m_ProxyUri = proxyUri;
    m_SampleRate = sampleRate;

    m_State = STATE_INPROGRESS;
    m_ClosePending = false;
    AuthClient *auth = m_Client->GetAuthClient();
    if (!auth || !auth->RetrieveToken(this)) {
        // The token request could not even start: nobody would ever answer.
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to request access token <%s>",
                m_Id.c_str());
        OnConnectComplete(false);
    }
}

void WebSocketConnection::ProcessAudioChunk(AudioChunk &chunk) {
    if (!m_ConfigSent) {
        // Audio waits for speech.config only while a connection is under way.
        if (m_State == STATE_INPROGRESS) {
            m_PendingChunks.push_back(std::move(chunk));
        }
        return;
    }
    ProcessAudioData(chunk.m_RequestId, chunk.m_Data);
}

void WebSocketConnection::ComposeAudioHeader(const std::string &requestId,
                                             std::string &header) const {
    WebSocketSrMessage message(WebSocketSrMessage::CLIENT_ORIGINATED);
    message.m_Method = WebSocketSrMessage::CLIENT_METHOD_AUDIO;
    message.m_RequestId = requestId;
    WebSocketSrMessage::GenerateXTimestamp(apr_time_now(), message.m_Timestamp);
    message.m_ContentType = "audio/x-wav";
    message.GenerateHeader(header, false);
}

void WebSocketConnection::ProcessAudioData(const std::string &requestId,
                                           const std::vector<char> &data) {
    if (!HasSocket() || m_StopSent) {
        return;
    }
    bool drop = false;
    bool newTurn = StartsTurn(m_TurnState, m_RequestId, requestId, drop);
    if (drop) {
        return;
    }
    if (newTurn) {
        m_TurnState = TURN_INPROGRESS;
        m_RequestId = requestId;
        m_ReceivedMessages.clear();
        m_PhraseReceived = false;
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Initiate new turn [%s] <%s>",
                requestId.c_str(), m_Id.c_str());
    }
    std::string header;
    ComposeAudioHeader(requestId, header);
    uint8_t wave[kWaveHeaderSize];
    BinaryMessage message;
    message.m_Header = &header;
    if (newTurn) {
        PrepareWaveHeader(m_SampleRate, wave, message.m_WaveSize);
        message.m_Wave = wave;
    }
    message.m_Audio = reinterpret_cast<const uint8_t *>(data.data());
    message.m_AudioSize = data.size();
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Send WS bin msg [%d bytes] <%s>\n%s",
            static_cast<int>(message.Size()), m_Id.c_str(), header.c_str());
    SendBinFrame(message);
}

void WebSocketConnection::ProcessStop(const std::string &requestId) {
    if (!m_ConfigSent && m_State == STATE_INPROGRESS) {
        // The audio of this recognition still waits for speech.config; the
        // end of it must follow that audio, not overtake it (and without
        // audio, the answer must wait for the connection's outcome).
        m_StopPending = true;
        m_PendingStopId = requestId;
        return;
    }
    if (!HasSocket()) {
        // The socket was lost after this recognition's connect had been
        // answered, before its audio opened this turn (a loss during the turn
        // has ended it already): nothing will ever answer, so the owner is
        // told now rather than left waiting.
        if (m_TurnState != TURN_ENDED || m_RequestId != requestId) {
            apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                    "No connection to end turn [%s] <%s>", requestId.c_str(), m_Id.c_str());
            m_TurnState = TURN_ENDED;
            m_RequestId = requestId;
            SendTerminatingMessage(requestId);
        }
        return;
    }
    if (m_TurnState == TURN_INPROGRESS) {
        if (m_StopSent) {
            return;
        }
        m_StopSent = true;
        std::string header;
        ComposeAudioHeader(requestId, header);
        BinaryMessage message;
        message.m_Header = &header;
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO,
                "Send WS final bin msg [%d bytes] <%s>\n%s", static_cast<int>(message.Size()),
                m_Id.c_str(), header.c_str());
        SendBinFrame(message);
        if (!m_PhraseReceived) StartResultTimer();
        return;
    }
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG,
            "Send stop response: no in-progress request found <%s>", m_Id.c_str());
    SendTerminatingMessage(requestId);
}

void WebSocketConnection::StartResultTimer() {
    int seconds = m_Client->m_ResultTimeout > 0 ? m_Client->m_ResultTimeout : 1;
    StartTimer(m_ResultTimer, seconds, ResultTimedout);
}

void WebSocketConnection::SendTerminatingMessage(const std::string &requestId) {
    WebSocketSrMessage message(WebSocketSrMessage::SERVICE_ORIGINATED);
    message.m_Method = WebSocketSrMessage::SERVICE_METHOD_SPEECH_PHRASE;
    message.m_RequestId = requestId;
    m_Handler->OnMessage(message);
}

bool WebSocketConnection::SendConfig() {
    if (m_ConfigSent || !HasSocket()) {
        return false;
    }
    WebSocketSrMessage message(WebSocketSrMessage::CLIENT_ORIGINATED);
    message.m_Method = WebSocketSrMessage::CLIENT_METHOD_SPEECH_CONFIG;
    message.m_RequestId = m_RequestId;
    WebSocketSrMessage::GenerateXTimestamp(apr_time_now(), message.m_Timestamp);
    message.m_ContentType = "application/json; charset=utf-8";
    std::string text;
    message.GenerateHeader(text, true);
    text += SpeechConfigBody();
    SendFrame(text.data(), text.size());
    m_ConfigSent = true;
    if (!m_PendingChunks.empty()) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Send pending audio chunks <%s>",
                m_Id.c_str());
        std::list<AudioChunk> chunks;
        chunks.swap(m_PendingChunks);
        for (const AudioChunk &chunk : chunks) {
            ProcessAudioData(chunk.m_RequestId, chunk.m_Data);
        }
    }
    if (m_StopPending) {
        m_StopPending = false;
        std::string requestId;
        requestId.swap(m_PendingStopId);
        ProcessStop(requestId);
    }
    return true;
}

bool WebSocketConnection::SendTelemetry(apr_time_t time) {
    if (!HasSocket()) {
        return false;
    }
    WebSocketSrMessage message(WebSocketSrMessage::CLIENT_ORIGINATED);
    message.m_Method = WebSocketSrMessage::CLIENT_METHOD_TELEMETRY;
    message.m_RequestId = m_RequestId;
    WebSocketSrMessage::GenerateXTimestamp(time, message.m_Timestamp);
    message.m_ContentType = "application/json; charset=utf-8";
    std::string text;
    message.GenerateHeader(text, true);
    text += ComposeTelemetryBody(m_ReceivedMessages);
    return SendFrame(text.data(), text.size());
}

bool WebSocketConnection::ProcessMessage(const WebSocketSrMessage &message) {
    m_ReceivedMessages[message.m_Method].push_back(message.m_ReceiveTime);
    if (message.m_RequestId != m_RequestId) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "Unexpected request id %s, waiting for %s <%s>", message.m_RequestId.c_str(),
                m_RequestId.c_str(), m_Id.c_str());
        return false;
    }
    switch (message.m_Method) {
        case WebSocketSrMessage::SERVICE_METHOD_SPEECH_PHRASE:
            m_PhraseReceived = true;
            ClearResultTimer();
            m_Handler->OnMessage(message);
            return false;
        case WebSocketSrMessage::SERVICE_METHOD_SPEECH_END_DETECTED:
            // The service has heard the end of the audio, and the owner sends
            // no end of its own then: the result is due from now on.
            if (!m_PhraseReceived) StartResultTimer();
            m_Handler->OnMessage(message);
            return false;
        case WebSocketSrMessage::SERVICE_METHOD_SPEECH_START_DETECTED:
        case WebSocketSrMessage::SERVICE_METHOD_SPEECH_HYPOTHESIS:
            m_Handler->OnMessage(message);
            return false;
        case WebSocketSrMessage::SERVICE_METHOD_TURN_END:
            SendTelemetry(message.m_ReceiveTime);
            m_TurnState = TURN_ENDED;
            ClearResultTimer();
            if (!m_PhraseReceived && !m_ClosePending) {
                // No result will come for this turn: its recognition ends now
                // rather than waiting for it.
                apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                        "Turn [%s] ended without a result <%s>", m_RequestId.c_str(), m_Id.c_str());
                SendTerminatingMessage(m_RequestId);
            }
            if (m_ClosePending) {
                FinishClose();
                return true;
            }
            return false;
        default:
            return false;
    }
}

}  // namespace KORAL
