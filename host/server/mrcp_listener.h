// The MRCPv2 TCP listener: accepts connections on the SIP loop's thread and
// owns them until they close; closed connections are deleted from the loop
// once the call that closed them has returned.
#pragma once

#include <sofia-sip/su_wait.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "mrcp_connection.h"

namespace vantor {

class MrcpListener : private MrcpConnectionHandler {
  public:
    MrcpListener(su_root_t *root, MrcpConnectionHandler *handler);
    ~MrcpListener();
    MrcpListener(const MrcpListener &) = delete;
    MrcpListener &operator=(const MrcpListener &) = delete;

    // Listens on address:port (0: any free port). False with a reason.
    bool Open(const std::string &address, unsigned port, std::string *error);
    unsigned port() const { return port_; }
    size_t connection_count() const { return connections_.size(); }
    // Closes every connection and stops listening.
    void CloseAll();

  private:
    static int OnAccept(su_root_magic_t *magic, su_wait_t *wait, su_wakeup_arg_t *arg);
    static void OnReap(su_root_magic_t *magic, su_timer_t *timer, su_timer_arg_t *arg);
    void Accept();
    void OnMrcpMessage(MrcpConnection *connection, const std::string &message) override;
    void OnMrcpClosed(MrcpConnection *connection) override;

    su_root_t *root_;
    MrcpConnectionHandler *handler_;
    int fd_ = -1;
    unsigned port_ = 0;
    su_wait_t wait_[1];
    int index_ = -1;
    su_timer_t *reap_timer_ = nullptr;
    uint64_t next_id_ = 1;
    std::map<MrcpConnection *, std::unique_ptr<MrcpConnection>> connections_;
    std::vector<std::unique_ptr<MrcpConnection>> closed_;
};

}  // namespace vantor
