// The host's side of one recognizer channel: its settings, input queue, the
// answers it waits for and the messages the plugin sent on it.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "answer.h"
#include "input_queue.h"
#include "message_record.h"
#include "mrcp_engine.h"

namespace vantor {

class EngineHost;

class HostChannel {
  public:
    enum class State { kCreated, kOpen, kClosing, kClosed };

    HostChannel(EngineHost *host, const std::string &name, unsigned sampling_rate,
                mrcp_version_e version, const std::string &id);
    ~HostChannel();
    HostChannel(const HostChannel &) = delete;
    HostChannel &operator=(const HostChannel &) = delete;

    bool Init(std::string *error);  // creates the pools

    EngineHost *host() const { return host_; }
    const std::string &name() const { return name_; }
    unsigned sampling_rate() const { return sampling_rate_; }
    mrcp_version_e version() const { return version_; }
    const std::string &id() const { return id_; }
    // Channel-Identifier of its messages: id@speechrecog.
    std::string channel_identifier() const { return id_ + "@speechrecog"; }

    apr_pool_t *pool() const { return pool_; }
    // A new pool for one request, kept until the channel is gone (the plugin may
    // hold a request and create messages from its pool until the recognition ends).
    apr_pool_t *NewRequestPool();

    mrcp_engine_channel_t *engine_channel = nullptr;
    InputQueue &input() { return input_; }
    Answer &open_answer() { return open_answer_; }
    Answer &close_answer() { return close_answer_; }

    State state() const;
    void set_state(State state);

    // Notes a request sent to the plugin.
    void RequestSent(mrcp_request_id id);
    bool WasRequestSent(mrcp_request_id id) const;

    // Stores a message of the plugin (any thread) and wakes waiters.
    void AddMessage(const MessageRecord &record);
    // Waits for the first message after the last one matched by a wait that
    // satisfies match; true with it in *out, false after timeout_ms.
    bool WaitMessage(const std::function<bool(const MessageRecord &)> &match, long timeout_ms,
                     MessageRecord *out);

  private:
    EngineHost *host_;
    std::string name_;
    unsigned sampling_rate_;
    mrcp_version_e version_;
    std::string id_;
    apr_pool_t *pool_ = nullptr;            // given to the plugin
    apr_pool_t *request_parent_ = nullptr;  // the host's: parent of request pools
    InputQueue input_;
    Answer open_answer_;
    Answer close_answer_;

    mutable std::mutex mutex_;
    std::condition_variable cond_;
    State state_ = State::kCreated;
    std::set<mrcp_request_id> requests_;
    std::vector<MessageRecord> messages_;
    size_t cursor_ = 0;  // messages before it were matched or passed over by a wait
};

}  // namespace vantor
