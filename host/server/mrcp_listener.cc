#include "mrcp_listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "apt_log.h"

namespace vantor {

MrcpListener::MrcpListener(su_root_t *root, MrcpConnectionHandler *handler)
    : root_(root), handler_(handler) {}

MrcpListener::~MrcpListener() {
    CloseAll();
    closed_.clear();
    if (reap_timer_) su_timer_destroy(reap_timer_);
}

bool MrcpListener::Open(const std::string &address, unsigned port, std::string *error) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) {
        *error = "MRCP address " + address + " is not a numeric IPv4 address";
        return false;
    }
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int one = 1;
    if (fd_ < 0 || setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0 ||
        ::bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 ||
        ::listen(fd_, 128) != 0) {
        *error =
            "cannot listen on " + address + ":" + std::to_string(port) + ": " + strerror(errno);
        return false;
    }
    socklen_t len = sizeof(addr);
    getsockname(fd_, reinterpret_cast<sockaddr *>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    reap_timer_ = su_timer_create(su_root_task(root_), 1);
    if (!reap_timer_ || su_wait_create(wait_, fd_, SU_WAIT_ACCEPT) != 0) {
        *error = "cannot set up the MRCP listener's wait";
        return false;
    }
    index_ = su_root_register(root_, wait_, OnAccept, reinterpret_cast<su_wakeup_arg_t *>(this), 0);
    if (index_ < 0) {
        *error = "cannot register the MRCP listener with the loop";
        return false;
    }
    apt_log(nullptr, APT_LOG_MARK, APT_PRIO_NOTICE, "MRCP Listener %s:%u", address.c_str(), port_);
    return true;
}

int MrcpListener::OnAccept(su_root_magic_t *, su_wait_t *, su_wakeup_arg_t *arg) {
    reinterpret_cast<MrcpListener *>(arg)->Accept();
    return 0;
}

void MrcpListener::Accept() {
    for (;;) {
        sockaddr_in addr{};
        socklen_t len = sizeof(addr);
        int fd =
            ::accept4(fd_, reinterpret_cast<sockaddr *>(&addr), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                apt_log(nullptr, APT_LOG_MARK, APT_PRIO_WARNING, "MRCP Accept Failed: %s",
                        strerror(errno));
            return;
        }
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        char host[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &addr.sin_addr, host, sizeof(host));
        std::string peer = std::string(host) + ":" + std::to_string(ntohs(addr.sin_port));
        auto connection = std::make_unique<MrcpConnection>(
            root_, fd, peer, next_id_++, static_cast<MrcpConnectionHandler *>(this));
        std::string error;
        if (!connection->Start(&error)) {
            apt_log(nullptr, APT_LOG_MARK, APT_PRIO_WARNING, "MRCP Connection %s Refused: %s",
                    peer.c_str(), error.c_str());
            continue;
        }
        apt_log(nullptr, APT_LOG_MARK, APT_PRIO_INFO, "Accept MRCP Connection %s <%llu>",
                peer.c_str(), (unsigned long long)connection->id());
        MrcpConnection *key = connection.get();
        connections_[key] = std::move(connection);
    }
}

void MrcpListener::OnMrcpMessage(MrcpConnection *connection, const std::string &message) {
    handler_->OnMrcpMessage(connection, message);
}

void MrcpListener::OnMrcpClosed(MrcpConnection *connection) {
    handler_->OnMrcpClosed(connection);
    auto it = connections_.find(connection);
    if (it == connections_.end()) return;
    // The connection is still on the stack of the call that closed it.
    closed_.push_back(std::move(it->second));
    connections_.erase(it);
    if (reap_timer_) su_timer_set(reap_timer_, OnReap, reinterpret_cast<su_timer_arg_t *>(this));
}

void MrcpListener::OnReap(su_root_magic_t *, su_timer_t *, su_timer_arg_t *arg) {
    reinterpret_cast<MrcpListener *>(arg)->closed_.clear();
}

void MrcpListener::CloseAll() {
    while (!connections_.empty()) connections_.begin()->second->Close("server shutting down");
    if (index_ >= 0) su_root_deregister(root_, index_);
    index_ = -1;
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

}  // namespace vantor
