// Usage monitoring: what the engine reports about its channel usage, and the
// settings (<monitoring-agent>) that choose it.
#pragma once

#include <apr_xml.h>

#include <cstdint>
#include <fstream>
#include <functional>
#include <string>

#include "apt_log.h"

namespace KORAL {

struct LogStatementSettings {
    bool enable = false;
    int32_t priority = APT_PRIO_NOTICE;

    bool Load(const apr_xml_elem *elem);
};

struct StatusFileSettings {
    bool enable = false;
    std::string status_file;

    bool Load(const apr_xml_elem *elem);
};

struct MonitoringHandler {
    LogStatementSettings log_usage;
    StatusFileSettings update_usage;
    StatusFileSettings dump_channels;

    bool Load(const apr_xml_elem *elem);
    bool AnyEnabled() const {
        return log_usage.enable || update_usage.enable || dump_channels.enable;
    }
};

struct MonitoringSettings {
    MonitoringHandler usage_change_handler;
    MonitoringHandler usage_refresh_handler;
    int64_t refresh_period = 60000;  // seconds

    bool Load(const apr_xml_elem *elem);
};

struct UsageFigures {
    uint64_t in_use = 0;
    uint64_t max_used = 0;
    uint64_t total = 0;
};

// Writes the open channels' lines, one per channel, to the stream it is given.
using ChannelLister = std::function<void(std::ofstream &)>;

// Runs one usage report with `handler`: log line, usage file, channels file.
void ReportUsage(const MonitoringHandler &handler, const UsageFigures &usage,
                 const ChannelLister &channels);
void DumpUsage(const StatusFileSettings &settings, const UsageFigures &usage);
void DumpChannels(const StatusFileSettings &settings, const ChannelLister &channels);

}  // namespace KORAL
