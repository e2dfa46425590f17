#include "engine_host.h"

#include <cstdarg>
#include <cstdio>

#include "apt_log.h"
#include "apt_unique_id.h"
#include "mrcp_engine_host.h"
#include "mrcp_message_codec.h"

namespace vantor {

const mrcp_engine_event_vtable_t EngineHost::kEngineEvents = {OnEngineOpen, OnEngineClose};
const mrcp_engine_channel_event_vtable_t EngineHost::kChannelEvents = {
    OnChannelOpen, OnChannelClose, OnChannelMessage};

EngineHost::EngineHost(const EngineHostSettings &settings, MediaClock *clock,
                       MessageHandler on_message)
    : settings_(settings),
      clock_(clock),
      on_message_(std::move(on_message)),
      start_(std::chrono::steady_clock::now()) {
    apr_pool_create(&pool_, nullptr);
}

EngineHost::~EngineHost() {
    channels_.clear();
    if (pool_) apr_pool_destroy(pool_);
}

double EngineHost::Elapsed() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void EngineHost::Fault(const char *format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    ++faults_;
    apt_log(nullptr, APT_LOG_MARK, APT_PRIO_ERROR, "Plugin Fault: %s", text);
}

bool EngineHost::WaitAnswer(Answer *answer, const std::string &what, std::string *error,
                            long timeout_ms) const {
    switch (answer->Wait(timeout_ms)) {
        case Answer::Result::kSuccess:
            return true;
        case Answer::Result::kFailure:
            *error = what + " failed: the plugin answered with a failure";
            return false;
        case Answer::Result::kTimeout:
            *error = what + " failed: no answer within " +
                     std::to_string(settings_.answer_timeout_ms) + " ms";
            return false;
    }
    return false;
}

// --- Engine ---

bool EngineHost::OpenEngine(mrcp_engine_t *engine, std::string *error) {
    if (!pool_) {
        *error = "cannot create the engine pool";
        return false;
    }
    engine_ = engine;
    config_.max_channel_count = settings_.max_channels;
    config_.name = settings_.engine_id.c_str();
    config_.id = settings_.engine_id.c_str();
    config_.params = apr_table_make(pool_, 1);
    engine->id = settings_.engine_id.c_str();
    engine->config = &config_;
    engine->dir_layout = settings_.dir_layout;
    engine->event_vtable = &kEngineEvents;
    engine->event_obj = this;
    open_answer_.Reset();
    apt_log(nullptr, APT_LOG_MARK, APT_PRIO_INFO, "Open Engine [%s]", engine->id);
    if (!engine->method_vtable->open(engine)) {
        *error = "engine open failed: the open entry returned false";
        return false;
    }
    open_called_ = true;
    if (!WaitAnswer(&open_answer_, "engine open", error, settings_.answer_timeout_ms)) return false;
    engine->is_open = TRUE;
    return true;
}

bool EngineHost::CloseEngine(std::string *error) {
    if (!engine_) return true;
    close_answer_.Reset();
    apt_log(nullptr, APT_LOG_MARK, APT_PRIO_INFO, "Close Engine [%s]", engine_->id);
    if (!engine_->method_vtable->close(engine_)) {
        *error = "engine close failed: the close entry returned false";
        return false;
    }
    if (!WaitAnswer(&close_answer_, "engine close", error, settings_.answer_timeout_ms))
        return false;
    engine_->is_open = FALSE;
    return true;
}

void EngineHost::DestroyEngine() {
    if (!engine_) return;
    if (engine_->method_vtable->destroy) engine_->method_vtable->destroy(engine_);
    engine_ = nullptr;
}

apt_bool_t EngineHost::OnEngineOpen(mrcp_engine_t *engine, apt_bool_t status) {
    auto *host = engine ? static_cast<EngineHost *>(engine->event_obj) : nullptr;
    if (!host) return FALSE;
    apt_log(nullptr, APT_LOG_MARK, APT_PRIO_INFO, "Engine Open Response [%s]",
            status ? "success" : "failure");
    if (!host->open_answer_.Set(status != FALSE))
        host->Fault("engine open answered more than once");
    return TRUE;
}

apt_bool_t EngineHost::OnEngineClose(mrcp_engine_t *engine, apt_bool_t status) {
    auto *host = engine ? static_cast<EngineHost *>(engine->event_obj) : nullptr;
    if (!host) return FALSE;
    apt_log(nullptr, APT_LOG_MARK, APT_PRIO_INFO, "Engine Close Response [%s]",
            status ? "success" : "failure");
    if (!host->close_answer_.Set(status != FALSE))
        host->Fault("engine close answered more than once");
    return TRUE;
}

// --- Channels ---

std::string EngineHost::NewChannelId() {
    // A pool of its own: a long-running host makes ids without end.
    apr_pool_t *pool = nullptr;
    if (apr_pool_create(&pool, pool_) != APR_SUCCESS) return "";
    apt_str_t id;
    std::string made;
    if (apt_unique_id_generate(&id, 16, pool)) made.assign(id.buf, id.length);
    apr_pool_destroy(pool);
    return made;
}

HostChannel *EngineHost::CreateChannel(const std::string &name, unsigned sampling_rate,
                                       mrcp_version_e version, std::string *error,
                                       const std::string &given_id) {
    if (!engine_) {
        *error = "no engine";
        return nullptr;
    }
    if (HostChannel *existing = FindChannel(name)) {
        if (existing->state() != HostChannel::State::kClosed) {
            *error = "the channel exists already";
            return nullptr;
        }
    }
    if (settings_.max_channels && OpenChannelNames().size() >= settings_.max_channels) {
        *error = "all " + std::to_string(settings_.max_channels) + " channels are in use";
        return nullptr;
    }
    const std::string made = given_id.empty() ? NewChannelId() : given_id;
    if (made.empty()) {
        *error = "cannot make a channel id";
        return nullptr;
    }
    auto channel = std::make_unique<HostChannel>(this, name, sampling_rate, version, made);
    if (!channel->Init(error)) return nullptr;

    mrcp_engine_channel_settings_t channel_settings;
    channel_settings.id = made.c_str();
    channel_settings.mrcp_version = version;
    channel_settings.event_vtable = &kChannelEvents;
    channel_settings.event_obj = channel.get();
    mrcp_engine_channel_settings_set(&channel_settings);
    mrcp_engine_channel_t *engine_channel =
        engine_->method_vtable->create_channel(engine_, channel->pool());
    mrcp_engine_channel_settings_set(nullptr);
    if (!engine_channel) {
        *error = "the engine created no channel";
        return nullptr;
    }
    // The plugin may have built the channel some other way: make sure of the settings.
    engine_channel->event_vtable = &kChannelEvents;
    engine_channel->event_obj = channel.get();
    engine_channel->mrcp_version = version;
    if (!engine_channel->id.buf || engine_channel->id.length == 0)
        apt_string_assign(&engine_channel->id, made.c_str(), channel->pool());
    channel->engine_channel = engine_channel;

    if (!mrcp_engine_sink_stream_codec_negotiate(engine_channel, (apr_uint16_t)sampling_rate)) {
        *error = std::string("codec negotiation failed (the channel's sink stream does not take ") +
                 "16-bit linear PCM at " + std::to_string(sampling_rate) + " Hz)";
        if (engine_channel->method_vtable->destroy)
            engine_channel->method_vtable->destroy(engine_channel);
        channel->set_state(HostChannel::State::kClosed);
        channels_.push_back(std::move(channel));
        return nullptr;
    }
    apt_log(nullptr, APT_LOG_MARK, APT_PRIO_INFO, "Create Channel %s [%s] %u Hz MRCPv%d",
            name.c_str(), made.c_str(), sampling_rate, (int)version);
    channels_.push_back(std::move(channel));
    return channels_.back().get();
}

bool EngineHost::OpenChannel(HostChannel *channel, std::string *error, FrameSource *source) {
    if (!BeginOpenChannel(channel, error)) return false;
    WaitOpenAnswer(channel);
    return EndOpenChannel(channel, error, source);
}

bool EngineHost::CloseChannel(HostChannel *channel, std::string *error) {
    if (!BeginCloseChannel(channel, error)) return false;
    WaitCloseAnswer(channel);
    return EndCloseChannel(channel, error);
}

bool EngineHost::BeginOpenChannel(HostChannel *channel, std::string *error) {
    mrcp_engine_channel_t *c = channel->engine_channel;
    channel->open_answer().Reset();
    if (!c->method_vtable->open(c)) {
        *error = "open failed: the open entry returned false";
        return false;
    }
    return true;
}

void EngineHost::WaitOpenAnswer(HostChannel *channel) const {
    channel->open_answer().Wait(settings_.answer_timeout_ms);
}

void EngineHost::WaitCloseAnswer(HostChannel *channel) const {
    channel->close_answer().Wait(settings_.answer_timeout_ms);
}

bool EngineHost::EndOpenChannel(HostChannel *channel, std::string *error, FrameSource *source) {
    mrcp_engine_channel_t *c = channel->engine_channel;
    if (!WaitAnswer(&channel->open_answer(), "open", error, 0)) {
        if (channel->open_answer().Count() == 0)
            *error = "open failed: no answer within " +
                     std::to_string(settings_.answer_timeout_ms) + " ms";
        // A refused channel is destroyed; one that never answered may still be in use.
        if (channel->open_answer().Count() > 0) {
            channel->set_state(HostChannel::State::kClosed);
            DestroyChannel(channel);
        }
        return false;
    }
    c->is_open = TRUE;
    channel->set_state(HostChannel::State::kOpen);
    clock_->Attach(c->termination->audio_stream, source ? source : &channel->input());
    return true;
}

bool EngineHost::BeginCloseChannel(HostChannel *channel, std::string *error) {
    mrcp_engine_channel_t *c = channel->engine_channel;
    // Media stops before the channel is closed, as when a call's termination is removed.
    clock_->Detach(c->termination->audio_stream);
    channel->set_state(HostChannel::State::kClosing);
    channel->close_answer().Reset();
    if (!c->method_vtable->close(c)) {
        *error = "close failed: the close entry returned false";
        return false;
    }
    return true;
}

bool EngineHost::EndCloseChannel(HostChannel *channel, std::string *error) {
    if (!WaitAnswer(&channel->close_answer(), "close", error, 0)) {
        *error =
            "close failed: no answer within " + std::to_string(settings_.answer_timeout_ms) + " ms";
        return false;
    }
    channel->engine_channel->is_open = FALSE;
    channel->set_state(HostChannel::State::kClosed);
    DestroyChannel(channel);
    return true;
}

void EngineHost::DestroyChannel(HostChannel *channel) {
    mrcp_engine_channel_t *c = channel->engine_channel;
    if (c && c->method_vtable->destroy) c->method_vtable->destroy(c);
    apt_log(nullptr, APT_LOG_MARK, APT_PRIO_INFO, "Destroy Channel %s [%s]",
            channel->name().c_str(), channel->id().c_str());
}

void EngineHost::ForgetChannel(HostChannel *channel) {
    for (auto it = channels_.begin(); it != channels_.end(); ++it) {
        if (it->get() != channel) continue;
        if (channel->state() == HostChannel::State::kClosed) channels_.erase(it);
        return;
    }
}

void EngineHost::Answered(HostChannel *channel) {
    // The channel may be gone already: only its address is passed on.
    if (settings_.on_answer) settings_.on_answer(channel);
}

HostChannel *EngineHost::FindChannel(const std::string &name) const {
    for (auto it = channels_.rbegin(); it != channels_.rend(); ++it)
        if ((*it)->name() == name) return it->get();
    return nullptr;
}

std::vector<std::string> EngineHost::OpenChannelNames() const {
    std::vector<std::string> names;
    for (const auto &c : channels_)
        if (c->state() != HostChannel::State::kClosed) names.push_back(c->name());
    return names;
}

apt_bool_t EngineHost::OnChannelOpen(mrcp_engine_channel_t *channel, apt_bool_t status) {
    auto *hc = channel ? static_cast<HostChannel *>(channel->event_obj) : nullptr;
    if (!hc) return FALSE;
    apt_log(nullptr, APT_LOG_MARK, APT_PRIO_INFO, "Channel Open Response %s [%s]",
            hc->name().c_str(), status ? "success" : "failure");
    // Once the answer is set the host may destroy the channel: hc is not used after.
    EngineHost *host = hc->host();
    if (!hc->open_answer().Set(status != FALSE))
        host->Fault("channel %s: open answered more than once", hc->name().c_str());
    else
        host->Answered(hc);
    return TRUE;
}

apt_bool_t EngineHost::OnChannelClose(mrcp_engine_channel_t *channel) {
    auto *hc = channel ? static_cast<HostChannel *>(channel->event_obj) : nullptr;
    if (!hc) return FALSE;
    apt_log(nullptr, APT_LOG_MARK, APT_PRIO_INFO, "Channel Close Response %s", hc->name().c_str());
    if (hc->state() != HostChannel::State::kClosing)
        hc->host()->Fault("channel %s: close answered while not closing", hc->name().c_str());
    EngineHost *host = hc->host();
    if (!hc->close_answer().Set(true))
        host->Fault("channel %s: close answered more than once", hc->name().c_str());
    else
        host->Answered(hc);
    return TRUE;
}

apt_bool_t EngineHost::OnChannelMessage(mrcp_engine_channel_t *channel, mrcp_message_t *message) {
    auto *hc = channel ? static_cast<HostChannel *>(channel->event_obj) : nullptr;
    if (!hc) return FALSE;
    EngineHost *host = hc->host();
    // The time the message reached the host, before the host's own work on it.
    const double arrived = host->Elapsed();
    const char *name = hc->name().c_str();
    if (!message) {
        host->Fault("channel %s: null message", name);
        return FALSE;
    }
    HostChannel::State state = hc->state();
    if (state != HostChannel::State::kOpen && state != HostChannel::State::kClosing)
        host->Fault("channel %s: message sent while the channel is not open", name);
    if (message->start_line.version != hc->version())
        host->Fault("channel %s: message of MRCPv%d on an MRCPv%d channel", name,
                    (int)message->start_line.version, (int)hc->version());
    MessageRecord record;
    std::string error;
    if (!MakeMessageRecord(message, &record, &error)) {
        host->Fault("channel %s: unusable message: %s", name, error.c_str());
        return FALSE;
    }
    record.t = arrived;
    record.channel = hc->name();
    if (!hc->WasRequestSent(record.request_id))
        host->Fault("channel %s: %s for request %u that was never sent", name,
                    record.is_event ? "event" : "response", record.request_id);
    if (hc->version() == MRCP_VERSION_2) {
        std::string identifier;
        if (message->channel_id.session_id.buf)
            identifier.assign(message->channel_id.session_id.buf,
                              message->channel_id.session_id.length);
        identifier += '@';
        if (message->channel_id.resource_name.buf)
            identifier.append(message->channel_id.resource_name.buf,
                              message->channel_id.resource_name.length);
        if (identifier != hc->channel_identifier())
            host->Fault("channel %s: Channel-Identifier %s instead of %s", name, identifier.c_str(),
                        hc->channel_identifier().c_str());
    }
    hc->AddMessage(record);
    if (host->on_message_) host->on_message_(record);
    return TRUE;
}

// --- Requests ---

bool EngineHost::SendRequest(HostChannel *channel, const std::string &method,
                             mrcp_request_id request_id, const std::vector<Header> &headers,
                             const std::string &body, bool has_body, std::string *error) {
    if (channel->state() != HostChannel::State::kOpen) {
        *error = "the channel is not open";
        return false;
    }
    mrcp_version_e version = channel->version();
    apr_size_t method_id = mrcp_recog_method_id_find(method.c_str(), method.size(), version);
    if (method_id >= RECOGNIZER_METHOD_COUNT) {
        *error = "unknown MRCPv" + std::to_string((int)version) + " recognizer method " + method;
        return false;
    }
    apr_pool_t *pool = channel->NewRequestPool();
    if (!pool) {
        *error = "cannot create a request pool";
        return false;
    }
    // The parser takes a bounded number of header fields; Channel-Identifier
    // (MRCPv2) and Content-Length (with a body) are among them.
    size_t room =
        APT_HEADER_SECTION_MAX_FIELDS - (version == MRCP_VERSION_2 ? 1 : 0) - (has_body ? 1 : 0);
    if (headers.size() > room) {
        *error = std::to_string(headers.size()) + " headers, more than the " +
                 std::to_string(room) + " a request can carry";
        return false;
    }
    mrcp_message_t *built = mrcp_request_create(version, method_id, pool);
    built->start_line.request_id = request_id;
    mrcp_message_channel_id_set(built, channel->channel_identifier().c_str());
    for (const Header &h : headers) {
        if (!mrcp_message_header_add(built, h.first.c_str(), h.second.c_str())) {
            *error = "illegal value of header " + h.first + ": " + h.second;
            return false;
        }
    }
    if (has_body) mrcp_message_body_set(built, body.data(), body.size());
    apr_size_t length = 0;
    const char *text = mrcp_message_serialize(built, pool, &length);
    if (!text) {
        *error = "cannot serialize the request";
        return false;
    }
    const char *why = nullptr;
    mrcp_message_t *request = mrcp_message_parse(text, length, pool, &why);
    if (!request) {
        *error = std::string("the request does not parse: ") + (why ? why : "unknown reason");
        return false;
    }
    return ProcessRequest(channel, request, error);
}

bool EngineHost::ProcessRequest(HostChannel *channel, mrcp_message_t *request, std::string *error) {
    if (channel->state() != HostChannel::State::kOpen) {
        *error = "the channel is not open";
        return false;
    }
    const apt_str_t &name = request->start_line.method_name;
    const std::string method = name.buf ? std::string(name.buf, name.length) : "request";
    channel->RequestSent(request->start_line.request_id);
    apt_log(nullptr, APT_LOG_MARK, APT_PRIO_INFO, "Send %s %u to Channel %s", method.c_str(),
            request->start_line.request_id, channel->name().c_str());
    mrcp_engine_channel_t *c = channel->engine_channel;
    if (!c->method_vtable->process_request(c, request)) {
        *error = "the process-request entry returned false for " + method;
        return false;
    }
    return true;
}

}  // namespace vantor
