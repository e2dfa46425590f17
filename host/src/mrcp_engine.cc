// Engines, channels and terminations, and the answers sent through their event tables.
#include "mrcp_engine.h"

#include <string>

#include "mrcp_engine_host.h"

namespace {

struct ChannelSettings {
    bool set = false;
    std::string id;
    mrcp_engine_channel_settings_t values{};
};

thread_local ChannelSettings t_settings;

}  // namespace

extern "C" {

APT_DECLARE(void) mrcp_engine_channel_settings_set(const mrcp_engine_channel_settings_t *settings) {
    if (!settings) {
        t_settings = ChannelSettings();
        return;
    }
    t_settings.set = true;
    t_settings.id = settings->id ? settings->id : "";
    t_settings.values = *settings;
}

APT_DECLARE(apt_bool_t)
mrcp_engine_sink_stream_codec_negotiate(mrcp_engine_channel_t *channel,
                                        apr_uint16_t sampling_rate) {
    if (!channel || !channel->termination || !channel->termination->audio_stream) return FALSE;
    mpf_audio_stream_t *stream = channel->termination->audio_stream;
    if (!(stream->direction & STREAM_DIRECTION_SINK) || !stream->vtable ||
        !stream->vtable->write_frame || !stream->capabilities ||
        !stream->capabilities->codecs.attrib_arr)
        return FALSE;
    int rate_bit = mpf_sample_rate_mask_get(sampling_rate);
    if (!(rate_bit & MPF_SAMPLE_RATE_SUPPORTED)) return FALSE;
    const apr_array_header_t *arr = stream->capabilities->codecs.attrib_arr;
    for (int i = 0; i < arr->nelts; ++i) {
        const auto &a = reinterpret_cast<const mpf_codec_attribs_t *>(arr->elts)[i];
        if (!apt_string_iequal(&a.name, "LPCM") && !apt_string_iequal(&a.name, "L16")) continue;
        if (a.bits_per_sample != 0 && a.bits_per_sample != 16) continue;
        if (!(a.sample_rates & rate_bit)) continue;
        auto *d = static_cast<mpf_codec_descriptor_t *>(
            apr_pcalloc(channel->pool, sizeof(mpf_codec_descriptor_t)));
        d->payload_type = 96;
        apt_string_set(&d->name, "LPCM");
        d->sampling_rate = sampling_rate;
        d->channel_count = 1;
        d->enabled = TRUE;
        stream->rx_descriptor = d;
        return TRUE;
    }
    return FALSE;
}

APT_DECLARE(mrcp_engine_t *)
mrcp_engine_create(mrcp_resource_id resource_id, void *obj,
                   const mrcp_engine_method_vtable_t *vtable, apr_pool_t *pool) {
    if (!vtable || !pool || !vtable->open || !vtable->close || !vtable->create_channel)
        return nullptr;
    auto *engine = static_cast<mrcp_engine_t *>(apr_pcalloc(pool, sizeof(mrcp_engine_t)));
    engine->resource_id = resource_id;
    engine->obj = obj;
    engine->method_vtable = vtable;
    engine->pool = pool;
    return engine;
}

APT_DECLARE(mpf_termination_t *)
mrcp_engine_audio_termination_create(void *obj, const mpf_audio_stream_vtable_t *stream_vtable,
                                     mpf_stream_capabilities_t *capabilities, apr_pool_t *pool) {
    mpf_audio_stream_t *stream = mpf_audio_stream_create(obj, stream_vtable, capabilities, pool);
    if (!stream) return nullptr;
    auto *termination =
        static_cast<mpf_termination_t *>(apr_pcalloc(pool, sizeof(mpf_termination_t)));
    termination->obj = obj;
    termination->audio_stream = stream;
    termination->pool = pool;
    stream->termination = termination;
    return termination;
}

APT_DECLARE(mrcp_engine_channel_t *)
mrcp_engine_channel_create(mrcp_engine_t *engine,
                           const mrcp_engine_channel_method_vtable_t *method_vtable, void *obj,
                           mpf_termination_t *termination, apr_pool_t *pool) {
    if (!engine || !method_vtable || !pool || !method_vtable->destroy || !method_vtable->open ||
        !method_vtable->close || !method_vtable->process_request)
        return nullptr;
    auto *channel =
        static_cast<mrcp_engine_channel_t *>(apr_pcalloc(pool, sizeof(mrcp_engine_channel_t)));
    channel->method_vtable = method_vtable;
    channel->obj = obj;
    channel->termination = termination;
    channel->engine = engine;
    channel->mrcp_version = MRCP_VERSION_2;
    channel->pool = pool;
    apt_string_set(&channel->id, "");
    if (t_settings.set) {
        apt_string_assign(&channel->id, t_settings.id.c_str(), pool);
        if (t_settings.values.mrcp_version != MRCP_VERSION_UNKNOWN)
            channel->mrcp_version = t_settings.values.mrcp_version;
        channel->event_vtable = t_settings.values.event_vtable;
        channel->event_obj = t_settings.values.event_obj;
    }
    return channel;
}

APT_DECLARE(const mpf_codec_descriptor_t *)
mrcp_engine_sink_stream_codec_get(const mrcp_engine_channel_t *channel) {
    if (!channel || !channel->termination || !channel->termination->audio_stream) return nullptr;
    const mpf_audio_stream_t *stream = channel->termination->audio_stream;
    if (!(stream->direction & STREAM_DIRECTION_SINK)) return nullptr;
    return stream->rx_descriptor;
}

APT_DECLARE(apt_bool_t) mrcp_engine_open_respond(mrcp_engine_t *engine, apt_bool_t status) {
    if (!engine || !engine->event_vtable || !engine->event_vtable->on_open) return FALSE;
    return engine->event_vtable->on_open(engine, status);
}

APT_DECLARE(apt_bool_t) mrcp_engine_close_respond(mrcp_engine_t *engine, apt_bool_t status) {
    if (!engine || !engine->event_vtable || !engine->event_vtable->on_close) return FALSE;
    return engine->event_vtable->on_close(engine, status);
}

APT_DECLARE(apt_bool_t)
mrcp_engine_channel_open_respond(mrcp_engine_channel_t *channel, apt_bool_t status) {
    if (!channel || !channel->event_vtable || !channel->event_vtable->on_open) return FALSE;
    return channel->event_vtable->on_open(channel, status);
}

APT_DECLARE(apt_bool_t) mrcp_engine_channel_close_respond(mrcp_engine_channel_t *channel) {
    if (!channel || !channel->event_vtable || !channel->event_vtable->on_close) return FALSE;
    return channel->event_vtable->on_close(channel);
}

APT_DECLARE(apt_bool_t)
mrcp_engine_channel_message_send(mrcp_engine_channel_t *channel, mrcp_message_t *message) {
    if (!channel || !message || !channel->event_vtable || !channel->event_vtable->on_message)
        return FALSE;
    return channel->event_vtable->on_message(channel, message);
}

}  // extern "C"
