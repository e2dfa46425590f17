#include "KoralRxMonitoring.h"

#include <fstream>

#include "KoralRxConfigAttr.h"
#include "KoralRxLog.h"

namespace KORAL {

namespace {

// A priority number 0..7 or its name in any case; anything else warns and
// leaves `priority` unchanged (the host's translation would make it debug).
void LoadPriorityAttr(const char *name, const char *value, int32_t &priority) {
    apt_log_priority_e translated = apt_log_priority_translate(value);
    if (translated != APT_PRIO_DEBUG || NameIs(value, "debug") || NameIs(value, "7")) {
        priority = translated;
        return;
    }
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
            "Unexpected Value <%s> for Attribute <%s>", value ? value : "", name);
}

}  // namespace

bool LogStatementSettings::Load(const apr_xml_elem *elem) {
    for (const apr_xml_attr *attr : XmlElemAttrs(elem)) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Load Log Statement Attribute: %s = %s",
                attr->name, attr->value);
        if (NameIs(attr->name, "enable")) {
            LoadBoolAttr(attr->name, attr->value, enable, KORAL_PLUGIN);
        } else if (NameIs(attr->name, "priority")) {
            LoadPriorityAttr(attr->name, attr->value, priority);
        } else {
            apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                    "Unknown Log Statement Attribute <%s>", attr->name);
        }
    }
    return true;
}

bool StatusFileSettings::Load(const apr_xml_elem *elem) {
    for (const apr_xml_attr *attr : XmlElemAttrs(elem)) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Load Status File Attribute: %s = %s",
                attr->name, attr->value);
        if (NameIs(attr->name, "enable")) {
            LoadBoolAttr(attr->name, attr->value, enable, KORAL_PLUGIN);
        } else if (NameIs(attr->name, "status-file")) {
            status_file = attr->value;
        } else {
            apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                    "Unknown Status File Attribute <%s>", attr->name);
        }
    }
    return true;
}

bool MonitoringHandler::Load(const apr_xml_elem *elem) {
    for (const apr_xml_elem *child = elem->first_child; child; child = child->next) {
        if (NameIs(child->name, "log-usage")) {
            log_usage.Load(child);
        } else if (NameIs(child->name, "update-usage")) {
            update_usage.Load(child);
        } else if (NameIs(child->name, "dump-channels")) {
            dump_channels.Load(child);
        } else {
            apt_log(nullptr, APT_LOG_MARK, APT_PRIO_WARNING, "Unknown Element <%s> in <%s>",
                    child->name, elem->name);
        }
    }
    return true;
}

bool MonitoringSettings::Load(const apr_xml_elem *elem) {
    for (const apr_xml_attr *attr : XmlElemAttrs(elem)) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Load Monitoring Attribute: %s = %s",
                attr->name, attr->value);
        if (NameIs(attr->name, "refresh-period")) {
            // Seconds; the refresh timer takes it in milliseconds.
            LoadIntAttr(attr->name, attr->value, 1, kMaxConfigNumber, refresh_period, KORAL_PLUGIN);
        } else {
            apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                    "Unknown Monitoring Attribute <%s>", attr->name);
        }
    }
    for (const apr_xml_elem *child = elem->first_child; child; child = child->next) {
        if (NameIs(child->name, "usage-change-handler")) {
            usage_change_handler.Load(child);
        } else if (NameIs(child->name, "usage-refresh-handler")) {
            usage_refresh_handler.Load(child);
        } else {
            apt_log(nullptr, APT_LOG_MARK, APT_PRIO_WARNING, "Unknown Element <%s> in <%s>",
                    child->name, elem->name);
        }
    }
    return true;
}

namespace {

// Opens a status file for rewriting; false (with a warning) when it cannot be.
bool OpenStatusFile(const StatusFileSettings &settings, std::ofstream &out) {
    out.open(settings.status_file, std::ios::out | std::ios::trunc);
    if (out.is_open()) return true;
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Open Status File %s",
            settings.status_file.c_str());
    return false;
}

}  // namespace

void DumpUsage(const StatusFileSettings &settings, const UsageFigures &usage) {
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Update usage %s",
            settings.status_file.c_str());
    std::ofstream out;
    if (!OpenStatusFile(settings, out)) return;
    out << "in-use channels: " << usage.in_use << "\n"
        << "max used channels: " << usage.max_used << "\n"
        << "total channels: " << usage.total << "\n";
}

void DumpChannels(const StatusFileSettings &settings, const ChannelLister &channels) {
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Dump channels %s",
            settings.status_file.c_str());
    std::ofstream out;
    if (!OpenStatusFile(settings, out)) return;
    if (channels) channels(out);
}

void ReportUsage(const MonitoringHandler &handler, const UsageFigures &usage,
                 const ChannelLister &channels) {
    if (handler.log_usage.enable) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK,
                static_cast<apt_log_priority_e>(handler.log_usage.priority),
                "Koral Usage: %d/%d/%d", static_cast<int>(usage.in_use),
                static_cast<int>(usage.max_used), static_cast<int>(usage.total));
    }
    if (handler.update_usage.enable) DumpUsage(handler.update_usage, usage);
    if (handler.dump_channels.enable) DumpChannels(handler.dump_channels, channels);
}

}  // namespace KORAL
