#include "rtp_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace vantor {

namespace {
// Where the next search of a port range starts: successive calls spread over
// the range so a port just freed is not handed out again at once (late
// packets of the previous call would land in the next).
std::atomic<unsigned> next_port_hint{0};
// Tries for an ephemeral even/odd pair when no range is given.
constexpr int kEphemeralTries = 64;
}  // namespace

bool ResolveEndpoint(const std::string &address, unsigned port, UdpEndpoint *endpoint) {
    *endpoint = UdpEndpoint();
    if (port > 65535) return false;
    auto *v4 = reinterpret_cast<sockaddr_in *>(&endpoint->addr);
    if (inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<uint16_t>(port));
        endpoint->len = sizeof(sockaddr_in);
        return true;
    }
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(&endpoint->addr);
    if (inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<uint16_t>(port));
        endpoint->len = sizeof(sockaddr_in6);
        return true;
    }
    return false;
}

bool SameEndpoint(const sockaddr_storage &a, const UdpEndpoint &b) {
    if (a.ss_family != b.addr.ss_family) return false;
    if (a.ss_family == AF_INET) {
        const auto *x = reinterpret_cast<const sockaddr_in *>(&a);
        const auto *y = reinterpret_cast<const sockaddr_in *>(&b.addr);
        return x->sin_port == y->sin_port && x->sin_addr.s_addr == y->sin_addr.s_addr;
    }
    if (a.ss_family == AF_INET6) {
        const auto *x = reinterpret_cast<const sockaddr_in6 *>(&a);
        const auto *y = reinterpret_cast<const sockaddr_in6 *>(&b.addr);
        return x->sin6_port == y->sin6_port &&
               memcmp(&x->sin6_addr, &y->sin6_addr, sizeof(x->sin6_addr)) == 0;
    }
    return false;
}

std::string EndpointText(const sockaddr_storage &addr) {
    char text[INET6_ADDRSTRLEN] = "?";
    unsigned port = 0;
    if (addr.ss_family == AF_INET) {
        const auto *v4 = reinterpret_cast<const sockaddr_in *>(&addr);
        inet_ntop(AF_INET, &v4->sin_addr, text, sizeof(text));
        port = ntohs(v4->sin_port);
    } else if (addr.ss_family == AF_INET6) {
        const auto *v6 = reinterpret_cast<const sockaddr_in6 *>(&addr);
        inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof(text));
        port = ntohs(v6->sin6_port);
    }
    return std::string(text) + ":" + std::to_string(port);
}

int BindUdp(const UdpEndpoint &endpoint) {
    const int fd = socket(endpoint.addr.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (bind(fd, reinterpret_cast<const sockaddr *>(&endpoint.addr), endpoint.len) != 0) {
        const int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

unsigned BoundPort(int fd) {
    sockaddr_storage addr{};
    socklen_t len = sizeof(addr);
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) return 0;
    if (addr.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in *>(&addr)->sin_port);
    if (addr.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<sockaddr_in6 *>(&addr)->sin6_port);
    return 0;
}

namespace {
// Binds the RTP socket on port (0: ephemeral) and RTCP on the port above.
bool TryPair(const std::string &address, unsigned port, int *rtp_fd, int *rtcp_fd) {
    UdpEndpoint rtp;
    if (!ResolveEndpoint(address, port, &rtp)) return false;
    const int fd = BindUdp(rtp);
    if (fd < 0) return false;
    const unsigned bound = BoundPort(fd);
    UdpEndpoint rtcp;
    int cfd = -1;
    if (bound % 2 == 0 && bound < 65535 && ResolveEndpoint(address, bound + 1, &rtcp))
        cfd = BindUdp(rtcp);
    if (cfd < 0) {
        close(fd);
        return false;
    }
    *rtp_fd = fd;
    *rtcp_fd = cfd;
    return true;
}
}  // namespace

bool BindRtpPair(const std::string &address, unsigned port_min, unsigned port_max, int *rtp_fd,
                 int *rtcp_fd, unsigned *rtp_port, std::string *error) {
    UdpEndpoint probe;
    if (!ResolveEndpoint(address, 0, &probe)) {
        *error = "RTP address " + address + " is not a numeric address";
        return false;
    }
    if (port_min == 0 && port_max == 0) {
        for (int i = 0; i < kEphemeralTries; ++i)
            if (TryPair(address, 0, rtp_fd, rtcp_fd)) {
                *rtp_port = BoundPort(*rtp_fd);
                return true;
            }
        *error = "no even RTP port with a free RTCP port above it on " + address;
        return false;
    }
    const unsigned first = (port_min + 1) & ~1u;
    if (port_max > 65535 || first == 0 || first + 1 > port_max) {
        *error = "RTP port range " + std::to_string(port_min) + "-" + std::to_string(port_max) +
                 " holds no even port pair";
        return false;
    }
    const unsigned pairs = (port_max - first + 1) / 2;
    const unsigned start = next_port_hint.fetch_add(1) % pairs;
    for (unsigned i = 0; i < pairs; ++i) {
        const unsigned port = first + 2 * ((start + i) % pairs);
        if (TryPair(address, port, rtp_fd, rtcp_fd)) {
            *rtp_port = port;
            return true;
        }
    }
    *error = "every RTP port pair in " + std::to_string(port_min) + "-" + std::to_string(port_max) +
             " on " + address + " is taken";
    return false;
}

}  // namespace vantor
