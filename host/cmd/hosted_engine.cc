#include "hosted_engine.h"

#include <unistd.h>

#include <cstdio>

#include "apt_log.h"

namespace vantor {

namespace {
const char *g_program = "vantor-host";
}  // namespace

void SetProgramName(const char *name) { g_program = name; }

int Fail(const std::string &message, int code) {
    fprintf(stderr, "%s: %s\n", g_program, message.c_str());
    apt_log(nullptr, APT_LOG_MARK, APT_PRIO_ERROR, "%s", message.c_str());
    return code;
}

void Abandon(const std::string &message) {
    Fail(message, kExitFailure);
    fflush(stdout);
    fflush(stderr);
    _exit(kExitFailure);
}

HostedEngine::~HostedEngine() {
    if (clock_) clock_->Stop();
}

bool HostedEngine::Open(const std::string &plugin_path, double speed,
                        const EngineHostSettings &settings, EngineHost::MessageHandler on_message,
                        apr_pool_t *pool, int *code) {
    std::string error;
    *code = kExitFailure;
    if (!module_.Load(plugin_path, &error)) {
        Fail(error, kExitFailure);
        return false;
    }
    apr_pool_t *engine_pool = nullptr;
    apr_pool_create(&engine_pool, pool);
    mrcp_engine_t *engine = module_.CreateEngine(engine_pool, &error);
    if (!engine) {
        module_.Abandon();
        Fail(error, kExitFailure);
        return false;
    }
    clock_ = std::make_unique<MediaClock>(speed);
    if (!clock_->Start(&error)) Abandon(error);
    host_ = std::make_unique<EngineHost>(settings, clock_.get(), std::move(on_message));
    if (!host_->OpenEngine(engine, &error)) {
        // An engine that refused its open can be destroyed; a silent one may still be starting.
        if (host_->engine_open_pending()) Abandon(error);
        host_->DestroyEngine();
        clock_->Stop();
        Fail(error, kExitFailure);
        return false;
    }
    *code = 0;
    return true;
}

void HostedEngine::RequireChannelsClosed(const char *what) {
    for (const std::string &name : host_->OpenChannelNames())
        Abandon("channel " + name + " was never " + what + "; leaving without closing the engine");
}

int HostedEngine::Close(int code) {
    std::string error;
    if (!host_->CloseEngine(&error)) Abandon(error);
    host_->DestroyEngine();
    clock_->Stop();
    if (host_->faults() > 0) {
        Fail(std::to_string(host_->faults()) + " plugin fault(s); see the host log", kExitFailure);
        code = kExitFailure;
    }
    return code;
}

}  // namespace vantor
