#include "KoralRxConnection.h"

#include <cstring>

#include "KoralRxClient.h"
#include "KoralRxClientState.h"
#include "KoralRxConnectionEvents.h"
#include "KoralRxLog.h"
#include "KoralRxMessageAudio.h"
#include "KoralRxNetUri.h"
#include "KoralRxWsFrame.h"
#include "KoralRxWsHandshake.h"

namespace KORAL {

namespace {

// Largest upgrade response head accepted.
const size_t kMaxUpgradeResponseSize = size_t{64} * 1024;

}  // namespace

WebSocketConnection::WebSocketConnection(Handler *handler, WebSocketClient *client,
                                         apr_pool_t *pool)
    : m_Pool(pool),
      m_Handler(handler),
      m_Client(client),
      m_Transport(this),
      m_ConnectTimeout(kConnectTimeoutSeconds),
      m_Port(-1),
      m_SampleRate(0),
      m_Upgraded(false),
      m_ConfigSent(false),
      m_StopSent(false),
      m_ClosePending(false),
      m_StopPending(false),
      m_PhraseReceived(false),
      m_FragmentOpcode(0),
      m_TurnState(TURN_NONE),
      m_State(STATE_UNINITIATED) {}

WebSocketConnection::~WebSocketConnection() {
    Cleanup();
    m_PendingChunks.clear();
}

const char *WebSocketConnection::GetStateAsString() const { return ClientStateName(m_State); }

bool WebSocketConnection::Connect(const std::string &id, const std::string &uri,
                                  const std::string &proxyUri, const std::string &language,
                                  unsigned short sampleRate) {
    return m_Client->PostEvent(
        new ConnectEvent(m_Client, this, id, uri, proxyUri, language, sampleRate));
}

bool WebSocketConnection::PostAudioData(const std::string &requestId, char *data, size_t size) {
    AudioChunk chunk = TakeSpareChunk();
    chunk.m_RequestId.assign(requestId);
    chunk.m_Data.assign(data, data + size);
    return m_Client->PostEvent(new AudioDataEvent(m_Client, this, std::move(chunk)));
}

WebSocketConnection::AudioChunk WebSocketConnection::TakeSpareChunk() {
    std::lock_guard<std::mutex> lock(m_SpareMutex);
    if (m_SpareChunks.empty()) {
        return AudioChunk();
    }
    AudioChunk chunk = std::move(m_SpareChunks.back());
    m_SpareChunks.pop_back();
    return chunk;
}

void WebSocketConnection::ReturnSpareChunk(AudioChunk &&chunk) {
    if (chunk.m_Data.capacity() == 0) {
        return;  // moved out: nothing to reuse
    }
    std::lock_guard<std::mutex> lock(m_SpareMutex);
    if (m_SpareChunks.size() < kSpareChunks) {
        m_SpareChunks.push_back(std::move(chunk));
    }
}

bool WebSocketConnection::Stop(const std::string &requestId) {
    return m_Client->PostEvent(new StopEvent(m_Client, this, requestId));
}

bool WebSocketConnection::Close() { return m_Client->PostEvent(new CloseEvent(m_Client, this)); }

void WebSocketConnection::OnAccessToken(bool ok, const std::string &token) {
    if (m_State != STATE_INPROGRESS) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "Received access token in inapropriate state <%s>", m_Id.c_str());
        return;
    }
    // A Close that came while the token was fetched: no point in connecting.
    if (ok && !m_ClosePending) {
        m_Authorization = "Bearer " + token;
        if (DoConnect()) {
            return;
        }
    }
    OnConnectComplete(false);
}

void WebSocketConnection::FreeUris() {
    m_ServiceUri.reset();
    m_ParsedProxyUri.reset();
}

