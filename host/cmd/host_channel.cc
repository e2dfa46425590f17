#include "host_channel.h"

#include <chrono>

namespace vantor {

HostChannel::HostChannel(EngineHost *host, const std::string &name, unsigned sampling_rate,
                         mrcp_version_e version, const std::string &id)
    : host_(host),
      name_(name),
      sampling_rate_(sampling_rate),
      version_(version),
      id_(id),
      input_(sampling_rate) {}

HostChannel::~HostChannel() {
    if (request_parent_) apr_pool_destroy(request_parent_);
    if (pool_) apr_pool_destroy(pool_);
}

bool HostChannel::Init(std::string *error) {
    if (apr_pool_create(&pool_, nullptr) != APR_SUCCESS ||
        apr_pool_create(&request_parent_, nullptr) != APR_SUCCESS) {
        *error = "cannot create the channel pools";
        return false;
    }
    return true;
}

apr_pool_t *HostChannel::NewRequestPool() {
    apr_pool_t *pool = nullptr;
    if (apr_pool_create(&pool, request_parent_) != APR_SUCCESS) return nullptr;
    return pool;
}

HostChannel::State HostChannel::state() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_;
}

void HostChannel::set_state(State state) {
    std::lock_guard<std::mutex> lock(mutex_);
    state_ = state;
}

void HostChannel::RequestSent(mrcp_request_id id) {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.insert(id);
}

bool HostChannel::WasRequestSent(mrcp_request_id id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_.count(id) > 0;
}

void HostChannel::AddMessage(const MessageRecord &record) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        messages_.push_back(record);
    }
    cond_.notify_all();
}

bool HostChannel::WaitMessage(const std::function<bool(const MessageRecord &)> &match,
                              long timeout_ms, MessageRecord *out) {
    std::unique_lock<std::mutex> lock(mutex_);
    size_t scan = cursor_;
    bool found = cond_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
        for (; scan < messages_.size(); ++scan) {
            if (match(messages_[scan])) return true;
        }
        return false;
    });
    if (!found) return false;
    *out = messages_[scan];
    cursor_ = scan + 1;
    return true;
}

}  // namespace vantor
