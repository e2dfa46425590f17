// vantor-host: loads a recognizer plugin module as an MRCP server does and runs
// sessions against it.
#include <apr_file_info.h>
#include <apr_general.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>

#include "apt_dir_layout.h"
#include "apt_log.h"
#include "engine_host.h"
#include "host_layout.h"
#include "hosted_engine.h"
#include "media_clock.h"
#include "message_record.h"
#include "options.h"
#include "plugin_module.h"
#include "recognize_command.h"
#include "session_runner.h"
#include "session_script.h"

namespace {

using vantor::Abandon;
using vantor::Fail;
using vantor::kExitFailure;
using vantor::kExitUsage;
using vantor::Options;

bool ReadScript(const Options &o, std::vector<vantor::ScriptCommand> *commands,
                std::string *error) {
    std::stringstream text;
    std::string base_dir;
    if (o.script == "-") {
        text << std::cin.rdbuf();
    } else {
        std::ifstream in(o.script, std::ios::binary);
        if (!in) {
            *error = "cannot read script " + o.script;
            return false;
        }
        text << in.rdbuf();
        size_t slash = o.script.rfind('/');
        base_dir = slash == std::string::npos ? "." : o.script.substr(0, slash);
    }
    if (!vantor::ParseScript(text.str(), base_dir, commands, error)) {
        *error = o.script + ": " + *error;
        return false;
    }
    return true;
}

int RunHost(const Options &o, apr_pool_t *pool) {
    std::vector<vantor::ScriptCommand> commands;
    std::string error;
    if (o.mode == Options::Mode::kRun && !ReadScript(o, &commands, &error))
        return Fail(error, kExitUsage);
    vantor::WavAudio audio;
    if (o.mode == Options::Mode::kRecognize && !vantor::CheckRecognition(o, &audio, &error))
        return Fail(error, kExitUsage);

    apt_dir_layout_t *layout = vantor::MakeHostLayout(o.root, o.conf, pool);
    std::string plugin_path = o.plugin.empty() ? vantor::DefaultPluginPath() : o.plugin;
    std::mutex print_mutex;
    auto print = [&o, &print_mutex](const vantor::MessageRecord &record) {
        std::string out =
            o.json ? vantor::FormatMessageJson(record) + "\n" : vantor::FormatMessageText(record);
        std::lock_guard<std::mutex> lock(print_mutex);
        fwrite(out.data(), 1, out.size(), stdout);
        fflush(stdout);
    };
    vantor::EngineHostSettings settings;
    settings.answer_timeout_ms = o.timeout_ms;
    settings.max_channels = o.max_channels;
    settings.dir_layout = layout;
    // recognize prints only its result unless asked for the whole exchange.
    bool print_all = o.mode != Options::Mode::kRecognize || o.exchange;
    vantor::HostedEngine engine;
    int code = 0;
    if (!engine.Open(
            plugin_path, o.speed, settings,
            [&](const vantor::MessageRecord &record) {
                if (print_all) print(record);
            },
            pool, &code))
        return code;
    vantor::EngineHost &host = engine.host();

    if (o.mode == Options::Mode::kRecognize) {
        code = vantor::RunRecognition(o, audio, &host, print);
        engine.RequireChannelsClosed("closed");
    } else if (o.mode == Options::Mode::kRun) {
        vantor::SessionRunner runner(&host, &engine.clock());
        if (!runner.Run(commands, &error)) {
            Fail(error, kExitFailure);
            code = kExitFailure;
            // Tidy up what the script left: channels that answered can be closed.
            for (const std::string &name : host.OpenChannelNames()) {
                vantor::HostChannel *channel = host.FindChannel(name);
                if (channel->state() != vantor::HostChannel::State::kOpen) continue;
                std::string why;
                if (!host.CloseChannel(channel, &why)) Abandon("channel " + name + ": " + why);
            }
            engine.RequireChannelsClosed("answered");
        }
    }
    return engine.Close(code);
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
    std::string error;
    if (!vantor::ParseOptions(argc, argv, &o, &error)) {
        fprintf(stderr, "vantor-host: %s\n\n%s", error.c_str(), vantor::Usage().c_str());
        return kExitUsage;
    }
    if (o.help) {
        fputs(vantor::Usage().c_str(), stdout);
        return 0;
    }
    if (o.version) {
        printf("vantor-host %s (plugin interface %d.%d.%d)\n", vantor::HostVersion(),
               PLUGIN_MAJOR_VERSION, PLUGIN_MINOR_VERSION, PLUGIN_PATCH_VERSION);
        return 0;
    }
    if (o.mode == Options::Mode::kCheck) {
        std::vector<vantor::ScriptCommand> commands;
        if (!ReadScript(o, &commands, &error)) return Fail(error, kExitUsage);
        printf("%s: %zu commands\n", o.script.c_str(), commands.size());
        return 0;
    }

    apr_initialize();
    apr_pool_t *pool = nullptr;
    apr_pool_create(&pool, nullptr);
    apt_log_instance_create(apt_log_priority_translate(o.log_priority.c_str()), pool);
    if (!o.log_file.empty() && !apt_log_file_open(o.log_file.c_str())) {
        fprintf(stderr, "vantor-host: cannot open log file %s\n", o.log_file.c_str());
        return kExitUsage;
    }
    apt_log(nullptr, APT_LOG_MARK, APT_PRIO_NOTICE, "Vantor Host %s", vantor::HostVersion());
    int code = RunHost(o, pool);
    apt_log_instance_destroy();
    apr_pool_destroy(pool);
    apr_terminate();
    return code;
}