bool WebSocketConnection::DoConnect() {
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Initiate WS connection <%s> [%s]",
            m_Id.c_str(), m_Uri.c_str());
    ResolvedTarget resolved;
    TargetCheck check = ResolveTarget(m_Uri, m_ProxyUri, resolved);
    m_ServiceUri = std::move(resolved.m_Uri);
    m_ParsedProxyUri = std::move(resolved.m_ProxyUri);
    switch (check) {
        case TARGET_MALFORMED_URI:
            apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                    "Malformed HTTP URI [%s] provided for <%s>", m_Uri.c_str(), m_Id.c_str());
            return false;
        case TARGET_MALFORMED_PROXY_URI:
            apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                    "Malformed HTTP Proxy URI [%s] provided for <%s>", m_ProxyUri.c_str(),
                    m_Id.c_str());
            return false;
        case TARGET_NO_SCHEME:
            apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                    "Malformed URI scheme [%s] provided for <%s>", m_Uri.c_str(), m_Id.c_str());
            return false;
        case TARGET_UNKNOWN_SCHEME:
            apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                    "Unknown URI scheme [%s] for <%s>: must be either http or https",
                    resolved.m_Scheme.c_str(), m_Id.c_str());
            return false;
        case TARGET_NO_HOST:
        case TARGET_NO_PROXY_HOST:
            apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to get host for <%s>",
                    m_Id.c_str());
            return false;
        case TARGET_OK:
            break;
    }
    const NetTransport::Target &target = resolved.m_Target;
    m_Host = target.m_Host;
    m_Port = target.m_Port;
    m_Upgraded = false;
    m_ConfigSent = false;
    m_State = STATE_INPROGRESS;
    switch (m_Transport.Open(m_Client->GetEventBase(), m_Client->GetDnsBase(),
                             m_Client->GetSslContext(), target)) {
        case NetTransport::OPEN_OK:
            break;
        case NetTransport::OPEN_NO_TLS_CONTEXT:
            apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                    "Failed to create HTTPS connection: OpenSSL context is not available for <%s>",
                    m_Id.c_str());
            return false;
        case NetTransport::OPEN_NO_TLS_HANDLE:
            apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                    "Failed to create new OpenSSL handle for <%s>", m_Id.c_str());
            return false;
        case NetTransport::OPEN_NO_TLS_BUFFEREVENT:
            apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                    "Failed to create new OpenSSL bufferevent for <%s>", m_Id.c_str());
            return false;
        case NetTransport::OPEN_NO_BUFFEREVENT:
            apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                    "Failed to create new bufferevent for <%s>", m_Id.c_str());
            return false;
        case NetTransport::OPEN_CONNECT_FAILED:
            apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                    "Failed to start WS connection to [%s:%d] <%s>",
                    target.m_ProxyHost.empty() ? m_Host.c_str() : target.m_ProxyHost.c_str(),
                    target.m_ProxyHost.empty() ? m_Port : target.m_ProxyPort, m_Id.c_str());
            return false;
    }
    m_Stats.m_StartTime = apr_time_now();
    if (!StartTimer(m_ConnectTimer, m_ConnectTimeout, ConnectTimedout)) {
        m_Transport.Close();
        return false;
    }
    return true;
}

// ---- transport events ------------------------------------------------------

void WebSocketConnection::OnTransportProxyRead() {
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "WS proxy read cb <%s>", m_Id.c_str());
}

void WebSocketConnection::OnTransportProxyEvent(short events, const std::string &reason) {
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "WS proxy event cb <%s>", m_Id.c_str());
    if (events & BEV_EVENT_CONNECTED) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Proxy connected <%s>", m_Id.c_str());
        return;
    }
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Proxy disconnected <%s>", m_Id.c_str());
    if (m_State == STATE_INPROGRESS) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "WS proxy connection failed <%s>: %s",
                m_Id.c_str(), reason.c_str());
        OnConnectComplete(false);
    } else {
        CloseConnection();
    }
}

void WebSocketConnection::OnTransportProxyRefused(const std::string &statusLine) {
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Proxy refused tunnel <%s>: %s",
            m_Id.c_str(), statusLine.c_str());
    if (m_State == STATE_INPROGRESS) {
        OnConnectComplete(false);
    } else {
        CloseConnection();
    }
}

void WebSocketConnection::OnTransportConnected() {
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "WS event cb <%s>", m_Id.c_str());
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "WS connected <%s>", m_Id.c_str());
    Upgrade();
}

