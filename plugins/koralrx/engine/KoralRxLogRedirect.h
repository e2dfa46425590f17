// Bridges the framework's facility logging to the host log.
#pragma once

#include "OmbraLogger.h"

namespace KORAL {

// Log device (facility "LRD") that writes each record's message to the host
// log at the record's level. Runs on the logger's writer thread.
class LogRedirectDevice : public Ombra::LogDevice {
  public:
    LogRedirectDevice();
    bool ProcessLogRecord(const Ombra::LogRecord &record) override;
};

}  // namespace KORAL
