#include "client_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "KoralTest/Process.h"

namespace KoralTest {

namespace {
std::string ClientPath() {
    const char *path = getenv("VANTOR_CLIENT");
    return path ? path : "vantor-client";
}
}  // namespace

bool ClientProcess::Start(const std::vector<std::string> &args, std::string *error) {
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        *error = std::string("pipe: ") + strerror(errno);
        return false;
    }
    const std::string program = ClientPath();
    std::vector<std::string> argv_text = {program};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &a : argv_text) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        KoralTest::CloseInheritedDescriptors();
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    out_fd_ = out[0];
    err_fd_ = err[0];
    if (pid_ < 0) {
        *error = std::string("fork: ") + strerror(errno);
        return false;
    }
    return true;
}

ClientProcess::~ClientProcess() {
    if (pid_ > 0) Wait(0);
    if (out_fd_ >= 0) close(out_fd_);
    if (err_fd_ >= 0) close(err_fd_);
}

bool ClientProcess::Pump(long ms) {
    pollfd p[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    if (out_fd_ < 0 && err_fd_ < 0) return false;
    if (poll(p, 2, static_cast<int>(ms)) <= 0) return true;
    for (int i = 0; i < 2; ++i) {
        if (p[i].fd < 0 || !(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        char buffer[4096];
        const ssize_t n = read(p[i].fd, buffer, sizeof(buffer));
        if (n > 0) {
            (i == 0 ? out_ : err_).append(buffer, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            close(p[i].fd);
            (i == 0 ? out_fd_ : err_fd_) = -1;
        }
    }
    return out_fd_ >= 0 || err_fd_ >= 0;
}

bool ClientProcess::WaitOutput(const std::string &text, long timeout_ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (out_.find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= until || !Pump(50)) return false;
    }
    return true;
}

void ClientProcess::Signal(int signal) {
    if (pid_ > 0) kill(pid_, signal);
}

int ClientProcess::Wait(long timeout_ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    // The output is read to its end first: a client blocked on a full pipe
    // would never exit.
    while (std::chrono::steady_clock::now() < until && Pump(50)) {
    }
    int status = 0;
    bool killed = false;
    for (;;) {
        const pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) break;
        if (done < 0 && errno != EINTR) return -1;
        if (std::chrono::steady_clock::now() >= until && !killed) {
            kill(pid_, SIGKILL);
            killed = true;
        }
        if (!Pump(20)) usleep(20000);
    }
    pid_ = -1;
    while (Pump(0)) {
    }
    if (killed) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

ClientRun RunClient(const std::vector<std::string> &args) {
    ClientRun run;
    ClientProcess client;
    if (!client.Start(args, &run.err)) return run;
    run.status = client.Wait(120000);
    run.out = client.out();
    run.err = client.err();
    return run;
}

}  // namespace KoralTest
