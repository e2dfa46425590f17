// One channel's connection to the speech service: access token, TCP (direct
// or through a proxy tunnel), TLS, the WebSocket upgrade and frames
// (KoralRxConnection.cc), and the recognition protocol over it: connect,
// speech.config, audio turns, stop, telemetry and the forwarding of the
// service's messages (KoralRxConnectionProtocol.cc). The public calls only
// post events; everything else runs on the service client's loop thread.
#pragma once

#include <apr_pools.h>
#include <apr_time.h>
#include <event2/event.h>
#include <event2/http.h>

#include <cstdint>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "KoralRxAuth.h"
#include "KoralRxMessage.h"
#include "KoralRxMessageJson.h"
#include "KoralRxNetHandles.h"
#include "KoralRxNetTransport.h"
#include "KoralRxWsFrame.h"

namespace KORAL {

class WebSocketClient;
struct BinaryMessage;

class WebSocketConnection : public AuthClient::Handler, private NetTransport::Owner {
  public:
    struct ConnectionStats {
        int64_t m_StartTime = 0;     // TCP connection started (0 when reused)
        int64_t m_CompleteTime = 0;  // upgrade response received (0 when reused or none)
    };

    // The owner's callbacks, all on the loop thread; they must not block it.
    class Handler {
      public:
        virtual ~Handler() {}
        virtual void OnConnect(bool success, const ConnectionStats &stats) = 0;
        // After Close(); the owner may destroy the connection from now on.
        virtual void OnClose() = 0;
        virtual void OnMessage(const WebSocketSrMessage &message) = 0;
    };

    struct AudioChunk {
        std::string m_RequestId;
        std::vector<char> m_Data;
    };

    enum State { STATE_UNINITIATED = 0, STATE_INPROGRESS = 1, STATE_COMPLETE = 2 };

    enum TurnState { TURN_NONE = 0, TURN_INPROGRESS = 1, TURN_ENDED = 2 };

    // Wait for the end of a turn on Close.
    static const int kCloseWaitSeconds = 5;
    // Bound on TCP connect, proxy tunnel, TLS handshake and upgrade together.
    static const int kConnectTimeoutSeconds = 30;

    WebSocketConnection(Handler *handler, WebSocketClient *client, apr_pool_t *pool);
    virtual ~WebSocketConnection();

    WebSocketConnection(const WebSocketConnection &) = delete;
    WebSocketConnection &operator=(const WebSocketConnection &) = delete;

    // Any thread: each posts one event to the client.
    bool Connect(const std::string &id, const std::string &uri, const std::string &proxyUri,
                 const std::string &language, unsigned short sampleRate);
    bool PostAudioData(const std::string &requestId, char *data, size_t size);
    bool Stop(const std::string &requestId);
    bool Close();

    // The buffers of audio chunks go back and forth between the posting
    // thread and the loop: a chunk the loop is done with returns its buffers
    // (loop thread) and the next PostAudioData takes them (any thread), so
    // that a chunk's hand-off allocates nothing once a few are in use.
    AudioChunk TakeSpareChunk();
    void ReturnSpareChunk(AudioChunk &&chunk);

    // Loop thread.
    void OnAccessToken(bool ok, const std::string &token) override;
    void ProcessConnect(const std::string &id, const std::string &uri, const std::string &proxyUri,
                        const std::string &language, unsigned short sampleRate);
    void ProcessAudioChunk(AudioChunk &chunk);
    void ProcessAudioData(const std::string &requestId, const std::vector<char> &data);
    void ProcessStop(const std::string &requestId);
    void ProcessClose();
    bool SendConfig();
    bool SendTelemetry(apr_time_t time);
    // True when the connection was closed and OnClose delivered.
    bool ProcessMessage(const WebSocketSrMessage &message);
    // ProcessStop sends the end of a turn's audio; if the turn's
    // speech.phrase does not follow within the client's result timeout,
    // "Result Timed Out" is logged, the socket dropped and the turn ended
    // with a terminating speech.phrase, as when the socket is lost mid-turn.

    // Bound in seconds on connecting (kConnectTimeoutSeconds unless changed).
    void SetConnectTimeout(int seconds) { m_ConnectTimeout = seconds; }

    // The stream under the connection (diagnostics and benchmarks).
    const NetTransport &GetTransport() const { return m_Transport; }

    const char *GetStateAsString() const;
    State GetState() const { return m_State; }
    TurnState GetTurnState() const { return m_TurnState; }
    const std::string &GetId() const { return m_Id; }
    const std::string &GetUri() const { return m_Uri; }

