// Runs the plugin the way a server does: the vantor-host command loads the
// module built in this tree, with a configuration made for each test.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "KoralTest/TempDir.h"

namespace KoralTest {

// The module and the host program of this build.
inline std::string ModulePath() { return KORAL_TEST_PLUGIN_MODULE; }
inline std::string HostPath() { return KORAL_TEST_VANTOR_HOST; }

inline std::string ReadFile(const std::string &path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline bool Contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

struct HostRun {
    int status = -1;
    std::string out;
    std::string log;
};

// A key file whose endpoints are a closed loopback port: tests never resolve
// a name or reach beyond this machine.
inline const char *const kLoopbackKey =
    R"({"auth-key":"0123456789abcdef",)"
    R"("auth-endpoint":"https://127.0.0.1:1/sts/v1.0/issueToken",)"
    R"("service-endpoint":"https://127.0.0.1:1/speech/recognition/interactive/cognitiveservices/v1"})";

// A server root (conf/, data/, var/, log/) in a temporary folder.
class PluginFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = m_Root.Path();
        ASSERT_FALSE(root_.empty());
        for (const char *sub : {"/conf", "/data", "/var", "/log"})
            ASSERT_EQ(system(("mkdir -p " + root_ + sub).c_str()), 0);
        WriteFile("data/key.txt", kLoopbackKey);
    }

    void WriteFile(const std::string &rel, const std::string &text) {
        std::ofstream(root_ + "/" + rel) << text;
    }
    // A configuration whose key file is data/key.txt (kLoopbackKey), plus
    // `body` inside the root.
    void WriteConfig(const std::string &body, const std::string &key_file = "key.txt") {
        WriteFile("conf/koralrx.xml",
                  "<koralrx subscription-key-file=\"" + key_file + "\">" + body + "</koralrx>");
    }
    // Runs a session script through vantor-host; returns its exit status,
    // standard output and the host log.
    HostRun Run(const std::string &session, const std::string &extra_args = "") {
        WriteFile("session.txt", session);
        return RunHost("--speed 0 " + extra_args + " run " + root_ + "/session.txt");
    }
    // Runs vantor-host on this root with the given options and mode.
    HostRun RunHost(const std::string &args) {
        std::string log = root_ + "/log/host.log";
        std::remove(log.c_str());
        std::string cmd = HostPath() + " --root " + root_ + " --plugin " + ModulePath() +
                          " --log-file " + log + " --log-priority DEBUG " + args + " > " + root_ +
                          "/out.txt 2>&1";
        HostRun run;
        int rc = system(cmd.c_str());
        run.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
        run.out = ReadFile(root_ + "/out.txt");
        run.log = ReadFile(log);
        return run;
    }

    TempDir m_Root{"koral-plugin"};
    std::string root_;
};

}  // namespace KoralTest
