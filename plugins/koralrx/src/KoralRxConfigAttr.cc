#include "KoralRxConfigAttr.h"

#include <strings.h>

#include <cstdlib>

namespace KORAL {

bool NameIs(const char *name, const char *expected) {
    return name && expected && strcasecmp(name, expected) == 0;
}

bool LoadBoolAttr(const char *name, const char *value, bool &out,
                  const apt_log_source_t *source) {
    if (NameIs(value, "true")) {
        out = true;
        return true;
    }
    if (NameIs(value, "false")) {
        out = false;
        return true;
    }
    apt_log(source, APT_LOG_MARK, APT_PRIO_WARNING,
            "Unexpected Value <%s> for Boolean Attribute <%s>", value ? value : "", name);
    return false;
}

bool LoadEnumAttr(const char *name, const char *value, const char *const *words, int count,
                  int32_t &out, const apt_log_source_t *source) {
    for (int i = 0; i < count; ++i) {
        if (NameIs(value, words[i])) {
            out = i;
            return true;
        }
    }
    apt_log(source, APT_LOG_MARK, APT_PRIO_WARNING, "Unexpected Value <%s> for Attribute <%s>",
            value ? value : "", name);
    return false;
}

std::vector<const apr_xml_attr *> XmlElemAttrs(const apr_xml_elem *elem) {
    std::vector<const apr_xml_attr *> attrs;
    for (const apr_xml_attr *attr = elem->attr; attr; attr = attr->next) attrs.push_back(attr);
    return std::vector<const apr_xml_attr *>(attrs.rbegin(), attrs.rend());
}

int64_t LoadIntAttr(const char *value) {
    return value ? std::strtoll(value, nullptr, 10) : 0;
}

}  // namespace KORAL
