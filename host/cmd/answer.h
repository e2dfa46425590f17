// One asynchronous answer (an open or close response): set once by any thread,
// awaited by the signalling thread.
#pragma once

#include <condition_variable>
#include <mutex>

namespace vantor {

class Answer {
  public:
    enum class Result { kSuccess, kFailure, kTimeout };

    // Records the answer; false when one was already recorded since the last Reset
    // (the earlier answer stands).
    bool Set(bool status);
    // Waits up to timeout_ms of wall-clock time for the answer.
    Result Wait(long timeout_ms);
    // Forgets the answer and the count.
    void Reset();
    // Answers recorded since the last Reset.
    int Count() const;

  private:
    mutable std::mutex mutex_;
    std::condition_variable cond_;
    int count_ = 0;
    bool status_ = false;
};

}  // namespace vantor
