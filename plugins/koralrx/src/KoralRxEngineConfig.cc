// Engine configuration: reading koralrx.xml and resolving its paths.
#include <apr_file_io.h>

#include <cstring>

#include "KoralRxConfigAttr.h"
#include "KoralRxEngine.h"
#include "KoralRxFileSearch.h"
#include "KoralRxLog.h"
#include "KoralRxSpeechContext.h"

namespace KORAL {

namespace {
const apr_size_t kParseBufferSize = 2000;
}  // namespace

bool Engine::LoadConfig(const char *file_name, const char *doc_name,
                        const apt_dir_layout_t *layout, apr_pool_t *pool) {
    const char *path = apt_confdir_filepath_get(layout, file_name, pool);
    if (!path) return false;
    mpf_sdi_params_init(&m_DetectorParams);
    apr_xml_doc *doc = ParseFile(path, pool);
    if (!doc) return false;
    if (!LoadDocument(doc_name, doc, pool)) return false;
    return ValidateConfig(layout, pool);
}

apr_xml_doc *Engine::ParseFile(const char *path, apr_pool_t *pool) {
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_NOTICE, "Open Config File [%s]", path);
    apr_file_t *file = nullptr;
    if (apr_file_open(&file, path, APR_FOPEN_READ | APR_FOPEN_BINARY, APR_OS_DEFAULT, pool) !=
        APR_SUCCESS) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Open Config File [%s]",
                path);
        return nullptr;
    }
    apr_xml_parser *parser = nullptr;
    apr_xml_doc *doc = nullptr;
    apr_status_t rv = apr_xml_parse_file(pool, &parser, &doc, file, kParseBufferSize);
    apr_file_close(file);
    if (rv != APR_SUCCESS || !doc || !doc->root) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Parse Config File [%s]",
                path);
        return nullptr;
    }
    return doc;
}

bool Engine::LoadDocument(const char *name, const apr_xml_doc *doc, apr_pool_t *pool) {
    const apr_xml_elem *root = doc->root;
    if (!root || !root->name || strcmp(root->name, name) != 0) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Unknown Document");
        return false;
    }
    for (const apr_xml_attr *attr : XmlElemAttrs(root)) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Load Document Attribute: %s = %s",
                attr->name, attr->value);
        if (NameIs(attr->name, "subscription-key-file")) {
            m_SubscriptionKeyFile = attr->value;
        } else {
            apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                    "Unknown Document Attribute <%s>", attr->name);
        }
    }
    for (const apr_xml_elem *elem = root->first_child; elem; elem = elem->next) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Loading Element %s", elem->name);
        LoadElement(elem, pool);
    }
    return true;
}

bool Engine::LoadElement(const apr_xml_elem *elem, apr_pool_t *pool) {
    const char *name = elem->name;
    if (NameIs(name, "ws-streaming-recognition")) return m_StreamingSettings.Load(elem);
    if (NameIs(name, "speech-contexts")) {
        LoadSpeechContexts(elem);
        return true;
    }
    if (NameIs(name, "utterance-manager")) return m_UtteranceSettings.Load(elem);
    if (NameIs(name, "rdr-manager")) return m_RdrSettings.Load(elem);
    if (NameIs(name, "speech-dtmf-input-detector"))
        return mpf_sdi_params_load(&m_DetectorParams, elem, pool) == TRUE;
    if (NameIs(name, "monitoring-agent")) return m_MonitoringSettings.Load(elem);
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Unknown Element <%s>", name);
    return false;
}

void Engine::LoadSpeechContexts(const apr_xml_elem *elem) {
    for (const apr_xml_elem *child = elem->first_child; child; child = child->next) {
        if (!NameIs(child->name, "speech-context")) {
            apt_log(nullptr, APT_LOG_MARK, APT_PRIO_WARNING,
                    "Unknown Element <%s> in Speech Contexts", child->name);
            continue;
        }
        SpeechContext *context = new SpeechContext();
        if (!context->Load(child) || m_SpeechContexts.count(context->name)) {
            delete context;
            continue;
        }
        m_SpeechContexts[context->name] = context;
    }
}

bool Engine::ValidateConfig(const apt_dir_layout_t *layout, apr_pool_t *pool) {
    const char *var_dir = apt_dir_layout_path_get(layout, APT_LAYOUT_VAR_DIR);
    const char *status_dir = apt_vardir_filepath_get(layout, "status", pool);
    const char *data_dir = apt_dir_layout_path_get(layout, APT_LAYOUT_DATA_DIR);
    if (!var_dir || !status_dir || !data_dir) return false;

    if (!CheckDirPath(m_UtteranceSettings.waveform_folder, var_dir, pool)) return false;
    if (!CheckDirPath(m_RdrSettings.record_folder, var_dir, pool)) return false;
    if (!CheckFilePath(m_SubscriptionKeyFile, data_dir, pool)) return false;
    if (!m_StreamingSettings.tls_ca_file.empty() &&
        !CheckFilePath(m_StreamingSettings.tls_ca_file, data_dir, pool))
        return false;

    if (!IsRegularFile(m_SubscriptionKeyFile, pool)) {
        std::string found;
        if (!file_search(found, m_SubscriptionKeyFile, pool)) {
            apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                    "Failed to Find Subscription Key File %s", m_SubscriptionKeyFile.c_str());
            return false;
        }
        m_SubscriptionKeyFile = found;
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_NOTICE, "Determined Subscription Key File %s",
                m_SubscriptionKeyFile.c_str());
    }

    MonitoringHandler *handlers[] = {&m_MonitoringSettings.usage_change_handler,
                                     &m_MonitoringSettings.usage_refresh_handler};
    for (MonitoringHandler *handler : handlers) {
        for (StatusFileSettings *file : {&handler->update_usage, &handler->dump_channels}) {
            if (file->enable && !CheckFilePath(file->status_file, status_dir, pool)) return false;
        }
    }
    return true;
}

}  // namespace KORAL
