/* Entry points of a plugin module, as the host looks them up with dlsym. */
#pragma once

#include "apt_log.h"
#include "mrcp_engine.h"

APT_BEGIN_EXTERN_C

/* The host plugin interface version this header describes. */
#define PLUGIN_MAJOR_VERSION 1
#define PLUGIN_MINOR_VERSION 6
#define PLUGIN_PATCH_VERSION 0

/* Exported record "mrcp_plugin_version": the version the module was built for. The
 * host loads a module whose major equals its own and whose minor is not above it. */
typedef struct mrcp_plugin_version_t {
    apr_uint32_t major;
    apr_uint32_t minor;
    apr_uint32_t patch;
} mrcp_plugin_version_t;

/* Exported "mrcp_plugin_create": makes the module's engine (NULL on failure). */
typedef mrcp_engine_t *(*mrcp_plugin_creator_f)(apr_pool_t *pool);
/* Exported "mrcp_plugin_logger_set": hands the host's logger to the module. */
typedef apt_bool_t (*mrcp_plugin_logger_set_f)(apt_logger_t *logger);
/* Exported "mrcp_plugin_log_source_set": hands the host's default log source to the module. */
typedef apt_bool_t (*mrcp_plugin_log_source_set_f)(apt_log_source_t *source);

#define MRCP_PLUGIN_VERSION_SYM_NAME "mrcp_plugin_version"
#define MRCP_PLUGIN_ENGINE_SYM_NAME "mrcp_plugin_create"
#define MRCP_PLUGIN_LOGGER_SYM_NAME "mrcp_plugin_logger_set"
#define MRCP_PLUGIN_LOG_SOURCE_SYM_NAME "mrcp_plugin_log_source_set"

/* Declares an exported entry point of a module. */
#ifdef __cplusplus
#define MRCP_PLUGIN_DECLARE(type) extern "C" __attribute__((visibility("default"))) type
#else
#define MRCP_PLUGIN_DECLARE(type) __attribute__((visibility("default"))) type
#endif

/* Defines the exported version record with this header's version. */
#ifdef __cplusplus
#define MRCP_PLUGIN_VERSION_DECLARE                                                      \
    extern "C" {                                                                         \
    __attribute__((visibility("default"))) mrcp_plugin_version_t mrcp_plugin_version = { \
        PLUGIN_MAJOR_VERSION, PLUGIN_MINOR_VERSION, PLUGIN_PATCH_VERSION};               \
    }
#else
#define MRCP_PLUGIN_VERSION_DECLARE            \
    MRCP_PLUGIN_DECLARE(mrcp_plugin_version_t) \
    mrcp_plugin_version = {PLUGIN_MAJOR_VERSION, PLUGIN_MINOR_VERSION, PLUGIN_PATCH_VERSION};
#endif

APT_END_EXTERN_C
