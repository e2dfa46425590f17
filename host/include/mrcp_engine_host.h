/* Host side of the engine interface: what a server sets up around a plugin's
 * channels. Plugins do not need this header. */
#pragma once

#include "mrcp_engine.h"

APT_BEGIN_EXTERN_C

/* Settings a channel gets at its creation, so that they hold from the moment the
 * plugin has the channel in hand (it may log the id inside create_channel). */
typedef struct mrcp_engine_channel_settings_t {
    const char *id; /* text id (copied) */
    mrcp_version_e mrcp_version;
    const mrcp_engine_channel_event_vtable_t *event_vtable;
    void *event_obj;
} mrcp_engine_channel_settings_t;

/* Applies settings to every channel mrcp_engine_channel_create makes on the calling
 * thread until cleared with NULL. The settings are copied. */
APT_DECLARE(void) mrcp_engine_channel_settings_set(const mrcp_engine_channel_settings_t *settings);

/* Chooses the codec of the channel's sink stream: 16-bit linear PCM ("LPCM" or
 * "L16" in the stream's capabilities) at sampling_rate, mono. FALSE when the
 * channel has no sink stream with a write_frame slot or its capabilities do not
 * accept that rate. */
APT_DECLARE(apt_bool_t)
mrcp_engine_sink_stream_codec_negotiate(mrcp_engine_channel_t *channel, apr_uint16_t sampling_rate);

APT_END_EXTERN_C