void WebSocketConnection::OnTransportRead(evbuffer *input) {
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "WS read cb <%s>", m_Id.c_str());
    Receive(input);
}

void WebSocketConnection::OnTransportWrite() {
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "WS write cb <%s>", m_Id.c_str());
}

void WebSocketConnection::OnTransportEvent(short events, const std::string &reason) {
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "WS event cb <%s>", m_Id.c_str());
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "WS disconnected <%s>", m_Id.c_str());
    if (m_State == STATE_INPROGRESS) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "WS connection failed <%s>: %s",
                m_Id.c_str(), reason.c_str());
        OnConnectComplete(false);
        return;
    }
    OnSocketLost();
}

bool WebSocketConnection::OnSocketLost() {
    if (m_State != STATE_COMPLETE) {
        CloseConnection();
        return false;
    }
    if (m_ClosePending) {
        FinishClose();
        return true;
    }
    // The socket is gone either way: release it so that the next Connect
    // connects anew instead of reusing a dead stream.
    CloseConnection();
    m_State = STATE_UNINITIATED;
    if (m_TurnState == TURN_INPROGRESS) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Terminate recognition <%s>",
                m_Id.c_str());
        m_TurnState = TURN_ENDED;
        SendTerminatingMessage(m_RequestId);
    }
    return false;
}

// ---- upgrade ---------------------------------------------------------------

void WebSocketConnection::Upgrade() {
    if (m_State != STATE_INPROGRESS || m_Upgraded) {
        return;
    }
    if (m_ClosePending) {
        OnConnectComplete(false);
        return;
    }
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "WS upgrade <%s>", m_Id.c_str());
    std::string request = WsHandshake::ComposeUpgradeRequest(
        m_Uri, m_Host, m_Port, m_UpgradeKey = WsHandshake::GenerateKey(), m_Authorization, m_Id);
    evbuffer_add(m_Transport.Output(), request.data(), request.size());
}

void WebSocketConnection::Receive(evbuffer *input) {
    if (!m_Upgraded) {
        ProcessUpgrade(input);
        return;
    }
    ReceiveFrame(input);
}

bool WebSocketConnection::ProcessUpgrade(evbuffer *input) {
    size_t size = evbuffer_get_length(input);
    if (m_State != STATE_INPROGRESS) {
        evbuffer_drain(input, size);
        return false;
    }
    const char *data = reinterpret_cast<const char *>(evbuffer_pullup(input, -1));
    size_t end = WsHandshake::FindHeadEnd(data, size);
    if (end == std::string::npos) {
        if (size <= kMaxUpgradeResponseSize) {
            return false;  // more will come
        }
        end = size;
    }
    m_Stats.m_CompleteTime = apr_time_now();
    std::string response(data, end);
    // A 101 that does not answer the key sent is not from a WebSocket server
    // that read this request (a cache or a confused proxy, RFC 6455 4.1).
    std::string reason;
    bool accepted = end <= kMaxUpgradeResponseSize && WsHandshake::IsUpgradeAccepted(data, end);
    if (accepted && !WsHandshake::CheckAccept(data, end, m_UpgradeKey, reason)) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "WS upgrade rejected <%s>: %s",
                m_Id.c_str(), reason.c_str());
        accepted = false;
    }
    if (accepted) {
        // Bytes after the blank line are already frames: keep them.
        evbuffer_drain(input, end);
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "WS upgraded <%s>\n%s", m_Id.c_str(),
                response.c_str());
        m_Upgraded = true;
        if (OnConnectComplete(true)) {
            return true;
        }
        SendConfig();
        if (evbuffer_get_length(input)) {
            return ReceiveFrame(input);
        }
        return false;
    }
    evbuffer_drain(input, size);
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "WS upgrade failed <%s>\n%s",
            m_Id.c_str(), response.c_str());
    return OnConnectComplete(false);
}

