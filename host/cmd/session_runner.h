// Runs a parsed session script against an open engine, on the calling thread
// (the host's signalling thread).
#pragma once

#include <string>
#include <vector>

#include "engine_host.h"
#include "media_clock.h"
#include "session_script.h"

namespace vantor {

class SessionRunner {
  public:
    SessionRunner(EngineHost *host, MediaClock *clock) : host_(host), clock_(clock) {}

    // Runs the commands in order and closes the channels the script left open.
    // False with a reason in *error at the first command that fails; channels are
    // then left as they are.
    bool Run(const std::vector<ScriptCommand> &commands, std::string *error);

  private:
    bool Execute(const ScriptCommand &command, std::string *error);
    HostChannel *Channel(const ScriptCommand &command, std::string *error);
    bool Wait(const ScriptCommand &command, HostChannel *channel, std::string *error);

    EngineHost *host_;
    MediaClock *clock_;
};

}  // namespace vantor
