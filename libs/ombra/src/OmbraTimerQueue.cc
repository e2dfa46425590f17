#include "OmbraTimerQueue.h"

#include <algorithm>
#include <iterator>
#include <limits>

#include "OmbraTimer.h"

namespace Ombra {

namespace {

int64_t AddSaturated(int64_t a, int64_t b) {
    int64_t sum;
    if (__builtin_add_overflow(a, b, &sum)) return std::numeric_limits<int64_t>::max();
    return sum;
}

}  // namespace

TimerQueue::TimerQueue() : m_Elapsed(0), m_Last(0) {}

TimerQueue::~TimerQueue() {
    for (Timer *timer : m_Timers) {
        if (timer->GetLifeTime() == Timer::AUTO_DELETE)
            m_Owned.insert(timer);
        else
            timer->SetExpiry(0);
    }
    m_Timers.clear();
    for (Timer *timer : m_Owned) delete timer;
    m_Owned.clear();
}

bool TimerQueue::AddTimer(Timer *timer) {
    if (!timer) return false;
    if (timer->GetLifeTime() == Timer::AUTO_DELETE) m_Owned.insert(timer);
    // A zero timeout is never queued; a negative one would make a periodic
    // timer due again at once, forever.
    if (timer->GetTimeout() < 1 || !timer->GetHandler()) return false;

    Unlink(timer);
    timer->SetExpiry(AddSaturated(m_Elapsed, timer->GetTimeout()));
    Insert(timer);
    timer->GetHandler()->OnTimerStarted(timer);
    return true;
}

void TimerQueue::Insert(Timer *timer) {
    if (m_Timers.empty()) {
        m_Timers.push_back(timer);
        m_Last = Now();
        return;
    }
    int64_t expiry = timer->GetExpiry();
    if (expiry >= m_Timers.back()->GetExpiry()) {
        m_Timers.push_back(timer);
        return;
    }
    // Walk back to the first timer due no later, so that equal expiries keep
    // their insertion order.
    auto pos = m_Timers.end();
    while (pos != m_Timers.begin()) {
        auto prev = std::prev(pos);
        if ((*prev)->GetExpiry() <= expiry) break;
        pos = prev;
    }
    m_Timers.insert(pos, timer);
}

bool TimerQueue::Unlink(Timer *timer) {
    auto it = std::find(m_Timers.begin(), m_Timers.end(), timer);
    if (it == m_Timers.end()) return false;
    m_Timers.erase(it);
    return true;
}

void TimerQueue::Rebase() {
    for (auto it = m_Timers.rbegin(); it != m_Timers.rend(); ++it) {
        Timer *timer = *it;
        if (timer->GetExpiry() > m_Elapsed)
            timer->SetExpiry(timer->GetExpiry() - m_Elapsed);
        else
            timer->SetExpiry(0);
    }
    m_Elapsed = 0;
}

bool TimerQueue::Advance() {
    if (m_Timers.empty()) return true;

    apr_time_t now = Now();
    if (now < m_Last) return false;
    // Only whole milliseconds are taken; the remainder stays in m_Last so that
    // frequent calls still add up.
    int64_t delta = (now - m_Last) / 1000;
    m_Elapsed = AddSaturated(m_Elapsed, delta);
    m_Last += delta * 1000;

    if (m_Elapsed > kRebaseThreshold) Rebase();

    while (!m_Timers.empty() && m_Timers.front()->GetExpiry() <= m_Elapsed) {
        Timer *timer = m_Timers.front();
        m_Timers.pop_front();
        timer->SetExpiry(0);
        if (timer->IsStopping()) continue;  // its stop request removes it

        if (timer->GetType() == Timer::PERIODIC) {
            timer->GetHandler()->OnTimeoutElapsed(timer);
            timer->SetExpiry(AddSaturated(m_Elapsed, timer->GetTimeout()));
            Insert(timer);
        } else {
            timer->SetStarted(false);
            // A fired one-shot timer is its owner's to delete or restart; it
            // may be gone once the callback returns.
            m_Owned.erase(timer);
            timer->GetHandler()->OnTimeoutElapsed(timer);
        }
    }
    if (m_Timers.empty()) m_Elapsed = 0;
    return true;
}

int64_t TimerQueue::GetTimeout() const {
    if (m_Timers.empty() || !m_Timers.front()) return 0;
    return m_Timers.front()->GetExpiry() - m_Elapsed;
}

bool TimerQueue::RemoveTimer(Timer *timer) {
    if (!timer) return false;
    if (Unlink(timer)) timer->SetExpiry(0);
    timer->SetStarted(false);
    timer->SetStopping(false);
    // Read before the callback: an owner may delete its own timer there.
    bool autoDelete = timer->GetLifeTime() == Timer::AUTO_DELETE;
    if (timer->GetHandler()) timer->GetHandler()->OnTimerStopped(timer);
    if (autoDelete) {
        m_Owned.erase(timer);
        delete timer;
    }
    if (m_Timers.empty()) m_Elapsed = 0;
    return true;
}

void TimerQueue::AdoptTimer(Timer *timer) {
    if (timer && timer->GetLifeTime() == Timer::AUTO_DELETE) m_Owned.insert(timer);
}

}  // namespace Ombra
