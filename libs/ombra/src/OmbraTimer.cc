#include "OmbraTimer.h"

#include <algorithm>

#include "OmbraAsyncEventProcessor.h"

namespace Ombra {

Timer::Timer(TimerHandler *handler, int64_t timeout, Type type, LifeTime lifetime)
    : m_pHandler(handler),
      m_Timeout(timeout),
      m_Type(type),
      m_Expiry(0),
      m_pProcessor(nullptr),
      m_Started(false),
      m_Stopping(false),
      m_LifeTime(lifetime) {}

Timer::~Timer() {
    std::lock_guard<std::mutex> guard(m_EventGuard);
    for (TimerEvent *event : m_PendingEvents) event->Detach();
    m_PendingEvents.clear();
}

bool Timer::Start(AsyncEventTimerProcessor *processor) {
    if (!processor) return false;
    TimerEvent *event;
    {
        std::lock_guard<std::mutex> guard(m_EventGuard);
        if (m_Started.load()) return false;
        m_pProcessor.store(processor);
        m_Started.store(true);
        event = new StartTimerEvent(this);
        m_PendingEvents.push_back(event);
    }
    return Deliver(processor, event);
}

bool Timer::Stop() {
    AsyncEventTimerProcessor *processor;
    TimerEvent *event;
    {
        std::lock_guard<std::mutex> guard(m_EventGuard);
        processor = m_pProcessor.load();
        if (!processor || m_Stopping.load()) return false;
        m_Stopping.store(true);
        event = new StopTimerEvent(this);
        m_PendingEvents.push_back(event);
    }
    return Deliver(processor, event);
}

// Posted outside the guard: a processor may run the event before PostEvent
// returns, and processing takes the guard.
bool Timer::Deliver(AsyncEventTimerProcessor *processor, TimerEvent *event) {
    event->Ref();
    if (processor->PostEvent(event)) return true;
    if (event->Detach()) Untrack(event);
    event->Unref();
    return false;
}

void Timer::Untrack(TimerEvent *event) {
    std::lock_guard<std::mutex> guard(m_EventGuard);
    auto it = std::find(m_PendingEvents.begin(), m_PendingEvents.end(), event);
    if (it != m_PendingEvents.end()) m_PendingEvents.erase(it);
}

TimerEvent::~TimerEvent() {
    Timer *timer = Detach();
    if (!timer) return;
    timer->Untrack(this);
    AsyncEventTimerProcessor *processor = timer->GetProcessor();
    if (processor) processor->ReleaseTimer(timer);
}

Timer *TimerEvent::Claim() {
    Timer *timer = Detach();
    if (timer) timer->Untrack(this);
    return timer;
}

void StartTimerEvent::Process() {
    Timer *timer = Claim();
    if (!timer) return;
    AsyncEventTimerProcessor *processor = timer->GetProcessor();
    if (processor) processor->ProcessStartTimer(timer);
}

void StopTimerEvent::Process() {
    Timer *timer = Claim();
    if (!timer) return;
    AsyncEventTimerProcessor *processor = timer->GetProcessor();
    if (processor) processor->ProcessStopTimer(timer);
}

}  // namespace Ombra
