#include "mrcp_session.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "mrcp_message_codec.h"
#include "mrcp_recog_resource.h"
#include "rtp_socket.h"

namespace vantor {

namespace {
constexpr int kIdleMs = 20;

long MsLeft(std::chrono::steady_clock::time_point until) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 until - std::chrono::steady_clock::now())
                                 .count());
}
}  // namespace

MrcpSession::~MrcpSession() {
    if (fd_ >= 0) close(fd_);
}

bool MrcpSession::Connect(const std::string &address, unsigned port, long timeout_ms,
                          std::string *error) {
    UdpEndpoint to;  // any numeric endpoint will do for TCP too
    if (!ResolveEndpoint(address, port, &to)) {
        *error = "MRCP address " + address + " is not numeric";
        return false;
    }
    fd_ = socket(to.addr.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        *error = std::string("cannot create the MRCP socket: ") + strerror(errno);
        return false;
    }
    const int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    const std::string where = address + ":" + std::to_string(port);
    if (connect(fd_, reinterpret_cast<const sockaddr *>(&to.addr), to.len) != 0 &&
        errno != EINPROGRESS) {
        *error = "cannot connect to MRCP " + where + ": " + strerror(errno);
        return false;
    }
    pollfd p{fd_, POLLOUT, 0};
    if (poll(&p, 1, static_cast<int>(timeout_ms)) <= 0) {
        *error = "no MRCP connection to " + where + " within " + std::to_string(timeout_ms) + " ms";
        return false;
    }
    int so_error = 0;
    socklen_t len = sizeof(so_error);
    getsockopt(fd_, SOL_SOCKET, SO_ERROR, &so_error, &len);
    if (so_error != 0) {
        *error = "cannot connect to MRCP " + where + ": " + strerror(so_error);
        return false;
    }
    return true;
}

bool MrcpSession::SendRequest(const std::string &channel, const std::string &method,
                              mrcp_request_id request_id,
                              const std::vector<std::pair<std::string, std::string>> &headers,
                              const std::string &body, std::string *error) {
    apr_pool_t *pool = nullptr;
    if (apr_pool_create(&pool, nullptr) != APR_SUCCESS) {
        *error = "cannot create a pool";
        return false;
    }
    bool ok = false;
    const apr_size_t method_id =
        mrcp_recog_method_id_find(method.c_str(), method.size(), MRCP_VERSION_2);
    mrcp_message_t *request = nullptr;
    const char *text = nullptr;
    apr_size_t length = 0;
    if (method_id >= RECOGNIZER_METHOD_COUNT) {
        *error = "unknown recognizer method " + method;
    } else if (!(request = mrcp_request_create(MRCP_VERSION_2, method_id, pool)) ||
               !mrcp_message_channel_id_set(request, channel.c_str())) {
        *error = "channel identifier " + channel + " is not usable";
    } else {
        request->start_line.request_id = request_id;
        ok = true;
        for (const auto &h : headers) {
            if (!mrcp_message_header_add(request, h.first.c_str(), h.second.c_str())) {
                *error = "illegal value of header " + h.first + ": " + h.second;
                ok = false;
                break;
            }
        }
        if (ok && !body.empty()) mrcp_message_body_set(request, body.data(), body.size());
        if (ok && !(text = mrcp_message_serialize(request, pool, &length))) {
            *error = "cannot write the " + method + " request";
            ok = false;
        }
    }
    for (apr_size_t sent = 0; ok && sent < length;) {
        const ssize_t n = send(fd_, text + sent, length - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<apr_size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{fd_, POLLOUT, 0};
            poll(&p, 1, 1000);
        } else if (n < 0 && errno != EINTR) {
            *error = "MRCP connection lost while sending " + method + ": " + strerror(errno);
            ok = false;
        }
    }
    apr_pool_destroy(pool);
    return ok;
}

MrcpSession::Wait MrcpSession::Receive(long timeout_ms, const std::function<bool()> &idle,
                                       apr_pool_t *pool, mrcp_message_t **message,
                                       std::string *error) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        std::string text;
        switch (reader_.Next(&text, error)) {
            case MrcpStreamReader::Result::kMessage: {
                const char *why = nullptr;
                *message = mrcp_message_parse(text.data(), text.size(), pool, &why);
                if (*message) return Wait::kMessage;
                *error = std::string("unreadable message from the server: ") +
                         (why ? why : "unknown reason");
                return Wait::kError;
            }
            case MrcpStreamReader::Result::kError:
                *error = "broken MRCP stream from the server: " + *error;
                return Wait::kError;
            case MrcpStreamReader::Result::kNeedMore:
                break;
        }
        const long left = MsLeft(until);
        if (left <= 0) return Wait::kTimeout;
        pollfd p{fd_, POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(left < kIdleMs ? left : kIdleMs));
        if (idle && !idle()) return Wait::kInterrupted;
        if (ready <= 0) continue;
        char buffer[8192];
        const ssize_t n = recv(fd_, buffer, sizeof(buffer), 0);
        if (n == 0) return Wait::kClosed;
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
            *error = std::string("MRCP connection lost: ") + strerror(errno);
            return Wait::kError;
        }
        reader_.Feed(buffer, static_cast<size_t>(n));
    }
}

}  // namespace vantor