  private:
    // Transport (KoralRxConnection.cc).
    bool DoConnect();
    void Upgrade();
    // True when the connection was closed and OnClose delivered.
    bool ProcessUpgrade(evbuffer *input);
    void Receive(evbuffer *input);
    bool ReceiveFrame(evbuffer *input);
    enum AssembleResult {
        ASSEMBLE_WHOLE,     // `header`'s opcode and `payload` hold a whole message
        ASSEMBLE_PENDING,   // fragments still to come (or a stray continuation)
        ASSEMBLE_TOO_LARGE  // the message grew over WsFrame::kMaxReceivedPayload
    };
    // Adds a data frame to the message being reassembled.
    AssembleResult AssembleMessage(WsFrame::Header &header, std::string &payload);
    // A close frame from the service: answered, then the socket is lost.
    bool OnCloseFrame(const std::string &payload);
    bool SendControlFrame(uint8_t opcode, const std::string &payload);
    bool SendFrame(const char *data, size_t size);
    bool SendBinFrame(const BinaryMessage &message);
    bool OnConnectComplete(bool ok);
    bool OnSocketLost();
    void OnTimeout();
    void OnConnectTimeout();
    void OnResultTimeout();
    void ClearResultTimer();
    bool StartTimer(EventPtr &timer, int seconds, event_callback_fn callback);
    void ClearTimer();
    void ClearConnectTimer();
    void CloseConnection();
    void FreeUris();
    void Cleanup();
    void NotifyClose();
    // The one end of a Close: the turn (if any) ended, the close timer
    // cleared, the socket closed and the owner told, who may destroy this
    // connection at once: nothing of it may be touched afterwards.
    void FinishClose();
    bool HasSocket() const { return m_Transport.IsOpen(); }

    void OnTransportProxyEvent(short events, const std::string &reason) override;
    void OnTransportProxyRead() override;
    void OnTransportProxyRefused(const std::string &statusLine) override;
    void OnTransportConnected() override;
    void OnTransportRead(evbuffer *input) override;
    void OnTransportWrite() override;
    void OnTransportEvent(short events, const std::string &reason) override;

    static void RequestTimedout(evutil_socket_t, short, void *arg);
    static void ConnectTimedout(evutil_socket_t, short, void *arg);
    static void ResultTimedout(evutil_socket_t, short, void *arg);

    // Protocol (KoralRxConnectionProtocol.cc).
    void ResetRecognition();
    void SendTerminatingMessage(const std::string &requestId);
    // The wait for the turn's speech.phrase (result-timeout).
    void StartResultTimer();
    void ComposeAudioHeader(const std::string &requestId, std::string &header) const;

    apr_pool_t *m_Pool;
    Handler *m_Handler;
    WebSocketClient *m_Client;
    NetTransport m_Transport;  // the socket(s): m_Bev and m_PendingBev
    EventPtr m_Timer;
    EventPtr m_ConnectTimer;
    EventPtr m_ResultTimer;  // the wait for the turn's speech.phrase after its end of audio
    int m_ConnectTimeout;
    EvhttpUriPtr m_ServiceUri;
    EvhttpUriPtr m_ParsedProxyUri;
    std::string m_Host;
    int32_t m_Port;
    std::string m_Uri;
    std::string m_ProxyUri;
    std::string m_Id;
    std::string m_Authorization;
    std::string m_UpgradeKey;  // Sec-WebSocket-Key of the last upgrade request
    unsigned short m_SampleRate;
    bool m_Upgraded;
    bool m_ConfigSent;
    bool m_StopSent;
    bool m_ClosePending;
    std::string m_RequestId;
    std::list<AudioChunk> m_PendingChunks;
    // Buffers of chunks sent, for the next ones (at most kSpareChunks).
    static const size_t kSpareChunks = 4;
    std::mutex m_SpareMutex;
    std::vector<AudioChunk> m_SpareChunks;
    // A Stop that arrived while its audio waited for speech.config.
    bool m_StopPending;
    std::string m_PendingStopId;
    // The current turn's speech.phrase arrived (no result wait after its Stop).
    bool m_PhraseReceived;
    // A fragmented message under reassembly: its opcode (0: none) and its
    // payload so far, within WsFrame::kMaxReceivedPayload.
    uint8_t m_FragmentOpcode;
    std::string m_Fragments;
    TurnState m_TurnState;
    State m_State;
    ConnectionStats m_Stats;
    ReceivedMessages m_ReceivedMessages;
};

}  // namespace KORAL
