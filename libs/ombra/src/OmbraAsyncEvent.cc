#include "OmbraAsyncEvent.h"

namespace Ombra {

void AsyncEvent::Ref() { m_RefCount.fetch_add(1); }

void AsyncEvent::Unref() {
    // Compare-and-swap so that a count already at 0 is never wrapped around.
    uint32_t count = m_RefCount.load();
    while (count != 0) {
        if (m_RefCount.compare_exchange_weak(count, count - 1)) {
            if (count == 1) delete this;
            return;
        }
    }
}

}  // namespace Ombra
