// The plugin's engine hosted as a server hosts it, for the commands that run
// one: the module loaded, its engine created, the media clock started and the
// engine opened through an engine host; at the end the engine closed, the
// clock stopped and the plugin's protocol faults counted. Failures print with
// the command's name and go to the host log.
#pragma once

#include <apr_pools.h>

#include <memory>
#include <string>

#include "engine_host.h"
#include "media_clock.h"
#include "plugin_module.h"

namespace vantor {

const int kExitFailure = 1;
const int kExitUsage = 2;

// The name failures are printed with ("vantor-host", "vantor-server").
void SetProgramName(const char *name);
// Prints "NAME: message" to stderr, logs it and returns code.
int Fail(const std::string &message, int code);
// Fails and leaves the process at once, without unwinding: for when the plugin
// may still run threads that use the host.
[[noreturn]] void Abandon(const std::string &message);

class HostedEngine {
  public:
    HostedEngine() = default;
    ~HostedEngine();
    HostedEngine(const HostedEngine &) = delete;
    HostedEngine &operator=(const HostedEngine &) = delete;

    // Loads the module at plugin_path, creates its engine in a pool under
    // pool, starts a media clock of the given speed and opens the engine
    // through a host with these settings, whose plugin messages go to
    // on_message. False after printing why (the exit status in *code).
    bool Open(const std::string &plugin_path, double speed, const EngineHostSettings &settings,
              EngineHost::MessageHandler on_message, apr_pool_t *pool, int *code);
    // Abandons the process, naming the channel, when a channel is still open:
    // the engine cannot be closed under it. what: "closed", "answered".
    void RequireChannelsClosed(const char *what);
    // Closes the engine (abandoning the process when it does not close) and
    // stops the clock. Returns code, or a failure when the plugin broke the
    // protocol.
    int Close(int code);

    EngineHost &host() { return *host_; }
    MediaClock &clock() { return *clock_; }

  private:
    PluginModule module_;
    std::unique_ptr<MediaClock> clock_;
    std::unique_ptr<EngineHost> host_;
};

}  // namespace vantor
