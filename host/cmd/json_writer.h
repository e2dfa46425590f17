// Minimal JSON text helpers for the host's line-per-message output.
#pragma once

#include <string>

namespace vantor {

// text as a JSON string literal, quotes included. Bytes that are not valid UTF-8
// become U+FFFD, so the output is always valid JSON.
std::string JsonString(const std::string &text);

}  // namespace vantor
