#include "OmbraAsyncEventProcessor.h"

#include "OmbraTimerQueue.h"

namespace Ombra {

void AsyncEventProcessor::ProcessEvent(AsyncEvent *event) {
    event->Process();
    event->Unref();
}

AsyncEventTimerProcessor::AsyncEventTimerProcessor() : m_pTimerQueue(new TimerQueue()) {}

AsyncEventTimerProcessor::~AsyncEventTimerProcessor() { delete m_pTimerQueue; }

bool AsyncEventTimerProcessor::ProcessStartTimer(Timer *timer) {
    return m_pTimerQueue->AddTimer(timer);
}

bool AsyncEventTimerProcessor::ProcessStopTimer(Timer *timer) {
    return m_pTimerQueue->RemoveTimer(timer);
}

void AsyncEventTimerProcessor::ReleaseTimer(Timer *timer) { m_pTimerQueue->AdoptTimer(timer); }

}  // namespace Ombra
