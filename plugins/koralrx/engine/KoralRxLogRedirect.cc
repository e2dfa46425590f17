#include "KoralRxLogRedirect.h"

#include "KoralRxLog.h"

namespace KORAL {

LogRedirectDevice::LogRedirectDevice() : Ombra::LogDevice("LRD") {}

bool LogRedirectDevice::ProcessLogRecord(const Ombra::LogRecord &record) {
    // The message is an argument, never a format: records may hold '%'.
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, static_cast<apt_log_priority_e>(record.level), "%s",
            record.message.c_str());
    return true;
}

}  // namespace KORAL
