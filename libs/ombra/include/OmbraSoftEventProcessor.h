// Worker thread with a FIFO queue of events and a queue of timers serviced on
// the same thread.
#pragma once

#include <apr_pools.h>
#include <apr_thread_cond.h>
#include <apr_thread_mutex.h>
#include <apr_thread_proc.h>

#include <deque>
#include <vector>

#include "OmbraAsyncEventProcessor.h"

namespace Ombra {

// Usage: construct, add observers, Start(), PostEvent() from any thread while
// started, Shutdown(true), delete.
class SoftEventProcessor : public AsyncEventTimerProcessor {
  public:
    class Observer {
      public:
        virtual ~Observer() {}
        // First thing on the processor thread; false ends the thread at once.
        virtual bool OnStart(SoftEventProcessor *processor) { return true; }
        // Last thing on the processor thread after the exit event.
        virtual void OnShutdown(SoftEventProcessor *processor) {}
    };

    // name: the thread's name as tools like top and perf show it (at most 15
    // characters are kept).
    explicit SoftEventProcessor(const char *name = "ombra-events");
    // Shuts a thread still running down first, then drops every event still
    // queued and deletes the timers the queue owns.
    ~SoftEventProcessor() override;

    // Never refuses: an event posted before Start or after the loop ended is
    // dropped unprocessed by the next cleanup.
    bool PostEvent(AsyncEvent *event) override;

    // Creates the pool, mutex, condition and thread; does not wait for the
    // thread to run.
    virtual bool Start();
    // Posts the exit event behind everything already queued; with wait, also
    // joins the thread and cleans up. False when there is no thread.
    virtual bool Shutdown(bool wait);
    // Joins the thread and cleans up. Not from the processor thread.
    virtual bool WaitForShutdown();
    // Processor thread: ends the event loop after the current event.
    virtual bool ProcessShutdown();
    virtual bool OnStart();
    virtual void OnShutdown();

    // Observers are not owned; add them before Start.
    void AddObserver(Observer *observer) { m_Observers.push_back(observer); }

  private:
    SoftEventProcessor(const SoftEventProcessor &) = delete;
    SoftEventProcessor &operator=(const SoftEventProcessor &) = delete;

    static void *APR_THREAD_FUNC EventProcessorFunc(apr_thread_t *thread, void *data);
    void RunEventLoop();
    void Cleanup();
    void DropEvents();
    bool HasTimers() const;

    const char *m_Name;
    apr_pool_t *m_pPool;
    apr_thread_t *m_pThread;
    apr_thread_cond_t *m_pCond;
    apr_thread_mutex_t *m_pMutex;
    std::deque<AsyncEvent *> m_Events;  // guarded by m_pMutex while it exists
    bool m_Waiting;                     // guarded by m_pMutex
    bool m_Running;                     // processor thread only
    std::vector<Observer *> m_Observers;
};

// Ends the event loop of its processor.
class ExitEvent : public AsyncEvent {
  public:
    explicit ExitEvent(SoftEventProcessor *processor) : m_pProcessor(processor) {}
    void Process() override { m_pProcessor->ProcessShutdown(); }

  private:
    SoftEventProcessor *m_pProcessor;
};

}  // namespace Ombra
