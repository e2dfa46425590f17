// Waiting on a test socket until a deadline.
#pragma once

#include <poll.h>

#include <cerrno>
#include <chrono>

namespace KoralTest {

inline std::chrono::steady_clock::time_point DeadlineIn(int timeout_ms) {
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
}

// Waits until `fd` is readable (true) or `deadline` passes (false).
inline bool WaitReadable(int fd, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) > 0) return true;
    }
}

}  // namespace KoralTest
