#include "KoralRxClientEvents.h"

#include "KoralRxClient.h"

namespace KORAL {

void AuthEvent::Process() { m_Client->InitAuth(); }

void ShutdownEvent::Process() { m_Client->ProcessShutdown(); }

}  // namespace KORAL
