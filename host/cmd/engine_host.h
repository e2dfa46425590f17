// The host around one plugin engine: it answers nothing itself, but drives the
// engine and its channels through their method tables on the calling
// ("signalling") thread and receives their answers through the event tables
// from whatever thread the plugin uses.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "answer.h"
#include "host_channel.h"
#include "media_clock.h"
#include "mrcp_engine.h"

namespace vantor {

struct EngineHostSettings {
    long answer_timeout_ms = 10000;  // engine and channel open / close answers
    apr_size_t max_channels = 0;     // 0: no limit
    const apt_dir_layout_t *dir_layout = nullptr;
    std::string engine_id = "koralrx";
    // Told (on the plugin's thread) of a channel whose open or close was
    // answered: a host that does not wait for answers collects them then.
    std::function<void(HostChannel *channel)> on_answer;
};

using Header = std::pair<std::string, std::string>;

class EngineHost {
  public:
    using MessageHandler = std::function<void(const MessageRecord &)>;

    EngineHost(const EngineHostSettings &settings, MediaClock *clock, MessageHandler on_message);
    ~EngineHost();
    EngineHost(const EngineHost &) = delete;
    EngineHost &operator=(const EngineHost &) = delete;

    // Engine lifecycle. Each returns false with a reason in *error.
    bool OpenEngine(mrcp_engine_t *engine, std::string *error);
    bool CloseEngine(std::string *error);
    void DestroyEngine();

    // Channel lifecycle. The reasons given in *error here and by SendRequest do
    // not name the channel: the caller says which one.
    // id: the channel's id (the session part of its Channel-Identifier); "":
    // a new one.
    HostChannel *CreateChannel(const std::string &name, unsigned sampling_rate,
                               mrcp_version_e version, std::string *error,
                               const std::string &id = "");
    // A new unguessable id for channels (16 hex digits).
    std::string NewChannelId();
    // Opens the channel and attaches its sink stream to the media clock, fed by
    // source (nullptr: the channel's own input queue).
    bool OpenChannel(HostChannel *channel, std::string *error, FrameSource *source = nullptr);
    bool CloseChannel(HostChannel *channel, std::string *error);
    // The same without waiting: Begin calls the plugin's entry, End takes the
    // answer once on_answer told of it (or gives up on it: End then fails with
    // "no answer"). A refused open destroys the channel; an open that never
    // answered leaves it as it is, for the plugin may still use it.
    bool BeginOpenChannel(HostChannel *channel, std::string *error);
    bool EndOpenChannel(HostChannel *channel, std::string *error, FrameSource *source = nullptr);
    bool BeginCloseChannel(HostChannel *channel, std::string *error);
    bool EndCloseChannel(HostChannel *channel, std::string *error);
    // Waits for the answer End would take, up to the answer timeout.
    void WaitOpenAnswer(HostChannel *channel) const;
    void WaitCloseAnswer(HostChannel *channel) const;
    HostChannel *FindChannel(const std::string &name) const;
    // Drops a closed channel's host-side state; the pointer is invalid after.
    // A long-running server calls it so that closed channels do not pile up.
    void ForgetChannel(HostChannel *channel);
    apr_size_t max_channels() const { return settings_.max_channels; }
    long answer_timeout_ms() const { return settings_.answer_timeout_ms; }
    // Names of channels created and not closed, in creation order.
    std::vector<std::string> OpenChannelNames() const;

    // Builds a request (start line, Channel-Identifier, headers, Content-Length,
    // body), serializes it, parses the text back and hands the parsed message to
    // the channel's process-request slot.
    bool SendRequest(HostChannel *channel, const std::string &method, mrcp_request_id request_id,
                     const std::vector<Header> &headers, const std::string &body, bool has_body,
                     std::string *error);
    // Hands a request parsed from a client (from a pool of the channel's
    // NewRequestPool, kept as long as the channel) to the channel's
    // process-request slot.
    bool ProcessRequest(HostChannel *channel, mrcp_message_t *request, std::string *error);

    // Protocol faults of the plugin seen so far (double answers, messages on a
    // channel that is not open, unusable messages).
    int faults() const { return faults_.load(); }
    // True when the engine's open entry accepted the open but no answer came.
    bool engine_open_pending() const { return open_called_ && open_answer_.Count() == 0; }
    double Elapsed() const;

  private:
    static apt_bool_t OnEngineOpen(mrcp_engine_t *engine, apt_bool_t status);
    static apt_bool_t OnEngineClose(mrcp_engine_t *engine, apt_bool_t status);
    static apt_bool_t OnChannelOpen(mrcp_engine_channel_t *channel, apt_bool_t status);
    static apt_bool_t OnChannelClose(mrcp_engine_channel_t *channel);
    static apt_bool_t OnChannelMessage(mrcp_engine_channel_t *channel, mrcp_message_t *message);
    void Fault(const char *format, ...) __attribute__((format(printf, 2, 3)));
    bool WaitAnswer(Answer *answer, const std::string &what, std::string *error,
                    long timeout_ms) const;
    void DestroyChannel(HostChannel *channel);
    void Answered(HostChannel *channel);

    static const mrcp_engine_event_vtable_t kEngineEvents;
    static const mrcp_engine_channel_event_vtable_t kChannelEvents;

    EngineHostSettings settings_;
    MediaClock *clock_;
    MessageHandler on_message_;
    std::chrono::steady_clock::time_point start_;
    std::atomic<int> faults_{0};

    apr_pool_t *pool_ = nullptr;
    mrcp_engine_config_t config_{};
    mrcp_engine_t *engine_ = nullptr;
    bool open_called_ = false;
    Answer open_answer_;
    Answer close_answer_;
    std::vector<std::unique_ptr<HostChannel>> channels_;
};

}  // namespace vantor
