#include "KoralRxChannelEvents.h"

#include "KoralRxChannel.h"

namespace KORAL {

void ChannelEvent::Process() { m_Channel->ProcessEvent(this); }

}  // namespace KORAL
