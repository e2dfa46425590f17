// Timers of one processor thread, sorted by expiry in milliseconds of queue
// time. Every operation runs on the processor thread.
#pragma once

#include <apr_time.h>

#include <cstdint>
#include <functional>
#include <list>
#include <unordered_set>

namespace Ombra {

class Timer;

class TimerQueue {
  public:
    // Source of absolute time in microseconds; apr_time_now unless replaced.
    using Clock = std::function<apr_time_t()>;

    TimerQueue();
    // Deletes the AUTO_DELETE timers it holds; other timers are left to
    // their owners.
    ~TimerQueue();

    // Queues the timer to expire timeout ms after the queue time of the last
    // Advance. False for a null timer, a timeout below 1 ms or no handler.
    bool AddTimer(Timer *timer);
    // Dequeues the timer, reports OnTimerStopped and deletes an AUTO_DELETE
    // timer. False only for a null timer.
    bool RemoveTimer(Timer *timer);
    // Brings the queue time up to the clock and fires every timer due. False,
    // without firing, when the clock reads earlier than at the last update.
    bool Advance();
    // Milliseconds until the front timer is due (zero or negative when
    // overdue, 0 for an empty queue).
    int64_t GetTimeout() const;
    bool IsEmpty() const { return m_Timers.empty(); }

    // Takes over deleting an AUTO_DELETE timer whose start or stop request
    // was dropped unprocessed.
    void AdoptTimer(Timer *timer);

    void SetClock(Clock clock) { m_Clock = std::move(clock); }
    int64_t GetElapsed() const { return m_Elapsed; }
    const std::list<Timer *> &GetTimers() const { return m_Timers; }

    // Queue time restarts from 0 once it exceeds this many milliseconds.
    static constexpr int64_t kRebaseThreshold = 65534;

  private:
    TimerQueue(const TimerQueue &) = delete;
    TimerQueue &operator=(const TimerQueue &) = delete;

    apr_time_t Now() const { return m_Clock ? m_Clock() : apr_time_now(); }
    void Insert(Timer *timer);
    bool Unlink(Timer *timer);
    void Rebase();

    std::list<Timer *> m_Timers;  // ascending expiry; equal expiries in insertion order
    int64_t m_Elapsed;            // ms of queue time since the base
    apr_time_t m_Last;            // when m_Elapsed was last brought up to date
    Clock m_Clock;
    // AUTO_DELETE timers this queue must delete: queued, refused or dropped,
    // until removed or fired as ONE_SHOT (then their owner deletes them).
    std::unordered_set<Timer *> m_Owned;
};

}  // namespace Ombra
