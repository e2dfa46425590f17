#include "KoralRxLog.h"

// Null means the host's default source (apt_log treats a null source so) until
// mrcp_plugin_log_source_set assigns the plugin's own.
APT_DECLARE_DATA apt_log_source_t *KORAL_PLUGIN = nullptr;
