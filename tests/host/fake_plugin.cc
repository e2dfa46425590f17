// A test plugin module for vantor-host. It behaves like a recognizer plugin in
// miniature: answers arrive from its own worker thread, requests are echoed with
// 200 COMPLETE, RECOGNIZE ends with START-OF-INPUT and RECOGNITION-COMPLETE driven by
// the frames it is fed, and every channel's frame counts are written to
// <var>/frames-<name>.txt at close. FAKE_PLUGIN_MODE selects a misbehaviour;
// "open-held" answers channel opens only once the file <var>/release-open exists.
#include <apr_file_io.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "apt_log.h"
#include "mrcp_engine_plugin.h"

#ifndef FAKE_VERSION_MAJOR
#define FAKE_VERSION_MAJOR PLUGIN_MAJOR_VERSION
#endif

extern "C" {
__attribute__((visibility("default"))) mrcp_plugin_version_t mrcp_plugin_version = {
    FAKE_VERSION_MAJOR, PLUGIN_MINOR_VERSION, PLUGIN_PATCH_VERSION};
}

namespace {

std::string Mode() {
    const char *mode = getenv("FAKE_PLUGIN_MODE");
    return mode ? mode : "";
}

// One worker thread running posted tasks in order, like an engine's event processor.
class Worker {
  public:
    ~Worker() { Stop(); }
    void Start() {
        thread_ = std::thread([this] { Loop(); });
    }
    void Post(std::function<void()> task) {
        std::lock_guard<std::mutex> lock(mutex_);
        tasks_.push_back(std::move(task));
        cond_.notify_one();
    }
    void Stop() {
        Post(nullptr);
        if (thread_.joinable()) thread_.join();
    }

  private:
    void Loop() {
        for (;;) {
            std::function<void()> task;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                cond_.wait(lock, [this] { return !tasks_.empty(); });
                task = std::move(tasks_.front());
                tasks_.pop_front();
            }
            if (!task) return;
            task();
        }
    }
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable cond_;
    std::deque<std::function<void()>> tasks_;
};

struct FakeEngine {
    Worker worker;
    mrcp_engine_t *handle = nullptr;
    // "open-held": threads that answer opens once released, stopped at close.
    std::vector<std::thread> holders;
    std::atomic<bool> closing{false};
};

struct FakeChannel {
    FakeEngine *engine = nullptr;
    mrcp_engine_channel_t *handle = nullptr;
    // Media thread counters, read on the worker thread after the media has stopped.
    std::mutex mutex;
    unsigned frames = 0, audio_frames = 0, loud_frames = 0, event_frames = 0, starts = 0, ends = 0;
    unsigned bad_size = 0;
    std::string digits, durations;
    // Recognition state, touched under mutex (media thread and worker).
    mrcp_message_t *recog = nullptr;
    bool input_started = false;
    unsigned quiet_frames = 0;  // since the last input
    unsigned idle_frames = 0;   // since RECOGNIZE without input
    apr_size_t no_input_ms = 0;
    std::string heard;
};

void Send(FakeChannel *ch, mrcp_message_t *message) {
    mrcp_engine_channel_message_send(ch->handle, message);
}

// Worker: the RECOGNIZE's events.
void StartOfInput(FakeChannel *ch, mrcp_message_t *recog, bool dtmf) {
    mrcp_message_t *event = mrcp_event_create(recog, RECOGNIZER_START_OF_INPUT, recog->pool);
    if (ch->handle->mrcp_version == MRCP_VERSION_2) {
        apt_string_set(&mrcp_resource_header_get(event)->input_type, dtmf ? "dtmf" : "speech");
        mrcp_resource_header_property_add(event, RECOGNIZER_HEADER_INPUT_TYPE);
    }
    Send(ch, event);
}

