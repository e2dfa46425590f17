#include "answer.h"

#include <chrono>

namespace vantor {

bool Answer::Set(bool status) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (count_++ > 0) return false;
    status_ = status;
    cond_.notify_all();
    return true;
}

Answer::Result Answer::Wait(long timeout_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!cond_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return count_ > 0; }))
        return Result::kTimeout;
    return status_ ? Result::kSuccess : Result::kFailure;
}

void Answer::Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    count_ = 0;
    status_ = false;
}

int Answer::Count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_;
}

}  // namespace vantor
