#include "KoralRxRecordSettings.h"

#include "KoralRxConfigAttr.h"
#include "KoralRxLog.h"
#include "OmbraLogFacility.h"

namespace KORAL {

const char *const kDefaultWaveformBaseUri = "http://localhost/utterances";

namespace {

// The attributes both folders share; false when `name` is none of them.
bool LoadCommon(const char *name, const char *value, bool &purge_existing, long &max_file_age,
                long &max_file_count, std::string &file_prefix, std::string &file_ext,
                int &log_level) {
    if (NameIs(name, "purge-existing")) {
        LoadBoolAttr(name, value, purge_existing, KORAL_PLUGIN);
    } else if (NameIs(name, "max-file-age")) {
        // Minutes, 0 for no limit; bounded so that it stays within the
        // expiry timers' milliseconds.
        LoadIntAttr(name, value, 0, kMaxConfigNumber, max_file_age, KORAL_PLUGIN);
    } else if (NameIs(name, "max-file-count")) {
        LoadIntAttr(name, value, 0, kMaxConfigNumber, max_file_count, KORAL_PLUGIN);
    } else if (NameIs(name, "file-prefix")) {
        file_prefix = value;
    } else if (NameIs(name, "file-ext")) {
        file_ext = value;
    } else if (NameIs(name, "log-level")) {
        Ombra::LogLevel level = static_cast<Ombra::LogLevel>(log_level);
        if (Ombra::TranslateLogLevel(value, level)) {
            log_level = level;
        } else {
            apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                    "Unexpected Value <%s> for Attribute <%s>", value, name);
        }
    } else {
        return false;
    }
    return true;
}

}  // namespace

bool UtteranceSettings::Load(const apr_xml_elem *elem) {
    for (const apr_xml_attr *attr : XmlElemAttrs(elem)) {
        const char *name = attr->name;
        const char *value = attr->value;
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG,
                "Load Utterance Manager Attribute: %s = %s", name, value);
        if (NameIs(name, "save-waveforms")) {
            LoadBoolAttr(name, value, save_waveforms, KORAL_PLUGIN);
        } else if (NameIs(name, "waveform-folder")) {
            waveform_folder = value;
        } else if (NameIs(name, "waveform-base-uri")) {
            waveform_base_uri = value;
        } else if (!LoadCommon(name, value, purge_existing, max_file_age, max_file_count,
                               file_prefix, file_ext, log_level)) {
            apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                    "Unknown Utterance Manager Attribute <%s>", name);
        }
    }
    return true;
}

bool RdrSettings::Load(const apr_xml_elem *elem) {
    for (const apr_xml_attr *attr : XmlElemAttrs(elem)) {
        const char *name = attr->name;
        const char *value = attr->value;
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Load RDR Manager Attribute: %s = %s",
                name, value);
        if (NameIs(name, "save-records")) {
            LoadBoolAttr(name, value, save_records, KORAL_PLUGIN);
        } else if (NameIs(name, "record-folder")) {
            record_folder = value;
        } else if (!LoadCommon(name, value, purge_existing, max_file_age, max_file_count,
                               file_prefix, file_ext, log_level)) {
            apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                    "Unknown RDR Manager Attribute <%s>", name);
        }
    }
    return true;
}

}  // namespace KORAL