void Complete(FakeChannel *ch, mrcp_message_t *recog, mrcp_recog_completion_cause_e cause,
              const std::string &body) {
    mrcp_message_t *event = mrcp_event_create(recog, RECOGNIZER_RECOGNITION_COMPLETE, recog->pool);
    event->start_line.request_state = MRCP_REQUEST_STATE_COMPLETE;
    mrcp_resource_header_get(event)->completion_cause = cause;
    mrcp_resource_header_property_add(event, RECOGNIZER_HEADER_COMPLETION_CAUSE);
    if (!body.empty()) {
        apt_string_set(&mrcp_generic_header_get(event)->content_type, "text/plain");
        mrcp_generic_header_property_add(event, GENERIC_HEADER_CONTENT_TYPE);
        mrcp_message_body_set(event, body.data(), body.size());
    }
    Send(ch, event);
}

void ProcessRequest(FakeChannel *ch, mrcp_message_t *request) {
    mrcp_message_t *response = mrcp_response_create(request, request->pool);
    switch (request->start_line.method_id) {
        case RECOGNIZER_RECOGNIZE: {
            response->start_line.request_state = MRCP_REQUEST_STATE_INPROGRESS;
            std::lock_guard<std::mutex> lock(ch->mutex);
            ch->recog = request;
            ch->input_started = false;
            ch->quiet_frames = ch->idle_frames = 0;
            ch->heard.clear();
            ch->no_input_ms =
                mrcp_resource_header_property_check(request, RECOGNIZER_HEADER_NO_INPUT_TIMEOUT)
                    ? mrcp_resource_header_get(request)->no_input_timeout
                    : 0;
            break;
        }
        case RECOGNIZER_STOP: {
            std::lock_guard<std::mutex> lock(ch->mutex);
            if (ch->recog) {
                mrcp_generic_header_t *g = mrcp_generic_header_get(response);
                g->active_request_id_list.ids[0] = ch->recog->start_line.request_id;
                g->active_request_id_list.count = 1;
                mrcp_generic_header_property_add(response, GENERIC_HEADER_ACTIVE_REQUEST_ID_LIST);
                ch->recog = nullptr;
            }
            break;
        }
        case RECOGNIZER_GET_PARAMS: {
            // Echoes every header of the request, values and all; names given
            // without a value come back the same way.
            mrcp_version_e version = request->start_line.version;
            response->header.generic = request->header.generic;
            response->header.resource = request->header.resource;
            for (apr_size_t id = 1; id < GENERIC_HEADER_COUNT; ++id) {
                if (mrcp_generic_header_property_check(request, id))
                    mrcp_generic_header_property_add(response, id);
                if (mrcp_generic_header_empty_check(request, id))
                    mrcp_message_header_add(
                        response, mrcp_generic_header_name_get((mrcp_generic_header_id)id, version),
                        "");
            }
            for (apr_size_t id = 0; id < RECOGNIZER_HEADER_COUNT; ++id) {
                if (mrcp_resource_header_property_check(request, id))
                    mrcp_resource_header_property_add(response, id);
                if (mrcp_resource_header_empty_check(request, id))
                    mrcp_message_header_add(
                        response,
                        mrcp_recog_header_name_get((mrcp_recognizer_header_id)id, version), "");
            }
            if (request->body.length)
                mrcp_message_body_set(response, request->body.buf, request->body.length);
            break;
        }
        default:
            break;
    }
    Send(ch, response);
}

