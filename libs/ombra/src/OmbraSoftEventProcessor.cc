#include "OmbraSoftEventProcessor.h"

#include <pthread.h>

#include <cstdio>

#include "OmbraTimerQueue.h"

namespace Ombra {

namespace {

// Burst length after which queued timers are serviced even though events keep
// arriving.
const int kEventBurst = 10;
// Longest single wait on the condition; a later wake just re-checks the timers.
const int64_t kMaxWaitMs = int64_t{3600} * 1000;

}  // namespace

SoftEventProcessor::SoftEventProcessor(const char *name)
    : m_Name(name),
      m_pPool(nullptr),
      m_pThread(nullptr),
      m_pCond(nullptr),
      m_pMutex(nullptr),
      m_Waiting(false),
      m_Running(false) {}

SoftEventProcessor::~SoftEventProcessor() {
    // Deleting with the thread still running would leave it on freed memory.
    if (m_pThread) Shutdown(true);
    m_Observers.clear();
    DropEvents();
}

bool SoftEventProcessor::PostEvent(AsyncEvent *event) {
    if (!event) return false;
    if (!m_pMutex) {
        m_Events.push_back(event);
        return true;
    }
    apr_thread_mutex_lock(m_pMutex);
    m_Events.push_back(event);
    if (m_Waiting) apr_thread_cond_signal(m_pCond);
    apr_thread_mutex_unlock(m_pMutex);
    return true;
}

bool SoftEventProcessor::Start() {
    if (m_pThread) return false;
    if (apr_pool_create(&m_pPool, nullptr) != APR_SUCCESS) {
        m_pPool = nullptr;
        Cleanup();
        return false;
    }
    if (apr_thread_mutex_create(&m_pMutex, APR_THREAD_MUTEX_DEFAULT, m_pPool) != APR_SUCCESS ||
        apr_thread_cond_create(&m_pCond, m_pPool) != APR_SUCCESS ||
        apr_thread_create(&m_pThread, nullptr, EventProcessorFunc, this, m_pPool) != APR_SUCCESS) {
        Cleanup();
        return false;
    }
    return true;
}

bool SoftEventProcessor::Shutdown(bool wait) {
    if (!m_pThread) return false;
    AsyncEvent *event = new ExitEvent(this);
    event->Ref();
    PostEvent(event);
    if (wait) WaitForShutdown();
    return true;
}

bool SoftEventProcessor::WaitForShutdown() {
    if (m_pThread) {
        apr_status_t status;
        apr_thread_join(&status, m_pThread);
        m_pThread = nullptr;
    }
    Cleanup();
    return true;
}

bool SoftEventProcessor::ProcessShutdown() {
    m_Running = false;
    return true;
}

bool SoftEventProcessor::OnStart() {
    for (Observer *observer : m_Observers) {
        if (!observer->OnStart(this)) return false;
    }
    return true;
}

void SoftEventProcessor::OnShutdown() {
    for (Observer *observer : m_Observers) observer->OnShutdown(this);
}

void SoftEventProcessor::Cleanup() {
    if (m_pPool) apr_pool_destroy(m_pPool);
    m_pPool = nullptr;
    m_pThread = nullptr;
    m_pCond = nullptr;
    m_pMutex = nullptr;
    DropEvents();
}

void SoftEventProcessor::DropEvents() {
    while (!m_Events.empty()) {
        AsyncEvent *event = m_Events.front();
        m_Events.pop_front();
        event->Unref();
    }
}

bool SoftEventProcessor::HasTimers() const { return !GetTimerQueue()->IsEmpty(); }

void *APR_THREAD_FUNC SoftEventProcessor::EventProcessorFunc(apr_thread_t *thread, void *data) {
    static_cast<SoftEventProcessor *>(data)->RunEventLoop();
    apr_thread_exit(thread, APR_SUCCESS);
    return nullptr;
}

void SoftEventProcessor::RunEventLoop() {
    char name[16];
    snprintf(name, sizeof(name), "%s", m_Name ? m_Name : "ombra-events");
    pthread_setname_np(pthread_self(), name);
    if (!OnStart()) return;

    TimerQueue *timers = GetTimerQueue();
    m_Running = true;
    int burst = 0;
    while (m_Running) {
        ++burst;
        apr_thread_mutex_lock(m_pMutex);
        if (m_Events.empty()) {
            m_Waiting = true;
            apr_status_t rv;
            if (HasTimers()) {
                // An overdue timer gives a zero or negative timeout: do not
                // block at all then.
                int64_t ms = timers->GetTimeout();
                if (ms < 0) ms = 0;
                if (ms > kMaxWaitMs) ms = kMaxWaitMs;
                rv = apr_thread_cond_timedwait(m_pCond, m_pMutex, ms * 1000);
            } else {
                rv = apr_thread_cond_wait(m_pCond, m_pMutex);
            }
            m_Waiting = false;
            if (rv != APR_SUCCESS && !APR_STATUS_IS_TIMEUP(rv)) {
                burst = 0;
                apr_thread_mutex_unlock(m_pMutex);
                continue;
            }
            if (HasTimers()) {
                apr_thread_mutex_unlock(m_pMutex);
                timers->Advance();
                apr_thread_mutex_lock(m_pMutex);
            }
            burst = 1;
            if (m_Events.empty()) {
                burst = 0;
                apr_thread_mutex_unlock(m_pMutex);
                continue;
            }
        }
        AsyncEvent *event = m_Events.front();
        m_Events.pop_front();
        apr_thread_mutex_unlock(m_pMutex);

        ProcessEvent(event);

        if (burst > kEventBurst && HasTimers()) {
            burst = 0;
            timers->Advance();
        }
    }
    OnShutdown();
}

}  // namespace Ombra
