#include "plugin_module.h"

#include <dlfcn.h>

#include "apt_log.h"

namespace vantor {

PluginModule::~PluginModule() { Unload(); }

bool PluginModule::Load(const std::string &path, std::string *error) {
    Unload();
    path_ = path;
    dlerror();
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
        const char *why = dlerror();
        *error = "cannot load plugin " + path + ": " + (why ? why : "unknown error");
        return false;
    }
    auto *version =
        static_cast<const mrcp_plugin_version_t *>(dlsym(handle_, MRCP_PLUGIN_VERSION_SYM_NAME));
    if (!version) {
        *error = "plugin " + path + " does not export " MRCP_PLUGIN_VERSION_SYM_NAME;
        Unload();
        return false;
    }
    if (version->major != PLUGIN_MAJOR_VERSION || version->minor > PLUGIN_MINOR_VERSION) {
        *error = "plugin " + path + " was built for host plugin interface " +
                 std::to_string(version->major) + "." + std::to_string(version->minor) + "." +
                 std::to_string(version->patch) + ", this host provides " +
                 std::to_string(PLUGIN_MAJOR_VERSION) + "." + std::to_string(PLUGIN_MINOR_VERSION) +
                 "." + std::to_string(PLUGIN_PATCH_VERSION);
        Unload();
        return false;
    }
    create_ = reinterpret_cast<mrcp_plugin_creator_f>(dlsym(handle_, MRCP_PLUGIN_ENGINE_SYM_NAME));
    logger_set_ =
        reinterpret_cast<mrcp_plugin_logger_set_f>(dlsym(handle_, MRCP_PLUGIN_LOGGER_SYM_NAME));
    log_source_set_ = reinterpret_cast<mrcp_plugin_log_source_set_f>(
        dlsym(handle_, MRCP_PLUGIN_LOG_SOURCE_SYM_NAME));
    const char *missing = !create_           ? MRCP_PLUGIN_ENGINE_SYM_NAME
                          : !logger_set_     ? MRCP_PLUGIN_LOGGER_SYM_NAME
                          : !log_source_set_ ? MRCP_PLUGIN_LOG_SOURCE_SYM_NAME
                                             : nullptr;
    if (missing) {
        *error = "plugin " + path + " does not export " + missing;
        Unload();
        return false;
    }
    apt_log(nullptr, APT_LOG_MARK, APT_PRIO_INFO, "Loaded Plugin %s [%u.%u.%u]", path.c_str(),
            version->major, version->minor, version->patch);
    return true;
}

mrcp_engine_t *PluginModule::CreateEngine(apr_pool_t *pool, std::string *error) {
    if (!handle_) {
        *error = "no plugin loaded";
        return nullptr;
    }
    if (!logger_set_(apt_log_instance_get()))
        apt_log(nullptr, APT_LOG_MARK, APT_PRIO_WARNING, "%s returned false",
                MRCP_PLUGIN_LOGGER_SYM_NAME);
    if (!log_source_set_(apt_def_log_source_get()))
        apt_log(nullptr, APT_LOG_MARK, APT_PRIO_WARNING, "%s returned false",
                MRCP_PLUGIN_LOG_SOURCE_SYM_NAME);
    mrcp_engine_t *engine = create_(pool);
    if (!engine) {
        *error = "plugin " + path_ + ": " MRCP_PLUGIN_ENGINE_SYM_NAME " returned no engine";
        return nullptr;
    }
    if (!engine->method_vtable || !engine->method_vtable->open || !engine->method_vtable->close ||
        !engine->method_vtable->create_channel) {
        *error = "plugin " + path_ + ": engine method table is incomplete";
        return nullptr;
    }
    if (engine->resource_id != MRCP_RECOGNIZER_RESOURCE) {
        *error = "plugin " + path_ + ": engine is not a recognizer (resource id " +
                 std::to_string(engine->resource_id) + ")";
        return nullptr;
    }
    return engine;
}

void PluginModule::Unload() {
    if (!handle_) return;
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // Sanitizers report leaks and races of the module by its symbols: keep it mapped.
    dlclose(handle_);
#endif
    handle_ = nullptr;
    create_ = nullptr;
    logger_set_ = nullptr;
    log_source_set_ = nullptr;
}

}  // namespace vantor
