// Shared helpers of the Ombra tests: a processor pumped by hand, a settable
// clock, a log record sink, and events that run a function.
#pragma once

#include <apr_time.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "OmbraAsyncEventProcessor.h"
#include "OmbraLogger.h"
#include "OmbraTimerQueue.h"

namespace KoralTest {

// Timer processor whose events run only when the test pumps them, on the
// test's thread.
class ManualProcessor : public Ombra::AsyncEventTimerProcessor {
  public:
    ~ManualProcessor() override {
        // Like a processor that ends with events still queued.
        for (Ombra::AsyncEvent *event : m_Events) event->Unref();
    }
    bool PostEvent(Ombra::AsyncEvent *event) override {
        std::lock_guard<std::mutex> guard(m_Guard);
        m_Events.push_back(event);
        return true;
    }
    // Runs queued events (including those they post) until none is left.
    size_t Pump() {
        size_t count = 0;
        for (;; count++) {
            Ombra::AsyncEvent *event;
            {
                std::lock_guard<std::mutex> guard(m_Guard);
                if (m_Events.empty()) return count;
                event = m_Events.front();
                m_Events.pop_front();
            }
            ProcessEvent(event);
        }
    }

  private:
    std::mutex m_Guard;
    std::deque<Ombra::AsyncEvent *> m_Events;
};

// Absolute time the test sets; starts at a realistic epoch value.
class FakeClock {
  public:
    apr_time_t Now() const { return m_Now.load(); }
    void AdvanceMs(int64_t ms) { m_Now.fetch_add(ms * 1000); }
    void AdvanceUs(int64_t us) { m_Now.fetch_add(us); }
    Ombra::TimerQueue::Clock Source() {
        return [this]() { return Now(); };
    }

  private:
    std::atomic<apr_time_t> m_Now{apr_time_from_sec(1700000000)};
};

// Records (with the device that wrote them) and device open, close and
// deletion notes seen by capture devices, read by the test.
class LogSink {
  public:
    void Add(const std::string &device, const Ombra::LogRecord &record) {
        std::lock_guard<std::mutex> guard(m_Guard);
        m_Records.push_back(record);
        m_Devices.push_back(device);
    }
    void Note(const std::string &what) {
        std::lock_guard<std::mutex> guard(m_Guard);
        m_Notes.push_back(what);
    }
    std::vector<Ombra::LogRecord> Records() { return Copy(m_Records); }
    std::vector<std::string> Devices() { return Copy(m_Devices); }
    std::vector<std::string> Notes() { return Copy(m_Notes); }
    // True if some record has exactly this message at this level.
    bool Has(Ombra::LogLevel level, const std::string &message) {
        for (const Ombra::LogRecord &record : Records()) {
            if (record.level == level && record.message == message) return true;
        }
        return false;
    }

  private:
    template <class T>
    T Copy(const T &member) {
        std::lock_guard<std::mutex> guard(m_Guard);
        return member;
    }
    std::mutex m_Guard;
    std::vector<Ombra::LogRecord> m_Records;
    std::vector<std::string> m_Devices, m_Notes;
};

// Device that copies every record into a sink and notes its open, close and
// deletion there.
class CaptureDevice : public Ombra::LogDevice {
  public:
    CaptureDevice(const std::string &name, LogSink &sink) : Ombra::LogDevice(name), m_Sink(sink) {}
    ~CaptureDevice() override { m_Sink.Note("delete " + GetFacility().GetName()); }
    bool Open() override {
        m_Sink.Note("open " + GetFacility().GetName());
        return true;
    }
    bool Close() override {
        m_Sink.Note("close " + GetFacility().GetName());
        return true;
    }
    bool ProcessLogRecord(const Ombra::LogRecord &record) override {
        m_Sink.Add(GetFacility().GetName(), record);
        return true;
    }

  private:
    LogSink &m_Sink;
};

// Runs a function on the processor thread.
class CallEvent : public Ombra::AsyncEvent {
  public:
    explicit CallEvent(std::function<void()> call) : m_Call(std::move(call)) {}
    void Process() override { m_Call(); }

  private:
    std::function<void()> m_Call;
};

// Posts an event holding the one reference the processor releases.
inline bool Post(Ombra::AsyncEventProcessor &processor, Ombra::AsyncEvent *event) {
    event->Ref();
    return processor.PostEvent(event);
}

// Polls until the condition holds or a generous deadline passes.
inline bool WaitUntil(const std::function<bool()> &condition, int timeoutMs = 10000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace KoralTest
