#include "KoralTest/Loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace KoralTest {

int LoopbackSocket(int type, int &port) {
    const int fd = socket(AF_INET, type, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(sin);
    port = 0;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&sin), sizeof(sin)) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&sin), &len) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    port = ntohs(sin.sin_port);
    return fd;
}

int FreePort() {
    int port = 0;
    const int fd = LoopbackSocket(SOCK_STREAM, port);
    if (fd >= 0) close(fd);
    return port;
}

}  // namespace KoralTest
