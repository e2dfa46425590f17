#include "KoralRxGrammarXml.h"

#include "KoralRxConfigAttr.h"
#include "KoralRxLog.h"
#include "KoralRxXmlError.h"

namespace KORAL {

namespace {

// Follows a parse failure's warning with its reason and position.
void LogParserError(apr_xml_parser *parser, const char *text, size_t length) {
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "XML Parser Error: %s",
            XmlParserError(parser, text, length).c_str());
}

}  // namespace

apr_xml_doc *ParseXmlDocument(const char *text, size_t length, apr_pool_t *pool) {
    if (!text || length == 0) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "XML Content Emtpy");
        return nullptr;
    }
    if (length > kMaxXmlDocumentSize) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "XML Content Too Large [%zu]",
                length);
        return nullptr;
    }
    apr_xml_parser *parser = apr_xml_parser_create(pool);
    if (!parser) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Create XML Parser");
        return nullptr;
    }
    apr_xml_doc *doc = nullptr;
    if (apr_xml_parser_feed(parser, text, length) != APR_SUCCESS) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "Failed to feed XML Content to Parser");
        LogParserError(parser, text, length);
        // Finishing releases the underlying parser now rather than with the pool.
        apr_xml_parser_done(parser, nullptr);
        return nullptr;
    }
    if (apr_xml_parser_done(parser, &doc) != APR_SUCCESS) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Terminate XML parsing");
        LogParserError(parser, text, length);
        return nullptr;
    }
    if (!doc || !doc->root) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "No XML Root Element");
        return nullptr;
    }
    return doc;
}

bool XmlElemText(const apr_xml_elem *elem, std::string &text) {
    const apr_text *piece = elem->first_cdata.first;
    if (!piece) return false;
    text.clear();
    for (; piece; piece = piece->next) {
        if (piece->text) text += piece->text;
    }
    return !text.empty();
}

const char *XmlElemAttr(const apr_xml_elem *elem, const char *name) {
    // Newest first: the first match is the last one written.
    for (const apr_xml_attr *attr = elem->attr; attr; attr = attr->next) {
        if (NameIs(attr->name, name)) return attr->value;
    }
    return nullptr;
}

}  // namespace KORAL