bool WebSocketConnection::OnConnectComplete(bool ok) {
    ClearConnectTimer();
    m_State = ok ? STATE_COMPLETE : STATE_UNINITIATED;
    if (!ok) {
        // A failed attempt keeps no socket, and audio queued for it must not
        // be sent on a later socket under a recognition it no longer belongs to.
        CloseConnection();
        m_PendingChunks.clear();
        m_StopPending = false;
        m_PendingStopId.clear();
    }
    ConnectionStats stats = m_Stats;
    m_Handler->OnConnect(ok, stats);
    if (m_ClosePending) {
        FinishClose();
        return true;
    }
    return false;
}

// ---- frames ----------------------------------------------------------------

bool WebSocketConnection::ReceiveFrame(evbuffer *input) {
    for (;;) {
        uint8_t head[WsFrame::kMaxHeaderSize];
        ev_ssize_t n = evbuffer_copyout(input, head, sizeof(head));
        if (n <= 0) {
            return false;
        }
        WsFrame::Header header;
        WsFrame::DecodeStatus status = WsFrame::DecodeHeader(head, static_cast<size_t>(n),
                                                             WsFrame::kMaxReceivedPayload, header);
        if (status == WsFrame::DECODE_NEED_MORE) {
            return false;
        }
        if (status == WsFrame::DECODE_TOO_LARGE) {
            apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                    "WS frame too large [%llu bytes] <%s>",
                    static_cast<unsigned long long>(header.m_Length), m_Id.c_str());
            return OnSocketLost();
        }
        size_t total = header.m_HeaderSize + static_cast<size_t>(header.m_Length);
        if (evbuffer_get_length(input) < total) {
            return false;
        }
        std::string payload;
        const uint8_t *frame = evbuffer_pullup(input, static_cast<ev_ssize_t>(total));
        WsFrame::ReadFrame(frame, total, WsFrame::kMaxReceivedPayload, header, payload);
        evbuffer_drain(input, total);

        switch (header.m_Opcode) {
            case WsFrame::OPCODE_PING:
                // Answered at once, between the fragments of a message too.
                SendControlFrame(WsFrame::OPCODE_PONG, payload);
                continue;
            case WsFrame::OPCODE_PONG:
                continue;
            case WsFrame::OPCODE_CLOSE:
                return OnCloseFrame(payload);
            default:
                break;
        }
        switch (AssembleMessage(header, payload)) {
            case ASSEMBLE_WHOLE:
                break;
            case ASSEMBLE_PENDING:
                continue;
            case ASSEMBLE_TOO_LARGE:
                return OnSocketLost();
        }
        if (header.m_Opcode != WsFrame::OPCODE_TEXT) {
            continue;
        }
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Received WS msg [%d bytes]\n%s",
                static_cast<int>(payload.size()), payload.c_str());
        WebSocketSrMessage message(WebSocketSrMessage::SERVICE_ORIGINATED);
        if (!message.Parse(payload, m_Pool)) {
            apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to parse WS msg");
            continue;
        }
        message.m_ReceiveTime = apr_time_now();
        if (ProcessMessage(message)) {
            return true;
        }
        if (!HasSocket()) {
            return false;
        }
    }
}

WebSocketConnection::AssembleResult WebSocketConnection::AssembleMessage(WsFrame::Header &header,
                                                                         std::string &payload) {
    if (header.m_Opcode == WsFrame::OPCODE_CONTINUATION) {
        if (m_FragmentOpcode == 0) {
            apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                    "WS continuation frame without a message <%s>", m_Id.c_str());
            return ASSEMBLE_PENDING;
        }
        uint64_t size = m_Fragments.size() + payload.size();
        if (size > WsFrame::kMaxReceivedPayload) {
            apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                    "WS frame too large [%llu bytes] <%s>", static_cast<unsigned long long>(size),
                    m_Id.c_str());
            m_FragmentOpcode = 0;
            m_Fragments.clear();
            return ASSEMBLE_TOO_LARGE;
        }
        m_Fragments += payload;
        if (!header.m_Fin) {
            return ASSEMBLE_PENDING;
        }
        header.m_Opcode = m_FragmentOpcode;
        payload.swap(m_Fragments);
        m_FragmentOpcode = 0;
        m_Fragments.clear();
        return ASSEMBLE_WHOLE;
    }
    if (m_FragmentOpcode != 0) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "WS message interrupted by a new one [%d bytes dropped] <%s>",
                static_cast<int>(m_Fragments.size()), m_Id.c_str());
        m_FragmentOpcode = 0;
        m_Fragments.clear();
    }
    if (!header.m_Fin) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "WS frame to be continued");
        m_FragmentOpcode = header.m_Opcode;
        m_Fragments.swap(payload);
        return ASSEMBLE_PENDING;
    }
    return ASSEMBLE_WHOLE;
}

