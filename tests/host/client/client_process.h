// vantor-client run as a child process for a test, its standard output and
// error collected, so a test can wait for a line (and signal the client then)
// or for the exit.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace KoralTest {

class ClientProcess {
  public:
    // Starts the built vantor-client with args; false with a reason.
    bool Start(const std::vector<std::string> &args, std::string *error);
    ~ClientProcess();

    // Waits until the standard output holds text; false after timeout_ms or
    // when the client exited first.
    bool WaitOutput(const std::string &text, long timeout_ms);
    void Signal(int signal);
    // Waits for the exit (SIGKILL after timeout_ms, which gives -1): the exit
    // status, 128 + signal when killed by one.
    int Wait(long timeout_ms);

    const std::string &out() const { return out_; }
    const std::string &err() const { return err_; }

  private:
    // Reads what the pipes hold, waiting up to ms; false once both closed.
    bool Pump(long ms);

    pid_t pid_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    std::string out_;
    std::string err_;
};

struct ClientRun {
    int status = -1;
    std::string out;
    std::string err;
};
// Runs vantor-client to its end (two minutes at most).
ClientRun RunClient(const std::vector<std::string> &args);

}  // namespace KoralTest
