// The module's face toward the host: exported entry points and the adapters
// placed in the host's engine, channel and audio stream tables.
#include <atomic>

#include "KoralRxChannel.h"
#include "KoralRxEngine.h"
#include "KoralRxLog.h"
#include "mrcp_engine_plugin.h"

namespace KORAL {
namespace {

std::atomic<bool> g_EngineCreated{false};

Engine *GetEngine(mrcp_engine_t *handle) {
    return handle ? static_cast<Engine *>(handle->obj) : nullptr;
}

Channel *GetChannel(mrcp_engine_channel_t *handle) {
    return handle ? static_cast<Channel *>(handle->obj) : nullptr;
}

apt_bool_t DestroyEngine(mrcp_engine_t *handle) {
    delete GetEngine(handle);
    if (handle) handle->obj = nullptr;
    return TRUE;
}

apt_bool_t OpenEngine(mrcp_engine_t *handle) {
    Engine *engine = GetEngine(handle);
    return engine && engine->Open() ? TRUE : FALSE;
}

apt_bool_t CloseEngine(mrcp_engine_t *handle) {
    Engine *engine = GetEngine(handle);
    return engine && engine->Close() ? TRUE : FALSE;
}

mrcp_engine_channel_t *CreateChannel(mrcp_engine_t *handle, apr_pool_t *pool);

apt_bool_t DestroyChannel(mrcp_engine_channel_t *handle) {
    delete GetChannel(handle);
    if (handle) handle->obj = nullptr;
    return TRUE;
}

apt_bool_t OpenChannel(mrcp_engine_channel_t *handle) {
    Channel *channel = GetChannel(handle);
    return channel && channel->SignalEvent(TASK_MSG_OPEN_CHANNEL, nullptr) ? TRUE : FALSE;
}

apt_bool_t CloseChannel(mrcp_engine_channel_t *handle) {
    Channel *channel = GetChannel(handle);
    return channel && channel->SignalEvent(TASK_MSG_CLOSE_CHANNEL, nullptr) ? TRUE : FALSE;
}

apt_bool_t ProcessRequest(mrcp_engine_channel_t *handle, mrcp_message_t *request) {
    Channel *channel = GetChannel(handle);
    return channel && channel->SignalEvent(TASK_MSG_REQUEST_PROCESS, request) ? TRUE : FALSE;
}

apt_bool_t WriteStream(mpf_audio_stream_t *stream, const mpf_frame_t *frame) {
    Channel *channel = stream ? static_cast<Channel *>(stream->obj) : nullptr;
    if (channel) channel->Write(frame);
    return TRUE;
}

const mrcp_engine_method_vtable_t kEngineVtable = {DestroyEngine, OpenEngine, CloseEngine,
                                                   CreateChannel};

const mrcp_engine_channel_method_vtable_t kChannelVtable = {DestroyChannel, OpenChannel,
                                                            CloseChannel, ProcessRequest};

const mpf_audio_stream_vtable_t kStreamVtable = {nullptr, nullptr, nullptr,     nullptr,
                                                 nullptr, nullptr, WriteStream, nullptr};

mrcp_engine_channel_t *CreateChannel(mrcp_engine_t *handle, apr_pool_t *pool) {
    Engine *engine = GetEngine(handle);
    if (!engine) return nullptr;
    Channel *channel = new Channel(engine);
    mpf_stream_capabilities_t *capabilities =
        mpf_stream_capabilities_create(STREAM_DIRECTION_SINK, pool);
    mpf_codec_capabilities_add(&capabilities->codecs, "LPCM", 0,
                               MPF_SAMPLE_RATE_8000 | MPF_SAMPLE_RATE_16000);
    mpf_termination_t *termination =
        mrcp_engine_audio_termination_create(channel, &kStreamVtable, capabilities, pool);
    mrcp_engine_channel_t *channel_handle =
        mrcp_engine_channel_create(handle, &kChannelVtable, channel, termination, pool);
    if (!channel_handle) {
        delete channel;
        return nullptr;
    }
    channel->SetHandle(channel_handle);
    return channel_handle;
}

}  // namespace
}  // namespace KORAL

MRCP_PLUGIN_VERSION_DECLARE

MRCP_PLUGIN_DECLARE(mrcp_engine_t *) mrcp_plugin_create(apr_pool_t *pool) {
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_NOTICE,
            "KORAL Plugin Version [" KORALRX_VERSION "] Date [2019-06-07]");
    // Set before the engine is built, so that a failed creation is not retried.
    if (KORAL::g_EngineCreated.exchange(true)) return nullptr;
    KORAL::Engine *engine = new KORAL::Engine("Koral");
    mrcp_engine_t *handle =
        mrcp_engine_create(MRCP_RECOGNIZER_RESOURCE, engine, &KORAL::kEngineVtable, pool);
    if (!handle) {
        delete engine;
        return nullptr;
    }
    engine->SetHandle(handle);
    return handle;
}

MRCP_PLUGIN_DECLARE(apt_bool_t) mrcp_plugin_logger_set(apt_logger_t *logger) {
    apt_log_instance_set(logger);
    return TRUE;
}

MRCP_PLUGIN_DECLARE(apt_bool_t) mrcp_plugin_log_source_set(apt_log_source_t *source) {
    apt_def_log_source_set(source);
    return apt_log_source_assign("KORAL-PLUGIN", &KORAL_PLUGIN);
}
