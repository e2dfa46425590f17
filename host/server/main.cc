// vantor-server: serves the recognizer plugin to MRCPv2 clients over SIP,
// MRCPv2/TCP and RTP, loading it as vantor-host does.
#include <apr_file_info.h>
#include <apr_general.h>
#include <signal.h>
#include <sofia-sip/su.h>
#include <sofia-sip/su_wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <mutex>

#include "apt_log.h"
#include "engine_host.h"
#include "host_layout.h"
#include "hosted_engine.h"
#include "media_clock.h"
#include "options.h"
#include "plugin_module.h"
#include "server.h"
#include "server_config.h"

namespace {

using vantor::Abandon;
using vantor::Fail;
using vantor::kExitFailure;
using vantor::kExitUsage;

bool IsFile(const std::string &path) { return access(path.c_str(), R_OK) == 0; }

// A priority name (EMERGENCY ... DEBUG, any case) or digit 0-7.
bool ValidPriority(const std::string &text) {
    static const char *const kNames[] = {"EMERGENCY", "ALERT",  "CRITICAL", "ERROR",
                                         "WARNING",   "NOTICE", "INFO",     "DEBUG"};
    if (text.size() == 1 && text[0] >= '0' && text[0] <= '7') return true;
    std::string upper;
    for (char c : text) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const char *name : kNames)
        if (upper == name) return true;
    return false;
}

int Serve(const vantor::ServerConfig &config, apr_pool_t *pool) {
    apt_dir_layout_t *layout = vantor::MakeHostLayout(config.root, "", pool);
    std::string plugin_path = config.plugin.empty() ? vantor::DefaultPluginPath() : config.plugin;
    // The plugin's threads reach the server through server_ref while it
    // exists: the mutex keeps it from going while one of them is inside.
    std::mutex server_mutex;
    vantor::Server *server_ref = nullptr;
    vantor::EngineHostSettings settings;
    settings.max_channels = config.max_channels;
    settings.dir_layout = layout;
    settings.on_answer = [&server_mutex, &server_ref](vantor::HostChannel *channel) {
        std::lock_guard<std::mutex> lock(server_mutex);
        if (server_ref) server_ref->PostChannelAnswer(channel);
    };
    vantor::HostedEngine engine;
    int code = 0;
    if (!engine.Open(
            plugin_path, 1.0, settings,
            [&server_mutex, &server_ref](const vantor::MessageRecord &record) {
                std::lock_guard<std::mutex> lock(server_mutex);
                if (server_ref) server_ref->PostPluginMessage(record);
            },
            pool, &code))
        return code;
    std::string error;
    su_root_t *root = su_root_create(nullptr);
    if (!root) {
        code = Fail("cannot create the SIP loop", kExitFailure);
    } else {
        {
            vantor::Server server(root, config, &engine.host());
            {
                std::lock_guard<std::mutex> lock(server_mutex);
                server_ref = &server;
            }
            if (!server.Start(&error)) {
                code = Fail(error, kExitFailure);
            } else {
                printf("vantor-server ready sip=%s:%u mrcp=%s:%u\n", config.sip_address.c_str(),
                       server.sip_port(), config.mrcp_address.c_str(), server.mrcp_port());
                fflush(stdout);
                apt_log(nullptr, APT_LOG_MARK, APT_PRIO_NOTICE, "Server Ready");
                su_root_run(root);
            }
            server.Finish();
            {
                std::lock_guard<std::mutex> lock(server_mutex);
                server_ref = nullptr;
            }
        }
        su_root_destroy(root);
    }
    engine.RequireChannelsClosed("closed");
    code = engine.Close(code);
    apt_log(nullptr, APT_LOG_MARK, APT_PRIO_NOTICE, "Server Stopped");
    return code;
}

}  // namespace

int main(int argc, char **argv) {
    vantor::SetProgramName("vantor-server");
    vantor::ServerOptions o;
    std::string error;
    if (!vantor::ParseServerOptions(argc, argv, &o, &error)) {
        fprintf(stderr, "vantor-server: %s\n\n%s", error.c_str(), vantor::ServerUsage().c_str());
        return kExitUsage;
    }
    if (o.help) {
        fputs(vantor::ServerUsage().c_str(), stdout);
        return 0;
    }
    // Signals are taken by the loop (signalfd): blocked in every thread from here on.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    apr_initialize();
    std::string root = o.root.empty() ? vantor::DefaultRootDir() : o.root;
    std::string conf = o.conf;
    if (conf.empty()) {
        conf = root + "/conf/vantor-server.xml";
        if (!IsFile(conf)) conf = vantor::SourceConfDir() + "/vantor-server.xml";
    }
    vantor::ServerConfig config;
    std::vector<std::string> warnings;
    if (!vantor::LoadServerConfig(conf, &config, &warnings, &error)) {
        fprintf(stderr, "vantor-server: %s\n", error.c_str());
        apr_terminate();
        return kExitUsage;
    }
    // The command line wins over the document.
    if (!o.root.empty() || config.root.empty()) config.root = root;
    if (!o.log_file.empty()) config.log_file = o.log_file;
    if (!o.log_priority.empty()) config.log_priority = o.log_priority;
    if (!ValidPriority(config.log_priority)) {
        warnings.push_back("Bad value \"" + config.log_priority + "\" of log priority: using INFO");
        config.log_priority = "INFO";
    }

    apr_pool_t *pool = nullptr;
    apr_pool_create(&pool, nullptr);
    apt_log_instance_create(apt_log_priority_translate(config.log_priority.c_str()), pool);
    if (!config.log_file.empty() && !apt_log_file_open(config.log_file.c_str())) {
        fprintf(stderr, "vantor-server: cannot open log file %s\n", config.log_file.c_str());
        return kExitUsage;
    }
    apt_log(nullptr, APT_LOG_MARK, APT_PRIO_NOTICE, "Vantor Server %s, configuration %s",
            vantor::HostVersion(), conf.c_str());
    for (const std::string &warning : warnings)
        apt_log(nullptr, APT_LOG_MARK, APT_PRIO_WARNING, "%s", warning.c_str());
    su_init();
    int code = Serve(config, pool);
    su_deinit();
    apt_log_instance_destroy();
    apr_pool_destroy(pool);
    apr_terminate();
    return code;
}
