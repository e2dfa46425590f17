#include "KoralRxGrammar.h"

#include <cstring>

#include "KoralRxConfigAttr.h"
#include "KoralRxGrammarXml.h"
#include "KoralRxLog.h"

namespace KORAL {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Splits one parameter piece at its first "="; a piece without one, or with an
// empty key, is not a parameter.
void AddParam(const char *piece, size_t length, GrammarParams &params) {
    const char *eq = static_cast<const char *>(memchr(piece, '=', length));
    if (!eq) return;
    const char *key = piece;
    while (key < eq && IsBlank(*key)) ++key;
    if (key == eq) return;
    const char *value = eq + 1;
    params.emplace(std::string(key, eq), std::string(value, piece + length));
}

}  // namespace

GrammarRef::~GrammarRef() {
    SetDtmfContext(nullptr);
    SetSpeechContext(nullptr);
}

void GrammarRef::SetSpeechContext(SpeechContext *context) {
    if (speech_context == context) return;
    if (speech_context && !speech_context->configured) delete speech_context;
    speech_context = context;
}

void GrammarRef::SetDtmfContext(DtmfContext *context) {
    if (dtmf_context == context) return;
    delete dtmf_context;
    dtmf_context = context;
}

bool GrammarRef::ReadBuiltinNameParams(apt_text_stream_t &stream, std::string &name,
                                       GrammarParams &params, apr_pool_t *pool) {
    apt_str_t line;
    if (!apt_text_line_read(&stream, &line) || line.length == 0) return false;

    char *pos = line.buf;
    char *end = line.buf + line.length;
    while (pos < end && IsBlank(*pos)) ++pos;
    char *question = static_cast<char *>(memchr(pos, '?', static_cast<size_t>(end - pos)));
    char *name_end = question ? question : end;
    if (name_end == pos) return false;
    name.assign(pos, name_end);
    if (!question) return true;

    apt_text_stream_t rest;
    apt_text_stream_init(&rest, question + 1, static_cast<apr_size_t>(end - question - 1));
    apt_str_t piece;
    // An empty piece (";;" or a final ";") ends the list.
    while (apt_text_field_read(&rest, ';', TRUE, &piece)) AddParam(piece.buf, piece.length, params);
    return true;
}

SpeechContext *GrammarRef::CreateSpeechContext(const std::string &name, const char *language,
                                               SpeechContext::Scope scope, bool speech_complete) {
    SpeechContext *context = new SpeechContext();
    context->name = name;
    context->scope = scope;
    context->speech_complete = speech_complete;
    context->enabled = true;
    if (language && *language) context->language = language;
    return context;
}

bool GrammarRef::LoadSrgsGrammar(const apr_xml_elem *root, const SpeechContextMap &contexts,
                                 const std::string &transcription_grammar) {
    if (!root->name || strcmp(root->name, "grammar") != 0) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Unexpected XML root element <%s>",
                root->name ? root->name : "");
        return false;
    }
    std::string mode = "voice";
    for (const apr_xml_attr *attr : XmlElemAttrs(root)) {
        const char *value = attr->value ? attr->value : "";
        if (NameIs(attr->name, "mode"))
            mode = value;
        else if (NameIs(attr->name, "root"))
            name = value;
    }
    ref_type = REF_DEFINED;
    if (mode == "voice") {
        category = CATEGORY_SPEECH;
    } else if (mode == "dtmf") {
        category = CATEGORY_DTMF;
    } else {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Unexpected SRGS Grammar Mode [%s]",
                mode.c_str());
        return false;
    }

    bool create_context = true;
    SpeechContext::Scope scope = SpeechContext::SCOPE_STRICT;
    bool speech_complete = false;
    LoadSrgsMetaTags(root, contexts, transcription_grammar, create_context, scope, speech_complete);

    if (create_context) {
        SpeechContext *context = CreateSpeechContext(id, root->lang, scope, speech_complete);
        if (!context->LoadSrgsRules(root, name)) {
            delete context;
            return false;
        }
        SetSpeechContext(context);
        return true;
    }
    if (category == CATEGORY_DTMF) return true;
    if (name == transcription_grammar) {
        SetSpeechContext(CreateSpeechContext(id, root->lang, scope, speech_complete));
        return true;
    }
    SpeechContextMap::const_iterator it = contexts.find(name);
    if (it == contexts.end() || !it->second) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "No Such Builtin Speech Grammar [%s] ", name.c_str());
        return false;
    }
    SetSpeechContext(it->second);
    return true;
}

bool GrammarRef::LoadSrgsMetaTags(const apr_xml_elem *root, const SpeechContextMap &contexts,
                                  const std::string &transcription_grammar, bool &create_context,
                                  SpeechContext::Scope &scope, bool &speech_complete) {
    create_context = true;
    scope = SpeechContext::SCOPE_STRICT;
    bool speech_complete_given = false;
    for (const apr_xml_elem *meta = root->first_child; meta; meta = meta->next) {
        if (!NameIs(meta->name, "meta")) continue;
        std::string meta_name;
        std::string content;
        LoadSrgsMetaTag(meta, meta_name, content);
        if (meta_name == "scope") {
            if (content == "builtin") {
                create_context = false;
                scope = SpeechContext::SCOPE_BUILTIN;
            } else if (content == transcription_grammar) {
                create_context = false;
                name = content;
                scope = SpeechContext::SCOPE_BUILTIN;
            } else if (content == "hint") {
                scope = SpeechContext::SCOPE_HINT;
            } else if (content == "strict") {
                scope = SpeechContext::SCOPE_STRICT;
            } else {
                apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG,
                        "Unexpected SRGS Grammar Scope [%s]", content.c_str());
            }
        } else if (meta_name == "speech-complete") {
            if (content == "false" || content == "true") {
                speech_complete = content == "true";
                speech_complete_given = true;
            } else {
                apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                        "Unexpected Value <%s> for Boolean Attribute <%s>", content.c_str(),
                        meta_name.c_str());
            }
        } else {
            params.emplace(meta_name, content);
        }
    }
    if (!speech_complete_given) speech_complete = scope == SpeechContext::SCOPE_STRICT;
    return true;
}

bool GrammarRef::LoadSrgsMetaTag(const apr_xml_elem *meta, std::string &name,
                                 std::string &content) {
    const char *meta_name = XmlElemAttr(meta, "name");
    const char *meta_content = XmlElemAttr(meta, "content");
    name = meta_name ? meta_name : "";
    content = meta_content ? meta_content : "";
    return true;
}

}  // namespace KORAL
