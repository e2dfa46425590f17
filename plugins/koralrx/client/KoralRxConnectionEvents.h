// Events through which a connection's public calls reach the loop thread.
#pragma once

#include <string>
#include <utility>

#include "KoralRxClientEvents.h"
#include "KoralRxConnection.h"

namespace KORAL {

class ConnectEvent : public Event {
  public:
    ConnectEvent(WebSocketClient *client, WebSocketConnection *connection, const std::string &id,
                 const std::string &uri, const std::string &proxyUri, const std::string &language,
                 unsigned short sampleRate)
        : Event(client),
          m_Connection(connection),
          m_Id(id),
          m_Uri(uri),
          m_ProxyUri(proxyUri),
          m_Language(language),
          m_SampleRate(sampleRate) {}
    void Process() override;

    WebSocketConnection *m_Connection;
    std::string m_Id;
    std::string m_Uri;
    std::string m_ProxyUri;
    std::string m_Language;
    unsigned short m_SampleRate;
};

class AudioDataEvent : public Event {
  public:
    AudioDataEvent(WebSocketClient *client, WebSocketConnection *connection,
                   WebSocketConnection::AudioChunk &&chunk)
        : Event(client), m_Connection(connection), m_Chunk(std::move(chunk)) {}
    void Process() override;

    WebSocketConnection *m_Connection;
    WebSocketConnection::AudioChunk m_Chunk;
};

class StopEvent : public Event {
  public:
    StopEvent(WebSocketClient *client, WebSocketConnection *connection,
              const std::string &requestId)
        : Event(client), m_Connection(connection), m_RequestId(requestId) {}
    void Process() override;

    WebSocketConnection *m_Connection;
    std::string m_RequestId;
};

class CloseEvent : public Event {
  public:
    CloseEvent(WebSocketClient *client, WebSocketConnection *connection)
        : Event(client), m_Connection(connection) {}
    void Process() override;

    WebSocketConnection *m_Connection;
};

}  // namespace KORAL
