#include "server_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <vector>

#include "KoralTest/Process.h"
#include "KoralTest/TestPaths.h"

namespace KoralTest {

std::string ServerPath() {
    const char *path = getenv("VANTOR_SERVER");
    return path ? path : KoralTest::BinaryDir() + "/host/server/vantor-server";
}

std::string PluginPath() {
    const char *path = getenv("VANTOR_PLUGIN");
    return path ? path : KoralTest::BinaryDir() + "/plugins/koralrx/libkoralrx.so";
}

std::string FakePluginPath() {
    const char *path = getenv("VANTOR_FAKE_PLUGIN");
    return path ? path : KoralTest::BinaryDir() + "/tests/host/libvantor_fake_plugin.so";
}

std::unique_ptr<ServerProcess> ServerProcess::Start(const ServerSetup &setup, std::string *error) {
    std::unique_ptr<ServerProcess> server(new ServerProcess());
    const std::string root = server->dir_.Path();
    if (root.empty()) {
        *error = "no temporary folder";
        return nullptr;
    }
    for (const char *sub : {"/conf", "/data", "/log", "/var"})
        if (mkdir((root + sub).c_str(), 0700) != 0) {
            *error = "cannot make " + root + sub;
            return nullptr;
        }
    std::string key;
    if (!KoralTest::ReadTextFile(setup.key_file, key) ||
        !KoralTest::WriteTextFile(root + "/data/koralrx-key.json", key)) {
        *error = "cannot copy the key file " + setup.key_file;
        return nullptr;
    }
    std::string plugin_conf;
    KoralTest::ReadTextFile(KoralTest::SourceDir() + "/conf/koralrx.xml", plugin_conf);
    const std::string empty_ca = "tls-ca-file=\"\"";
    size_t at = plugin_conf.find(empty_ca);
    if (at == std::string::npos) {
        *error = "conf/koralrx.xml has no tls-ca-file=\"\"";
        return nullptr;
    }
    plugin_conf.replace(at, empty_ca.size(), "tls-ca-file=\"" + setup.ca_file + "\"");
    const std::string conf =
        "<vantor-server>\n"
        "  <sip address=\"127.0.0.1\" port=\"0\" transports=\"udp,tcp\"/>\n"
        "  <mrcp address=\"127.0.0.1\" port=\"0\"/>\n"
        "  <rtp address=\"127.0.0.1\" port-min=\"30000\" port-max=\"39999\"/>\n"
        "  <codecs>" +
        setup.codecs +
        "</codecs>\n"
        "  <sessions max=\"" +
        std::to_string(setup.max_sessions) + "\" max-channels=\"" +
        std::to_string(setup.max_channels) +
        "\" retry-after=\"7\"/>\n"
        "  <plugin path=\"" +
        (setup.plugin.empty() ? PluginPath() : setup.plugin) + "\"/>\n" + setup.extra_xml +
        "</vantor-server>\n";
    if (!KoralTest::WriteTextFile(root + "/conf/koralrx.xml", plugin_conf) ||
        !KoralTest::WriteTextFile(root + "/conf/vantor-server.xml", conf)) {
        *error = "cannot write the configuration";
        return nullptr;
    }
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        *error = std::string("pipe: ") + strerror(errno);
        return nullptr;
    }
    const std::string log = server->LogPath();
    // The child's environment is made before fork: only exec runs after it.
    const std::string program = ServerPath();
    const std::string mode = "FAKE_PLUGIN_MODE=" + setup.fake_mode;
    std::vector<char *> env;
    for (char **e = environ; *e; ++e)
        if (strncmp(*e, "FAKE_PLUGIN_MODE=", 17) != 0) env.push_back(*e);
    if (!setup.fake_mode.empty()) env.push_back(const_cast<char *>(mode.c_str()));
    env.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        KoralTest::CloseInheritedDescriptors();
        execle(program.c_str(), program.c_str(), "--root", root.c_str(), "--log-file", log.c_str(),
               "--log-priority", "DEBUG", static_cast<char *>(nullptr), env.data());
        _exit(127);
    }
    close(out[1]);
    if (pid < 0) {
        close(out[0]);
        *error = std::string("fork: ") + strerror(errno);
        return nullptr;
    }
    server->pid_ = pid;
    server->out_fd_ = out[0];
    // The ready line, or the end of the output when the server failed.
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (text.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, 1000) <= 0) continue;
        char buffer[512];
        ssize_t n = read(out[0], buffer, sizeof(buffer));
        if (n <= 0) break;
        text.append(buffer, static_cast<size_t>(n));
    }
    unsigned sip = 0, mrcp = 0;
    if (sscanf(text.c_str(), "vantor-server ready sip=127.0.0.1:%u mrcp=127.0.0.1:%u", &sip,
               &mrcp) != 2) {
        *error = "no ready line: \"" + text + "\"; log: " + server->Log().substr(0, 4000);
        return nullptr;
    }
    server->sip_port_ = sip;
    server->mrcp_port_ = mrcp;
    return server;
}

void ServerProcess::StopAfterTest(bool failed) {
    Stop();
    if (!failed) return;
    std::string log = Log();
    if (log.size() > 12000) log = log.substr(log.size() - 12000);
    std::cerr << "== server log (end)\n" << log;
}

std::string ServerProcess::Log() const {
    std::string text;
    KoralTest::ReadTextFile(LogPath(), text);
    return text;
}

int ServerProcess::Stop() {
    if (stopped_ || pid_ < 0) return status_;
    stopped_ = true;
    kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 200; ++i) {
        pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return status_;
        }
        if (done < 0 && errno != EINTR) return status_;
        // Polls the child's exit: waitpid has no timeout of its own.
        usleep(100 * 1000);
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
    status_ = -1;
    return status_;
}

ServerProcess::~ServerProcess() {
    Stop();
    if (out_fd_ >= 0) close(out_fd_);
}

}  // namespace KoralTest