bool WebSocketConnection::OnCloseFrame(const std::string &payload) {
    int code = payload.size() >= 2
                   ? (static_cast<uint8_t>(payload[0]) << 8) | static_cast<uint8_t>(payload[1])
                   : 0;
    std::string reason = payload.size() > 2 ? payload.substr(2) : std::string();
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "WS closed by the service [%d] [%s] <%s>",
            code, reason.c_str(), m_Id.c_str());
    // The closing handshake is answered with the service's code; the socket
    // then goes at once, as a lost one does, and is flushed before it is freed.
    SendControlFrame(WsFrame::OPCODE_CLOSE, payload.substr(0, payload.size() >= 2 ? 2 : 0));
    return OnSocketLost();
}

bool WebSocketConnection::SendControlFrame(uint8_t opcode, const std::string &payload) {
    evbuffer *output = m_Transport.Output();
    if (!output) {
        return false;
    }
    if (payload.size() > WsFrame::kMaxControlPayload) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "WS control frame payload too large [%d bytes] <%s>",
                static_cast<int>(payload.size()), m_Id.c_str());
        return false;
    }
    uint8_t key[4];
    WsFrame::RandomMaskKey(key);
    std::vector<uint8_t> frame;
    WsFrame::Encode(frame, opcode, payload.data(), payload.size(), key);
    return evbuffer_add(output, frame.data(), frame.size()) == 0;
}

bool WebSocketConnection::SendFrame(const char *data, size_t size) {
    evbuffer *output = m_Transport.Output();
    if (!output) {
        return false;
    }
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Send WS msg [%d bytes] <%s>\n%s",
            static_cast<int>(size), m_Id.c_str(), std::string(data, size).c_str());
    uint8_t key[4];
    WsFrame::RandomMaskKey(key);
    size_t total = WsFrame::HeaderSize(size, true) + size;
    evbuffer_iovec vec;
    if (evbuffer_reserve_space(output, static_cast<ev_ssize_t>(total), &vec, 1) < 1 ||
        vec.iov_len < total) {
        return false;
    }
    uint8_t *out = static_cast<uint8_t *>(vec.iov_base);
    size_t n = WsFrame::EncodeHeader(out, WsFrame::OPCODE_TEXT, size, key);
    WsFrame::MaskCopy(out + n, reinterpret_cast<const uint8_t *>(data), size, key, 0);
    vec.iov_len = total;
    return evbuffer_commit_space(output, &vec, 1) == 0;
}

bool WebSocketConnection::SendBinFrame(const BinaryMessage &message) {
    evbuffer *output = m_Transport.Output();
    if (!output) {
        return false;
    }
    uint8_t key[4];
    WsFrame::RandomMaskKey(key);
    size_t total = BinaryFrameSize(message);
    evbuffer_iovec vec;
    if (evbuffer_reserve_space(output, static_cast<ev_ssize_t>(total), &vec, 1) < 1 ||
        vec.iov_len < total) {
        return false;
    }
    vec.iov_len = WriteBinaryFrame(static_cast<uint8_t *>(vec.iov_base), message, key);
    return evbuffer_commit_space(output, &vec, 1) == 0;
}

// ---- closing and timers ----------------------------------------------------

