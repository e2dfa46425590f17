// Abstract event processors: the event-processing contract and its timer-aware
// refinement that owns a timer queue.
#pragma once

#include "OmbraAsyncEvent.h"

namespace Ombra {

class Timer;
class TimerQueue;

class AsyncEventProcessor {
  public:
    virtual ~AsyncEventProcessor() {}

    // Queues the event for the processor thread; callable from any thread.
    virtual bool PostEvent(AsyncEvent *event) = 0;
    // Runs the event's Process() and releases the processor's reference.
    virtual void ProcessEvent(AsyncEvent *event);
};

class AsyncEventTimerProcessor : public AsyncEventProcessor {
  public:
    AsyncEventTimerProcessor();
    // Deletes the timer queue together with the timers it still owns.
    ~AsyncEventTimerProcessor() override;

    // Processor thread only: queue and dequeue a timer.
    virtual bool ProcessStartTimer(Timer *timer);
    virtual bool ProcessStopTimer(Timer *timer);

    // A timer whose start or stop event was dropped unprocessed; the queue
    // keeps an AUTO_DELETE timer so that it is deleted with the queue.
    // Only while the processor thread is not running.
    void ReleaseTimer(Timer *timer);

    TimerQueue *GetTimerQueue() const { return m_pTimerQueue; }

  private:
    AsyncEventTimerProcessor(const AsyncEventTimerProcessor &) = delete;
    AsyncEventTimerProcessor &operator=(const AsyncEventTimerProcessor &) = delete;

    TimerQueue *m_pTimerQueue;
};

}  // namespace Ombra
