// One MRCPv2 TCP connection accepted by the server, served on the SIP loop's
// thread (sofia-sip's su_root): reads are cut into messages by the stream
// reader and handed to the handler; writes are queued and flushed when the
// socket takes them. A framing error is answered (when the request id can be
// read) and closes the connection.
#pragma once

#include <sofia-sip/su_wait.h>

#include <cstdint>
#include <string>

#include "mrcp_stream_reader.h"

namespace vantor {

class MrcpConnection;

class MrcpConnectionHandler {
  public:
    virtual ~MrcpConnectionHandler() = default;
    // One whole message as received.
    virtual void OnMrcpMessage(MrcpConnection *connection, const std::string &message) = 0;
    // The connection closed (peer, error or Close); it is deleted after this returns.
    virtual void OnMrcpClosed(MrcpConnection *connection) = 0;
};

class MrcpConnection {
  public:
    // Most bytes queued for a peer that does not read before it is dropped.
    static constexpr size_t kMaxQueued = 16 * 1024 * 1024;

    MrcpConnection(su_root_t *root, int fd, const std::string &peer, uint64_t id,
                   MrcpConnectionHandler *handler);
    ~MrcpConnection();
    MrcpConnection(const MrcpConnection &) = delete;
    MrcpConnection &operator=(const MrcpConnection &) = delete;

    bool Start(std::string *error);
    // Queues text for the peer.
    void Send(const std::string &text);
    // Closes at once (queued bytes are dropped); the handler hears OnMrcpClosed later.
    void Close(const std::string &reason);

    const std::string &peer() const { return peer_; }
    uint64_t id() const { return id_; }
    bool closed() const { return fd_ < 0; }

  private:
    static int OnWakeup(su_root_magic_t *magic, su_wait_t *wait, su_wakeup_arg_t *arg);
    void OnEvents(int events);
    void Read();
    void Flush();
    void UpdateMask();

    su_root_t *root_;
    int fd_;
    std::string peer_;
    uint64_t id_;
    MrcpConnectionHandler *handler_;
    su_wait_t wait_[1];
    int index_ = -1;
    bool want_write_ = false;
    MrcpStreamReader reader_;
    std::string out_;
    size_t out_pos_ = 0;
};

}  // namespace vantor