void WebSocketConnection::ProcessClose() {
    if (m_State == STATE_INPROGRESS) {
        m_ClosePending = true;
        if (HasSocket()) {
            // Looking up, connecting or upgrading: nothing is worth waiting
            // for, and a lookup that never answers would hold the close.
            OnConnectComplete(false);
        }
        return;
    }
    if (m_TurnState != TURN_INPROGRESS || !HasSocket()) {
        FinishClose();
        return;
    }
    StartTimer(m_Timer, kCloseWaitSeconds, RequestTimedout);
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Wait [%d sec] for end of turn [%s] <%s>",
            kCloseWaitSeconds, m_RequestId.c_str(), m_Id.c_str());
    m_ClosePending = true;
}

void WebSocketConnection::RequestTimedout(evutil_socket_t, short, void *arg) {
    static_cast<WebSocketConnection *>(arg)->OnTimeout();
}

void WebSocketConnection::OnTimeout() {
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Turn [%s] timedout <%s>",
            m_RequestId.c_str(), m_Id.c_str());
    if (m_ClosePending) {
        FinishClose();
    }
}

void WebSocketConnection::ResultTimedout(evutil_socket_t, short, void *arg) {
    static_cast<WebSocketConnection *>(arg)->OnResultTimeout();
}

void WebSocketConnection::OnResultTimeout() {
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Result Timed Out [%s] <%s>",
            m_RequestId.c_str(), m_Id.c_str());
    ClearResultTimer();
    // The service took the audio and went silent: the socket is not to be
    // trusted with another turn, and the turn ends as if it had been lost.
    OnSocketLost();
}

void WebSocketConnection::ClearResultTimer() { m_ResultTimer.reset(); }

void WebSocketConnection::ConnectTimedout(evutil_socket_t, short, void *arg) {
    static_cast<WebSocketConnection *>(arg)->OnConnectTimeout();
}

void WebSocketConnection::OnConnectTimeout() {
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "WS connection timed out [%d sec] <%s>",
            m_ConnectTimeout, m_Id.c_str());
    if (m_State == STATE_INPROGRESS) {
        OnConnectComplete(false);
    }
}

bool WebSocketConnection::StartTimer(EventPtr &timer, int seconds, event_callback_fn callback) {
    timer.reset(evtimer_new(m_Client->GetEventBase(), callback, this));
    if (!timer) {
        return false;
    }
    timeval tv = {seconds, 0};
    if (evtimer_add(timer.get(), &tv) != 0) {
        timer.reset();
        return false;
    }
    return true;
}

void WebSocketConnection::ClearTimer() {
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Clear HTTP timer <%s>", m_Id.c_str());
    m_Timer.reset();
}

void WebSocketConnection::ClearConnectTimer() { m_ConnectTimer.reset(); }

void WebSocketConnection::CloseConnection() {
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Close HTTP connection <%s>", m_Id.c_str());
    ClearConnectTimer();
    ClearResultTimer();
    // What belongs to the socket goes with it: audio and a Stop posted
    // before the next socket is up must wait for its speech.config.
    m_Upgraded = false;
    m_FragmentOpcode = 0;
    m_Fragments.clear();
    m_ConfigSent = false;
    m_StopSent = false;
    // What was written last (telemetry before a close) still goes out.
    m_Client->CloseWhenFlushed(m_Transport.Detach());
}

void WebSocketConnection::FinishClose() {
    if (m_TurnState == TURN_INPROGRESS) {
        m_TurnState = TURN_ENDED;
    }
    m_ClosePending = false;
    ClearTimer();
    CloseConnection();
    NotifyClose();
}

void WebSocketConnection::NotifyClose() {
    // The owner may destroy this connection as soon as it learns of the
    // close: nothing of it is touched afterwards.
    Handler *handler = m_Handler;
    handler->OnClose();
}

void WebSocketConnection::Cleanup() {
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Clean up <%s>", m_Id.c_str());
    m_Timer.reset();
    ClearConnectTimer();
    ClearResultTimer();
    m_Transport.Close();
    FreeUris();
    m_TurnState = TURN_NONE;
    m_ReceivedMessages.clear();
    m_Authorization.clear();
    m_RequestId.clear();
    m_StopSent = false;
    m_Stats = ConnectionStats();
}

}  // namespace KORAL