// Media thread: frame counting and the recognition's input detection.
apt_bool_t WriteFrame(mpf_audio_stream_t *stream, const mpf_frame_t *frame) {
    auto *ch = static_cast<FakeChannel *>(stream->obj);
    const mpf_codec_descriptor_t *codec = mrcp_engine_sink_stream_codec_get(ch->handle);
    std::lock_guard<std::mutex> lock(ch->mutex);
    ++ch->frames;
    bool input = false, dtmf = false;
    if (frame->type & MEDIA_FRAME_TYPE_AUDIO) {
        ++ch->audio_frames;
        if (!codec || frame->codec_frame.size != (apr_size_t)codec->sampling_rate / 100 * 2)
            ++ch->bad_size;
        const int16_t *s = static_cast<const int16_t *>(frame->codec_frame.buffer);
        bool loud = false;
        for (apr_size_t i = 0; i < frame->codec_frame.size / 2; ++i) loud = loud || s[i] != 0;
        if (loud) {
            ++ch->loud_frames;
            input = true;
        }
    }
    if (frame->type & MEDIA_FRAME_TYPE_EVENT) {
        ++ch->event_frames;
        input = dtmf = true;
        if (frame->marker == MPF_MARKER_START_OF_EVENT) {
            ++ch->starts;
            ch->digits += mpf_event_id_to_dtmf_char(frame->event_frame.event_id);
            if (ch->recog) ch->heard += mpf_event_id_to_dtmf_char(frame->event_frame.event_id);
        } else if (frame->marker == MPF_MARKER_END_OF_EVENT) {
            ++ch->ends;
            ch->durations += std::to_string(frame->event_frame.duration) + " ";
        }
    }
    mrcp_message_t *recog = ch->recog;
    if (!recog) return TRUE;
    if (input) {
        ch->quiet_frames = 0;
        if (!ch->input_started) {
            ch->input_started = true;
            ch->engine->worker.Post([ch, recog, dtmf] { StartOfInput(ch, recog, dtmf); });
        }
        return TRUE;
    }
    if (ch->input_started && ++ch->quiet_frames >= 30) {
        std::string body = ch->heard.empty() ? "speech" : ch->heard;
        ch->recog = nullptr;
        ch->engine->worker.Post(
            [ch, recog, body] { Complete(ch, recog, RECOGNIZER_COMPLETION_CAUSE_SUCCESS, body); });
    } else if (!ch->input_started && ch->no_input_ms && ++ch->idle_frames * 10 >= ch->no_input_ms) {
        ch->recog = nullptr;
        ch->engine->worker.Post(
            [ch, recog] { Complete(ch, recog, RECOGNIZER_COMPLETION_CAUSE_NO_INPUT_TIMEOUT, ""); });
    }
    return TRUE;
}

void WriteStats(FakeChannel *ch) {
    const char *var = apt_dir_layout_path_get(ch->engine->handle->dir_layout, APT_LAYOUT_VAR_DIR);
    if (!var) return;
    std::string path = std::string(var) + "/frames-" + ch->handle->id.buf + ".txt";
    FILE *f = fopen(path.c_str(), "w");
    if (!f) return;
    std::lock_guard<std::mutex> lock(ch->mutex);
    const mpf_codec_descriptor_t *codec = mrcp_engine_sink_stream_codec_get(ch->handle);
    fprintf(f,
            "rate=%u\nversion=%d\nframes=%u\naudio=%u\nloud=%u\nevents=%u\nstarts=%u\nends=%u\nbad_"
            "size=%u\n"
            "digits=%s\ndurations=%s\n",
            codec ? codec->sampling_rate : 0, (int)ch->handle->mrcp_version, ch->frames,
            ch->audio_frames, ch->loud_frames, ch->event_frames, ch->starts, ch->ends, ch->bad_size,
            ch->digits.c_str(), ch->durations.c_str());
    fclose(f);
}

apt_bool_t ChannelDestroy(mrcp_engine_channel_t *channel) {
    delete static_cast<FakeChannel *>(channel->obj);
    channel->obj = nullptr;
    return TRUE;
}

apt_bool_t ChannelOpen(mrcp_engine_channel_t *channel) {
    auto *ch = static_cast<FakeChannel *>(channel->obj);
    FakeEngine *fe = ch->engine;
    if (Mode() == "open-held") {
        const char *var = apt_dir_layout_path_get(fe->handle->dir_layout, APT_LAYOUT_VAR_DIR);
        const std::string release = std::string(var ? var : ".") + "/release-open";
        fe->holders.emplace_back([fe, channel, release] {
            while (!fe->closing && access(release.c_str(), F_OK) != 0) usleep(5000);
            if (!fe->closing)
                fe->worker.Post([channel] { mrcp_engine_channel_open_respond(channel, TRUE); });
        });
        return TRUE;
    }
    bool ok = Mode() != "channel-open-fail";
    ch->engine->worker.Post([channel, ok] { mrcp_engine_channel_open_respond(channel, ok); });
    return TRUE;
}

apt_bool_t ChannelClose(mrcp_engine_channel_t *channel) {
    auto *ch = static_cast<FakeChannel *>(channel->obj);
    ch->engine->worker.Post([ch, channel] {
        WriteStats(ch);
        mrcp_engine_channel_close_respond(channel);
    });
    return TRUE;
}

