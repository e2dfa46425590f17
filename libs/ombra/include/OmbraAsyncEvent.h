// Reference-counted unit of work handed to an event processor's thread.
#pragma once

#include <atomic>
#include <cstdint>

namespace Ombra {

class AsyncEvent {
  public:
    AsyncEvent() : m_RefCount(0) {}
    virtual ~AsyncEvent() {}

    // Runs on the processor thread.
    virtual void Process() = 0;

    // The creator calls Ref() once before posting; the processor calls
    // Unref() after processing (or when it drops the event unprocessed).
    void Ref();
    // Does nothing at 0; deletes the event when the count drops to 0.
    void Unref();
    uint32_t GetRefCount() const { return m_RefCount.load(); }

  private:
    AsyncEvent(const AsyncEvent &) = delete;
    AsyncEvent &operator=(const AsyncEvent &) = delete;

    std::atomic<uint32_t> m_RefCount;
};

}  // namespace Ombra
