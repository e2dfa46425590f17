#include "KoralTest/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>

namespace KoralTest {

namespace {

// Runs argv[0] (looked up in PATH when `search`) with stdin on /dev/null and
// stdout and stderr captured; killed after `timeoutMs`.
ProgramRun Capture(const std::vector<std::string> &argv,
                   const std::vector<std::pair<std::string, std::string>> &env, int timeoutMs,
                   bool search) {
    ProgramRun run;
    int out[2], err[2];
    if (argv.empty() || ::pipe(out) != 0) return run;
    if (::pipe(err) != 0) {
        ::close(out[0]);
        ::close(out[1]);
        return run;
    }
    pid_t pid = ::fork();
    if (pid == 0) {
        int devnull = ::open("/dev/null", O_RDONLY);
        if (devnull >= 0) ::dup2(devnull, 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        CloseInheritedDescriptors();
        for (const auto &e : env) {
            if (e.second.empty())
                ::unsetenv(e.first.c_str());
            else
                ::setenv(e.first.c_str(), e.second.c_str(), 1);
        }
        ExecProgram(argv, search);
    }
    ::close(out[1]);
    ::close(err[1]);
    if (pid < 0) {
        ::close(out[0]);
        ::close(err[0]);
        return run;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    struct pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    for (int open = 2; open > 0;) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            run.m_TimedOut = true;
            break;
        }
        if (::poll(fds, 2, 200) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP)) == 0) continue;
            char buf[4096];
            ssize_t n = ::read(fds[i].fd, buf, sizeof(buf));
            if (n <= 0) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            } else {
                (i == 0 ? run.m_Out : run.m_Err).append(buf, static_cast<size_t>(n));
            }
        }
    }
    for (const pollfd &f : fds)
        if (f.fd >= 0) ::close(f.fd);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.m_Status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

}  // namespace

void CloseInheritedDescriptors() {
#ifdef SYS_close_range
    if (::syscall(SYS_close_range, 3u, ~0u, 0u) == 0) return;
#endif
    long max = ::sysconf(_SC_OPEN_MAX);
    if (max < 0 || max > 65536) max = 65536;
    for (int fd = 3; fd < max; ++fd) ::close(fd);
}

void ExecProgram(const std::vector<std::string> &argv, bool search) {
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    if (search)
        ::execvp(args[0], args.data());
    else
        ::execv(args[0], args.data());
    ::_exit(127);
}

bool RunProgram(const std::vector<std::string> &argv, std::string *error) {
    // Generous: certificates, speech and conversions take well under a second.
    ProgramRun run = Capture(argv, {}, 300000, true);
    if (run.m_Status == 0) return true;
    if (error != nullptr) {
        *error = (argv.empty() ? std::string("no program") : argv[0]) +
                 (run.m_TimedOut || run.m_Status < 0 || run.m_Status > 127
                      ? std::string(" was killed")
                      : " exited with status " + std::to_string(run.m_Status)) +
                 (run.m_Err.empty() ? std::string() : ": " + run.m_Err);
    }
    return false;
}

ProgramRun RunCapturing(const std::vector<std::string> &argv,
                        const std::vector<std::pair<std::string, std::string>> &env,
                        int timeoutMs) {
    return Capture(argv, env, timeoutMs, false);
}

}  // namespace KoralTest
