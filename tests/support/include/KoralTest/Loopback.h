// Loopback sockets and ports for tests that need a peer, or the lack of one.
#pragma once

namespace KoralTest {

// A socket of `type` (SOCK_STREAM, SOCK_DGRAM) bound to a free loopback
// port, stored in `port`; -1 when that fails.
int LoopbackSocket(int type, int &port);
// A free loopback TCP port (bound and released): nothing listens on it.
int FreePort();

}  // namespace KoralTest
