// Running helper programs (openssl, flite, sox) without a shell.
#pragma once

#include <string>
#include <vector>

namespace KoralTest {

// Runs argv[0] (looked up in PATH) to completion. True when it exits with
// status 0; otherwise `error` tells what happened, with the program's stderr.
bool RunProgram(const std::vector<std::string>& argv, std::string* error = nullptr);

// True if `name` is an executable on PATH.
bool HaveProgram(const std::string& name);

}  // namespace KoralTest
