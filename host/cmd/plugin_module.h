// A plugin module loaded as a server loads it: dlopen, version check, logger and
// log source hand-over, then mrcp_plugin_create.
#pragma once

#include <string>

#include "mrcp_engine_plugin.h"

namespace vantor {

class PluginModule {
  public:
    PluginModule() = default;
    ~PluginModule();
    PluginModule(const PluginModule &) = delete;
    PluginModule &operator=(const PluginModule &) = delete;

    // Opens the module and checks its entry points and version. False with a
    // reason in *error.
    bool Load(const std::string &path, std::string *error);
    // Hands the host's logger and default log source to the module, then asks it
    // for its engine. nullptr with a reason in *error.
    mrcp_engine_t *CreateEngine(apr_pool_t *pool, std::string *error);
    // Closes the module; call only once the engine is destroyed.
    void Unload();
    // Leaves the module mapped at exit (its threads may still run after a failure).
    void Abandon() { handle_ = nullptr; }

  private:
    void *handle_ = nullptr;
    std::string path_;
    mrcp_plugin_creator_f create_ = nullptr;
    mrcp_plugin_logger_set_f logger_set_ = nullptr;
    mrcp_plugin_log_source_set_f log_source_set_ = nullptr;
};

}  // namespace vantor
