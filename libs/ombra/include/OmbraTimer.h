// Millisecond timers serviced on an event processor's thread, and the events
// that carry start and stop requests to that thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "OmbraAsyncEvent.h"

namespace Ombra {

class AsyncEventTimerProcessor;
class Timer;

class TimerHandler {
  public:
    virtual ~TimerHandler() {}
    virtual void OnTimerStarted(Timer *timer) {}
    virtual void OnTimerStopped(Timer *timer) {}
    virtual void OnTimeoutElapsed(Timer *timer) = 0;
};

class TimerEvent;

class Timer {
  public:
    enum Type : int32_t { ONE_SHOT = 0, PERIODIC = 1 };
    // AUTO_DELETE: the timer queue deletes the timer when it is removed (and
    // when the queue itself goes away); otherwise the owner deletes it.
    enum LifeTime : int32_t { AUTO_DELETE = 0, MANUAL_DELETE = 1 };

    Timer(TimerHandler *handler, int64_t timeout, Type type, LifeTime lifetime);
    // Detaches start and stop events still on their way, so that they do
    // nothing when they arrive.
    ~Timer();

    // Any thread: post a start or stop request to the processor.
    bool Start(AsyncEventTimerProcessor *processor);
    bool Stop();

    TimerHandler *GetHandler() const { return m_pHandler; }
    int64_t GetTimeout() const { return m_Timeout; }
    Type GetType() const { return m_Type; }
    LifeTime GetLifeTime() const { return m_LifeTime; }
    AsyncEventTimerProcessor *GetProcessor() const { return m_pProcessor.load(); }
    bool IsStarted() const { return m_Started.load(); }
    bool IsStopping() const { return m_Stopping.load(); }

    // Timer queue bookkeeping, processor thread only.
    int64_t GetExpiry() const { return m_Expiry; }
    void SetExpiry(int64_t expiry) { m_Expiry = expiry; }
    void SetStarted(bool started) { m_Started.store(started); }
    void SetStopping(bool stopping) { m_Stopping.store(stopping); }

  private:
    friend class TimerEvent;

    Timer(const Timer &) = delete;
    Timer &operator=(const Timer &) = delete;

    bool Deliver(AsyncEventTimerProcessor *processor, TimerEvent *event);
    void Untrack(TimerEvent *event);

    TimerHandler *m_pHandler;
    int64_t m_Timeout;  // ms
    Type m_Type;
    int64_t m_Expiry;  // ms of queue time, 0 while not queued
    // Written by Start/Stop on any thread, read on the processor thread.
    std::atomic<AsyncEventTimerProcessor *> m_pProcessor;
    std::atomic<bool> m_Started;
    std::atomic<bool> m_Stopping;
    LifeTime m_LifeTime;

    // Start and stop events posted and not yet processed or dropped.
    std::mutex m_EventGuard;
    std::vector<TimerEvent *> m_PendingEvents;
};

// Common part of the start and stop events: the timer pointer, cleared when
// the event is processed or the timer is deleted first.
class TimerEvent : public AsyncEvent {
  public:
    // An event dropped unprocessed hands its timer back to the processor.
    ~TimerEvent() override;
    Timer *GetTimer() const { return m_pTimer.load(); }

  protected:
    explicit TimerEvent(Timer *timer) : m_pTimer(timer) {}
    // Takes the timer for processing; null when the timer is gone.
    Timer *Claim();

  private:
    friend class Timer;
    Timer *Detach() { return m_pTimer.exchange(nullptr); }

    std::atomic<Timer *> m_pTimer;
};

class StartTimerEvent : public TimerEvent {
  public:
    explicit StartTimerEvent(Timer *timer) : TimerEvent(timer) {}
    void Process() override;
};

class StopTimerEvent : public TimerEvent {
  public:
    explicit StopTimerEvent(Timer *timer) : TimerEvent(timer) {}
    void Process() override;
};

}  // namespace Ombra
