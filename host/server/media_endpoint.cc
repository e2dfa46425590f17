#include "media_endpoint.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>

namespace vantor {

namespace {

int BindUdp(const in_addr &address, unsigned port) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr = address;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Where the next search starts, so that calls spread over the range.
std::atomic<unsigned> next_offset{0};

}  // namespace

std::unique_ptr<MediaEndpoint> MediaEndpoint::Open(const std::string &address, unsigned port_min,
                                                   unsigned port_max, unsigned,
                                                   std::string *error) {
    in_addr in{};
    if (inet_pton(AF_INET, address.c_str(), &in) != 1) {
        *error = "RTP address " + address + " is not a numeric IPv4 address";
        return nullptr;
    }
    unsigned first = port_min + (port_min & 1);
    if (first + 1 > port_max) {
        *error = "no even port in " + std::to_string(port_min) + "-" + std::to_string(port_max);
        return nullptr;
    }
    const unsigned pairs = (port_max - first + 1) / 2;
    const unsigned start = next_offset.fetch_add(1) % pairs;
    for (unsigned i = 0; i < pairs; ++i) {
        unsigned port = first + 2 * ((start + i) % pairs);
        int rtp = BindUdp(in, port);
        if (rtp < 0) continue;
        int rtcp = BindUdp(in, port + 1);
        if (rtcp < 0) {
            ::close(rtp);
            continue;
        }
        std::unique_ptr<MediaEndpoint> endpoint(new MediaEndpoint());
        endpoint->rtp_fd_ = rtp;
        endpoint->rtcp_fd_ = rtcp;
        endpoint->port_ = port;
        return endpoint;
    }
    *error = "every RTP port pair in " + std::to_string(port_min) + "-" + std::to_string(port_max) +
             " is in use";
    return nullptr;
}

MediaEndpoint::~MediaEndpoint() {
    if (rtp_fd_ >= 0) ::close(rtp_fd_);
    if (rtcp_fd_ >= 0) ::close(rtcp_fd_);
}

void MediaEndpoint::Start(const AudioFormat &format, const std::string &, unsigned) {
    format_ = format;
    silence_ = std::make_unique<InputQueue>(format.rate);
}

FrameSource *MediaEndpoint::source() { return silence_.get(); }

}  // namespace vantor