apt_bool_t ChannelRequest(mrcp_engine_channel_t *channel, mrcp_message_t *request) {
    auto *ch = static_cast<FakeChannel *>(channel->obj);
    ch->engine->worker.Post([ch, request] { ProcessRequest(ch, request); });
    return TRUE;
}

const mrcp_engine_channel_method_vtable_t kChannelMethods = {ChannelDestroy, ChannelOpen,
                                                             ChannelClose, ChannelRequest};
const mpf_audio_stream_vtable_t kStreamMethods = {nullptr, nullptr, nullptr,    nullptr,
                                                  nullptr, nullptr, WriteFrame, nullptr};

apt_bool_t EngineDestroy(mrcp_engine_t *engine) {
    delete static_cast<FakeEngine *>(engine->obj);
    engine->obj = nullptr;
    return TRUE;
}

apt_bool_t EngineOpen(mrcp_engine_t *engine) {
    auto *fe = static_cast<FakeEngine *>(engine->obj);
    fe->worker.Start();
    std::string mode = Mode();
    apt_log(nullptr, APT_LOG_MARK, APT_PRIO_NOTICE, "Fake Engine Open [%s] max-channels=%zu",
            mode.c_str(), (size_t)engine->config->max_channel_count);
    if (mode == "open-silent") return TRUE;
    fe->worker.Post([engine, mode] {
        mrcp_engine_open_respond(engine, mode != "open-fail");
        if (mode == "open-twice") mrcp_engine_open_respond(engine, TRUE);
    });
    return TRUE;
}

apt_bool_t EngineClose(mrcp_engine_t *engine) {
    auto *fe = static_cast<FakeEngine *>(engine->obj);
    fe->closing = true;
    for (std::thread &holder : fe->holders) holder.join();
    if (Mode() == "close-silent") return TRUE;
    fe->worker.Post([engine] { mrcp_engine_close_respond(engine, TRUE); });
    fe->worker.Stop();
    return TRUE;
}

mrcp_engine_channel_t *CreateChannel(mrcp_engine_t *engine, apr_pool_t *pool) {
    auto *ch = new FakeChannel;
    ch->engine = static_cast<FakeEngine *>(engine->obj);
    mpf_stream_capabilities_t *caps = mpf_stream_capabilities_create(STREAM_DIRECTION_SINK, pool);
    int rates = Mode() == "narrowband" ? MPF_SAMPLE_RATE_8000
                                       : MPF_SAMPLE_RATE_8000 | MPF_SAMPLE_RATE_16000;
    mpf_codec_capabilities_add(&caps->codecs, "LPCM", 0, rates);
    mpf_termination_t *termination =
        mrcp_engine_audio_termination_create(ch, &kStreamMethods, caps, pool);
    mrcp_engine_channel_t *handle =
        mrcp_engine_channel_create(engine, &kChannelMethods, ch, termination, pool);
    if (!handle) {
        delete ch;
        return nullptr;
    }
    ch->handle = handle;
    return handle;
}

// Unused in the variant without a create entry.
[[maybe_unused]] const mrcp_engine_method_vtable_t kEngineMethods = {EngineDestroy, EngineOpen,
                                                                     EngineClose, CreateChannel};

}  // namespace

#ifndef FAKE_WITHOUT_CREATE
MRCP_PLUGIN_DECLARE(mrcp_engine_t *) mrcp_plugin_create(apr_pool_t *pool) {
    auto *fe = new FakeEngine;
    mrcp_engine_t *handle = mrcp_engine_create(MRCP_RECOGNIZER_RESOURCE, fe, &kEngineMethods, pool);
    if (!handle) {
        delete fe;
        return nullptr;
    }
    fe->handle = handle;
    return handle;
}
#endif

MRCP_PLUGIN_DECLARE(apt_bool_t) mrcp_plugin_logger_set(apt_logger_t *logger) {
    return apt_log_instance_set(logger);
}

MRCP_PLUGIN_DECLARE(apt_bool_t) mrcp_plugin_log_source_set(apt_log_source_t *source) {
    return apt_def_log_source_set(source);
}
