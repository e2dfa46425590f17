#include "KoralRxSpeechContext.h"

#include <strings.h>

#include <cstdlib>
#include <iterator>

#include "KoralRxConfigAttr.h"
#include "KoralRxGrammarXml.h"
#include "KoralRxLog.h"

namespace KORAL {

namespace {

const char *const kScopeWords[] = {"hint", "strict"};

bool KeyStartsWith(const std::string &key, const char *prefix, size_t length) {
    return key.size() >= length && strncasecmp(key.c_str(), prefix, length) == 0;
}

}  // namespace

std::string PhraseKey(const std::string &text) {
    // ASCII only, whatever the process locale: texts are UTF-8.
    std::string key(text);
    for (char &c : key) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return key;
}

bool SpeechContext::Load(const apr_xml_elem *elem) {
    enabled = true;
    tagged = false;
    LoadAttribs(elem);
    if (!enabled) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Skip Disabled Speech Context <%s>",
                name.c_str());
        return false;
    }
    if (name.empty()) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Missing Speech Context Id");
        return false;
    }
    if (!LoadPhrases(elem)) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Error in Loading Phrases");
        return false;
    }
    configured = true;
    return true;
}

bool SpeechContext::LoadAttribs(const apr_xml_elem *elem) {
    bool speech_complete_given = false;
    for (const apr_xml_attr *attr : XmlElemAttrs(elem)) {
        const char *attr_name = attr->name;
        const char *value = attr->value ? attr->value : "";
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG,
                "Load Speech Context Attribute: %s = %s", attr_name, value);
        if (NameIs(attr_name, "id")) {
            name = value;
        } else if (NameIs(attr_name, "language")) {
            language = value;
        } else if (NameIs(attr_name, "enable")) {
            LoadBoolAttr(attr_name, value, enabled, KORAL_PLUGIN);
        } else if (NameIs(attr_name, "speech-complete")) {
            if (LoadBoolAttr(attr_name, value, speech_complete, KORAL_PLUGIN))
                speech_complete_given = true;
        } else if (NameIs(attr_name, "scope")) {
            int32_t index = 0;
            if (LoadEnumAttr(attr_name, value, kScopeWords, 2, index, KORAL_PLUGIN))
                scope = index == 0 ? SCOPE_HINT : SCOPE_STRICT;
        } else {
            apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                    "Unknown Speech Context Attribute <%s>", attr_name);
        }
    }
    if (!speech_complete_given) speech_complete = scope == SCOPE_STRICT;
    return true;
}

bool SpeechContext::LoadPhrases(const apr_xml_elem *elem) {
    for (const apr_xml_elem *child = elem->first_child; child; child = child->next) {
        if (NameIs(child->name, "phrase")) {
            LoadPhrase(child);
        } else {
            apt_log(nullptr, APT_LOG_MARK, APT_PRIO_WARNING,
                    "Unknown Element <%s> in Speech Context <%s>", child->name, name.c_str());
        }
    }
    return true;
}

bool SpeechContext::LoadPhrase(const apr_xml_elem *elem) {
    std::string phrase;
    if (!XmlElemText(elem, phrase)) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG,
                "Skip Empty Phrase in Speech Context [%s]", name.c_str());
        return false;
    }
    std::string tag;
    for (const apr_xml_attr *attr : XmlElemAttrs(elem)) {
        const char *value = attr->value ? attr->value : "";
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Load Phrase Attribute: %s = %s",
                attr->name, value);
        if (NameIs(attr->name, "tag")) {
            tag = value;
            tagged = true;
        } else {
            apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Unknown Phrase Attribute <%s>",
                    attr->name);
        }
    }
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Add Phrase [%s] to Speech Context [%s]",
            phrase.c_str(), name.c_str());
    return AddPhrase(phrase, tag);
}

bool SpeechContext::AddPhrase(const std::string &phrase, const std::string &tag) {
    if (!phrases.emplace(PhraseKey(phrase), Value{phrase, tag}).second) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG,
                "Skip Duplicate Phrase [%s] in Speech Context [%s]", phrase.c_str(), name.c_str());
        return false;
    }
    return true;
}

bool SpeechContext::LoadSrgsRules(const apr_xml_elem *grammar_elem, const std::string &root) {
    for (const apr_xml_elem *child = grammar_elem->first_child; child; child = child->next) {
        if (NameIs(child->name, "rule")) LoadSrgsRule(child, root);
    }
    return true;
}

bool SpeechContext::LoadSrgsRule(const apr_xml_elem *rule_elem, const std::string &root) {
    const char *id = XmlElemAttr(rule_elem, "id");
    if (root != (id ? id : "")) return true;
    for (const apr_xml_elem *child = rule_elem->first_child; child; child = child->next) {
        if (NameIs(child->name, "one-of")) LoadSrgsOneOf(child);
    }
    return true;
}

bool SpeechContext::LoadSrgsOneOf(const apr_xml_elem *elem) {
    for (const apr_xml_elem *child = elem->first_child; child; child = child->next) {
        if (NameIs(child->name, "item")) LoadSrgsItem(child);
    }
    return true;
}

bool SpeechContext::LoadSrgsItem(const apr_xml_elem *elem) {
    std::string phrase;
    if (!XmlElemText(elem, phrase)) return false;
    std::string tag;
    for (const apr_xml_elem *child = elem->first_child; child; child = child->next) {
        if (NameIs(child->name, "tag")) LoadSrgsTag(child, tag);
    }
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Add Phrase [%s] to Speech Context [%s]",
            phrase.c_str(), name.c_str());
    return AddPhrase(phrase, tag);
}

bool SpeechContext::LoadSrgsTag(const apr_xml_elem *elem, std::string &tag) {
    return XmlElemText(elem, tag);
}

bool SpeechContext::FindPhrase(const std::string &text, bool &complete) const {
    const std::string key = PhraseKey(text);
    PhraseMap::const_iterator it = phrases.find(key);
    if (it == phrases.end()) return false;
    // Keys beginning with `key` sort right after it.
    PhraseMap::const_iterator next = std::next(it);
    complete = next == phrases.end() || next->first.compare(0, key.size(), key) != 0;
    return true;
}

bool SpeechContext::FindPhrase(const std::string &text, std::string &value) const {
    PhraseMap::const_iterator it = phrases.find(PhraseKey(text));
    if (it == phrases.end()) return false;
    value = it->second.tag.empty() ? it->second.phrase : it->second.tag;
    return true;
}

bool SpeechContext::SetParams(const GrammarParams &params) {
    for (const auto &param : params) {
        if (KeyStartsWith(param.first, "language", 8)) language = param.second;
    }
    return true;
}

bool DtmfContext::SetParams(const GrammarParams &params) {
    for (const auto &param : params) {
        uint64_t *count = nullptr;
        if (KeyStartsWith(param.first, "length", 6))
            count = &length;
        else if (KeyStartsWith(param.first, "minlength", 9))
            count = &min_length;
        else if (KeyStartsWith(param.first, "maxlength", 9))
            count = &max_length;
        if (!count) continue;
        long value = std::strtol(param.second.c_str(), nullptr, 10);
        if (value < 0) {
            // A negative count would wrap to a huge one; keep the count as it is.
            apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                    "Unexpected Value <%s> for DTMF Parameter <%s>", param.second.c_str(),
                    param.first.c_str());
            continue;
        }
        *count = static_cast<uint64_t>(value);
    }
    return true;
}

}  // namespace KORAL
