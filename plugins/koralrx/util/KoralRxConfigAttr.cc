#include "KoralRxConfigAttr.h"

#include <strings.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace KORAL {

bool NameIs(const char *name, const char *expected) {
    return name && expected && strcasecmp(name, expected) == 0;
}

bool LoadBoolAttr(const char *name, const char *value, bool &out, const apt_log_source_t *source) {
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

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The whole text as a base-10 integer; false for anything else.
bool ParseInt(const char *text, int64_t &result) {
    while (IsBlank(*text)) ++text;
    const char *digits = (*text == '+' || *text == '-') ? text + 1 : text;
    if (!std::isdigit(static_cast<unsigned char>(*digits))) return false;
    char *end = nullptr;
    errno = 0;
    long long parsed = std::strtoll(text, &end, 10);
    if (errno == ERANGE) return false;
    while (IsBlank(*end)) ++end;
    if (*end != '\0') return false;
    result = parsed;
    return true;
}

}  // namespace

bool LoadIntAttr(const char *name, const char *value, int64_t min, int64_t max, int64_t &out,
                 const apt_log_source_t *source) {
    int64_t parsed = 0;
    if (value && ParseInt(value, parsed) && parsed >= min && parsed <= max) {
        out = parsed;
        return true;
    }
    apt_log(source, APT_LOG_MARK, APT_PRIO_WARNING,
            "Unexpected Value <%s> for Numeric Attribute <%s>, Allowed Range [%lld..%lld], "
            "Keeping <%lld>",
            value ? value : "", name, static_cast<long long>(min), static_cast<long long>(max),
            static_cast<long long>(out));
    return false;
}

}  // namespace KORAL
