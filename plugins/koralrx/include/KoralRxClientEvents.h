// Commands handed to the service client's loop thread: the base of the
// event family and the client's own two events.
#pragma once

namespace KORAL {

class WebSocketClient;

// Allocated by the poster, owned by the client's queue from PostEvent on,
// deleted by the loop thread right after Process() (or unrun by Cleanup).
class Event {
  public:
    explicit Event(WebSocketClient *client) : m_Client(client) {}
    virtual ~Event() {}
    virtual void Process() = 0;

    WebSocketClient *m_Client;
};

// Fetches a first access token early.
class AuthEvent : public Event {
  public:
    explicit AuthEvent(WebSocketClient *client) : Event(client) {}
    void Process() override;
};

// Ends the loop after this event.
class ShutdownEvent : public Event {
  public:
    explicit ShutdownEvent(WebSocketClient *client) : Event(client) {}
    void Process() override;
};

}  // namespace KORAL
