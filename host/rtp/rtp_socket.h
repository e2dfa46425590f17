// UDP sockets of the RTP media path: numeric addresses (IPv4 or IPv6), bound,
// non-blocking, closed by their owner.
#pragma once

#include <sys/socket.h>

#include <string>

namespace vantor {

struct UdpEndpoint {
    sockaddr_storage addr{};
    socklen_t len = 0;
};

// A numeric address and port; false when the address is not numeric.
bool ResolveEndpoint(const std::string &address, unsigned port, UdpEndpoint *endpoint);
// Same address and port.
bool SameEndpoint(const sockaddr_storage &a, const UdpEndpoint &b);
// "address:port" for log lines.
std::string EndpointText(const sockaddr_storage &addr);

// A non-blocking UDP socket bound to endpoint; -1 with errno set.
int BindUdp(const UdpEndpoint &endpoint);
// Binds an even RTP port and the RTCP port above it on address, somewhere in
// [port_min, port_max] (both 0: any the system picks). False with a reason.
bool BindRtpPair(const std::string &address, unsigned port_min, unsigned port_max, int *rtp_fd,
                 int *rtcp_fd, unsigned *rtp_port, std::string *error);
// The port a socket is bound to.
unsigned BoundPort(int fd);

}  // namespace vantor
