#include "mrcp_connection.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "apt_log.h"
#include "mrcp_status_response.h"

namespace vantor {

MrcpConnection::MrcpConnection(su_root_t *root, int fd, const std::string &peer, uint64_t id,
                               MrcpConnectionHandler *handler)
    : root_(root), fd_(fd), peer_(peer), id_(id), handler_(handler) {}

MrcpConnection::~MrcpConnection() {
    if (index_ >= 0) su_root_deregister(root_, index_);
    if (fd_ >= 0) ::close(fd_);
}

bool MrcpConnection::Start(std::string *error) {
    if (su_wait_create(wait_, fd_, SU_WAIT_IN | SU_WAIT_HUP) != 0) {
        *error = std::string("cannot wait on the socket: ") + strerror(errno);
        return false;
    }
    index_ = su_root_register(root_, wait_, OnWakeup, reinterpret_cast<su_wakeup_arg_t *>(this), 0);
    if (index_ < 0) {
        su_wait_destroy(wait_);
        *error = "cannot register the socket with the loop";
        return false;
    }
    return true;
}

int MrcpConnection::OnWakeup(su_root_magic_t *, su_wait_t *wait, su_wakeup_arg_t *arg) {
    auto *self = reinterpret_cast<MrcpConnection *>(arg);
    self->OnEvents(su_wait_events(wait, self->fd_));
    return 0;
}

void MrcpConnection::OnEvents(int events) {
    if (fd_ < 0) return;
    if (events & SU_WAIT_OUT) Flush();
    if (fd_ >= 0 && (events & (SU_WAIT_IN | SU_WAIT_HUP | SU_WAIT_ERR))) Read();
}

void MrcpConnection::Read() {
    char buffer[16384];
    ssize_t n = ::recv(fd_, buffer, sizeof(buffer), 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    if (n <= 0) {
        Close(n == 0 ? "closed by the peer" : std::string("read failed: ") + strerror(errno));
        return;
    }
    reader_.Feed(buffer, static_cast<size_t>(n));
    // The handler may close the connection: stop as soon as it does.
    while (fd_ >= 0) {
        std::string message, error;
        MrcpStreamReader::Result result = reader_.Next(&message, &error);
        if (result == MrcpStreamReader::Result::kNeedMore) return;
        if (result == MrcpStreamReader::Result::kError) {
            apt_log(nullptr, APT_LOG_MARK, APT_PRIO_WARNING,
                    "MRCP Framing Error from %s: %s <%llu>", peer_.c_str(), error.c_str(),
                    (unsigned long long)id_);
            if (reader_.has_request_id()) {
                // The request may be of any size: 504 for one too large, else 400-class.
                bool too_large = error.find("over the limit") != std::string::npos;
                std::string text =
                    MrcpStatusResponse(reader_.request_id(), too_large ? 504 : 408, "");
                // Best effort: the connection closes right after.
                (void)!::send(fd_, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            }
            Close("framing lost");
            return;
        }
        handler_->OnMrcpMessage(this, message);
    }
}

void MrcpConnection::Send(const std::string &text) {
    if (fd_ < 0) return;
    if (out_.size() - out_pos_ + text.size() > kMaxQueued) {
        Close("the peer does not read: over " + std::to_string(kMaxQueued) + " bytes queued");
        return;
    }
    out_.append(text);
    Flush();
}

void MrcpConnection::Flush() {
    while (fd_ >= 0 && out_pos_ < out_.size()) {
        ssize_t n = ::send(fd_, out_.data() + out_pos_, out_.size() - out_pos_,
                           MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
            Close(std::string("write failed: ") + strerror(errno));
            return;
        }
        out_pos_ += static_cast<size_t>(n);
    }
    if (out_pos_ == out_.size()) {
        out_.clear();
        out_pos_ = 0;
    }
    UpdateMask();
}

void MrcpConnection::UpdateMask() {
    if (fd_ < 0 || index_ < 0) return;
    bool want = out_pos_ < out_.size();
    if (want == want_write_) return;
    want_write_ = want;
    su_root_eventmask(root_, index_, fd_, SU_WAIT_IN | SU_WAIT_HUP | (want ? SU_WAIT_OUT : 0));
}

void MrcpConnection::Close(const std::string &reason) {
    if (fd_ < 0) return;
    apt_log(nullptr, APT_LOG_MARK, APT_PRIO_INFO, "Close MRCP Connection %s: %s <%llu>",
            peer_.c_str(), reason.c_str(), (unsigned long long)id_);
    if (index_ >= 0) su_root_deregister(root_, index_);
    index_ = -1;
    ::close(fd_);
    fd_ = -1;
    out_.clear();
    out_pos_ = 0;
    handler_->OnMrcpClosed(this);
}

}  // namespace vantor
