// Running helper programs (openssl, flite, sox) without a shell.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace KoralTest {

// Runs argv[0] (looked up in PATH) to completion. True when it exits with
// status 0; otherwise `error` tells what happened, with the program's stderr.
bool RunProgram(const std::vector<std::string> &argv, std::string *error = nullptr);

// How a program run with its output captured ended.
struct ProgramRun {
    int m_Status = -1;  // exit status, 128 + the signal when killed
    bool m_TimedOut = false;
    std::string m_Out, m_Err;
};

// Runs the program at argv[0] with stdout and stderr captured, `env` set in
// its environment (an empty value unsets the name); killed after `timeoutMs`.
ProgramRun RunCapturing(const std::vector<std::string> &argv,
                        const std::vector<std::pair<std::string, std::string>> &env = {},
                        int timeoutMs = 60000);

// In a child after fork: closes every descriptor above stderr, so that the
// child does not keep the test's sockets open (a socket the test closes
// must really close).
void CloseInheritedDescriptors();

// In a child after fork: runs argv[0] (a path, or a name looked up in PATH
// when `search`); exits with 127 when that fails.
[[noreturn]] void ExecProgram(const std::vector<std::string> &argv, bool search = false);

}  // namespace KoralTest
