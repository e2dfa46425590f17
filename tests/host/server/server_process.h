// vantor-server run as a child process for a test, in a server root of its
// own (conf/, data/, log/, var/) under a temporary folder: started with a
// configuration on port 0, ready once it printed its ready line (which names
// the ports it took), stopped with SIGTERM on Stop or destruction (SIGKILL
// after 20 s, which fails the stop).
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

#include "KoralTest/TempDir.h"

namespace KoralTest {

struct ServerSetup {
    std::string key_file;  // the speech service's key file, copied into data/
    std::string ca_file;   // the CA the plugin trusts
    unsigned max_sessions = 100;
    unsigned max_channels = 200;
    std::string codecs = "PCMU PCMA L16/16000 L16/8000";
    std::string extra_xml;  // appended inside <vantor-server>
    std::string plugin;     // the module served ("": the built plugin)
    std::string fake_mode;  // FAKE_PLUGIN_MODE of the test plugin module
};

class ServerProcess {
  public:
    // Null with a reason (and the server's output) when it did not become ready.
    static std::unique_ptr<ServerProcess> Start(const ServerSetup &setup, std::string *error);
    ~ServerProcess();

    unsigned sip_port() const { return sip_port_; }
    unsigned mrcp_port() const { return mrcp_port_; }
    const std::string &root() const { return dir_.Path(); }
    std::string LogPath() const { return dir_.File("log/server.log"); }
    std::string Log() const;
    // SIGTERM, then waits for the exit: the exit status, 128 + signal when
    // killed by one, -1 when it had to be killed after the wait.
    int Stop();
    // Stops the server; after a failed test, prints the end of its log.
    void StopAfterTest(bool failed);

  private:
    ServerProcess() : dir_("vantor-server-test") {}
    KoralTest::TempDir dir_;
    pid_t pid_ = -1;
    int out_fd_ = -1;
    unsigned sip_port_ = 0;
    unsigned mrcp_port_ = 0;
    bool stopped_ = false;
    int status_ = -1;
};

// The built vantor-server and plugin module.
std::string ServerPath();
std::string PluginPath();
// The host tests' fake plugin module.
std::string FakePluginPath();

}  // namespace KoralTest
