// Running helper programs (openssl, flite, sox) without a shell.
#pragma once

#include <string>
#include <vector>

namespace KoralTest {

// Runs argv[0] (looked up in PATH) to completion. True when it exits with
// status 0; otherwise `error` tells what happened, with the program's stderr.
bool RunProgram(const std::vector<std::string> &argv, std::string *error = nullptr);

// True if `name` is an executable on PATH.
bool HaveProgram(const std::string &name);

// In a child after fork: closes every descriptor above stderr, so that the
// child does not keep the test's sockets open (a socket the test closes
// must really close).
void CloseInheritedDescriptors();

}  // namespace KoralTest
