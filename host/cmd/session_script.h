// Session scripts: one command per line, "#" comments. See the README section
// "Running the host" for the language.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vantor {

struct ScriptCommand {
    enum class Kind {
        kChannel,
        kSend,
        kAudio,
        kSilence,
        kDtmf,
        kWait,
        kNone,
        kDrain,
        kSleep,
        kClose
    };

    Kind kind = Kind::kSleep;
    int line = 0;         // line of the command in the script
    std::string channel;  // every command but sleep

    // channel
    unsigned rate = 8000;
    int version = 2;
    // send
    std::string method;
    uint32_t request_id = 0;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;  // body lines, each ended by CR LF
    bool has_body = false;
    // audio: the path, relative ones taken from the script's directory
    std::string file;
    // silence, sleep
    unsigned ms = 0;
    // dtmf
    std::string digits;
    unsigned on_ms = 100;
    unsigned off_ms = 100;
    // wait, none, drain: WHAT is an event name, or "response" and a request id
    bool response = false;
    std::string event;
    long timeout_ms = 10000;
    int status = -1;    // wait: required status code, -1 any
    std::string state;  // wait: required request state, empty any
    int cause = -1;     // wait: required Completion-Cause, -1 any
};

// Parses a whole script; false with "line N: reason" in *error.
bool ParseScript(const std::string &text, const std::string &base_dir,
                 std::vector<ScriptCommand> *commands, std::string *error);

// One line describing a command, for logs and errors ("line 12: wait a RECOGNITION-COMPLETE").
std::string DescribeCommand(const ScriptCommand &command);

}  // namespace vantor
