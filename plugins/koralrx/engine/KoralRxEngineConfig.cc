// Engine configuration: reading koralrx.xml and resolving its paths.
#include <apr_errno.h>
#include <apr_file_io.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "KoralRxConfigAttr.h"
#include "KoralRxEngine.h"
#include "KoralRxFileSearch.h"
#include "KoralRxLog.h"
#include "KoralRxSpeechContext.h"
#include "KoralRxXmlError.h"

namespace KORAL {

namespace {

// Largest configuration document read (16 MiB), far beyond any real one: a
// bigger file is refused before parsing rather than read without bound.
const apr_size_t kMaxConfigSize = apr_size_t{16} * 1024 * 1024;
// The file is read in blocks this size and parsed in one piece: expat parses
// a token split over many small pieces again from its start at each piece,
// which made a long comment cost time quadratic in its length.
const apr_size_t kReadBlockSize = apr_size_t{1024} * 1024;

// The whole file into `text`; false (with a warning) on a read error or when
// it exceeds kMaxConfigSize.
bool ReadConfigFile(apr_file_t *file, const char *path, std::string &text) {
    apr_finfo_t info;
    if (apr_file_info_get(&info, APR_FINFO_SIZE, file) == APR_SUCCESS && info.size >= 0)
        text.reserve(std::min(static_cast<apr_size_t>(info.size), kMaxConfigSize) + 1);
    std::vector<char> block(kReadBlockSize);
    apr_status_t rv = APR_SUCCESS;
    while (rv == APR_SUCCESS && text.size() <= kMaxConfigSize) {
        apr_size_t got = block.size();
        rv = apr_file_read(file, block.data(), &got);
        if (rv == APR_SUCCESS) text.append(block.data(), got);
    }
    if (rv != APR_SUCCESS && rv != APR_EOF) {
        char reason[128];
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Read Config File [%s]: %s",
                path, apr_strerror(rv, reason, sizeof(reason)));
        return false;
    }
    if (text.size() > kMaxConfigSize) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "Config File [%s] Too Large: more than %d bytes", path,
                static_cast<int>(kMaxConfigSize));
        return false;
    }
    return true;
}

}  // namespace

bool Engine::LoadConfig(const char *file_name, const char *doc_name, const apt_dir_layout_t *layout,
                        apr_pool_t *pool) {
    const char *path = apt_confdir_filepath_get(layout, file_name, pool);
    if (!path) return false;
    mpf_sdi_params_init(&m_DetectorParams);
    // Every value loaded is copied out of the document, so the document and
    // whatever parsing allocates go with a pool of their own.
    apr_pool_t *doc_pool = nullptr;
    if (apr_pool_create(&doc_pool, pool) != APR_SUCCESS) return false;
    apr_xml_doc *doc = ParseFile(path, doc_pool);
    bool loaded = doc && LoadDocument(doc_name, doc, doc_pool) && ValidateConfig(layout, doc_pool);
    apr_pool_destroy(doc_pool);
    return loaded;
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
    std::string text;
    bool read = ReadConfigFile(file, path, text);
    apr_file_close(file);
    if (!read) return nullptr;

    apr_xml_parser *parser = apr_xml_parser_create(pool);
    apr_xml_doc *doc = nullptr;
    apr_status_t rv = apr_xml_parser_feed(parser, text.data(), text.size());
    // Finishing also releases the underlying parser after a failed feed.
    apr_status_t done = apr_xml_parser_done(parser, rv == APR_SUCCESS ? &doc : nullptr);
    if (rv != APR_SUCCESS || done != APR_SUCCESS || !doc || !doc->root) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Parse Config File [%s]",
                path);
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "XML Parser Error: %s",
                XmlParserError(parser, text.data(), text.size()).c_str());
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
            apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Unknown Document Attribute <%s>",
                    attr->name);
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
    if (m_SubscriptionKeyFile.empty()) {
        // Resolved, it would name the data folder itself.
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "Missing Document Attribute <subscription-key-file>");
        return false;
    }
    if (!CheckFilePath(m_SubscriptionKeyFile, data_dir, pool)) return false;
    if (!m_StreamingSettings.tls_ca_file.empty() &&
        !CheckFilePath(m_StreamingSettings.tls_ca_file, data_dir, pool))
        return false;

    if (IsDirectory(m_SubscriptionKeyFile, pool)) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "Subscription Key File %s Is a Folder", m_SubscriptionKeyFile.c_str());
        return false;
    }
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
