// The plugin's host log source.
#pragma once

#include "apt_log.h"

// Log source of every plugin line; the host's default source until the host
// calls mrcp_plugin_log_source_set, then the source named "KORAL-PLUGIN".
extern "C" APT_DECLARE_DATA apt_log_source_t *KORAL_PLUGIN;

// Tag that ends every channel log line: " <channel-id@koral>".
#define KORAL_CHANNEL_TAG "koral"
