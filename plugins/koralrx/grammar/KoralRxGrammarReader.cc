#include "KoralRxGrammarReader.h"

#include <strings.h>

#include <climits>
#include <cstring>

#include "KoralRxGrammarXml.h"
#include "KoralRxLog.h"

namespace KORAL {

namespace {

struct BuiltinType {
    const char *prefix;
    GrammarRef::Category category;
};

const BuiltinType kBuiltinTypes[] = {
    {"speech/", GrammarRef::CATEGORY_SPEECH},
    {"grammar/", GrammarRef::CATEGORY_SPEECH},
    {"dtmf/", GrammarRef::CATEGORY_DTMF},
};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Whether [pos, end) begins with prefix, in any case; if so pos moves past it.
bool SkipPrefix(char *&pos, const char *end, const char *prefix) {
    size_t length = strlen(prefix);
    if (static_cast<size_t>(end - pos) < length || strncasecmp(pos, prefix, length) != 0)
        return false;
    pos += length;
    return true;
}

char *SkipBlanks(char *pos, const char *end) {
    while (pos < end && IsBlank(*pos)) ++pos;
    return pos;
}

// Log width of a piece of text (printf's precision is an int).
int LogWidth(size_t length) { return length > INT_MAX ? INT_MAX : static_cast<int>(length); }

}  // namespace

GrammarContent ClassifyGrammarContent(const char *content_type, bool accept_srgs) {
    if (!content_type) return GRAMMAR_CONTENT_UNSUPPORTED;
    if (strcmp(content_type, "text/uri-list") == 0) return GRAMMAR_CONTENT_URI_LIST;
    if (strcmp(content_type, "application/xml") == 0) return GRAMMAR_CONTENT_SPEECH_CONTEXT;
    if (accept_srgs && (strcmp(content_type, "application/srgs+xml") == 0 ||
                        strcmp(content_type, "application/grammar+xml") == 0))
        return GRAMMAR_CONTENT_SRGS;
    return GRAMMAR_CONTENT_UNSUPPORTED;
}

bool ReadBuiltinGrammar(apt_text_stream_t &stream, BuiltinGrammar &grammar, apr_pool_t *pool,
                        const char *channel_id) {
    char *pos = stream.pos;
    const char *end = stream.end;
    const BuiltinType *found = nullptr;
    for (const BuiltinType &type : kBuiltinTypes) {
        if (pos && SkipPrefix(pos, end, type.prefix)) {
            found = &type;
            break;
        }
    }
    if (!found) {
        const char *line_end = pos;
        while (line_end && line_end < end && *line_end != '\r' && *line_end != '\n') ++line_end;
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "Unknown Builtin Grammar Type [%.*s] <%s@%s>",
                LogWidth(pos ? static_cast<size_t>(line_end - pos) : 0), pos ? pos : "", channel_id,
                KORAL_CHANNEL_TAG);
        return false;
    }
    grammar.category = found->category;
    grammar.type = found->prefix;
    stream.pos = pos;
    if (!GrammarRef::ReadBuiltinNameParams(stream, grammar.name, grammar.params, pool)) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "Missing Builtin Grammar Name <%s@%s>", channel_id, KORAL_CHANNEL_TAG);
        return false;
    }
    return true;
}

mrcp_status_code_e ReadSpeechContextDocument(const char *text, size_t length, apr_pool_t *pool,
                                             const std::string &id, const char *channel_id,
                                             GrammarRef *&grammar) {
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Parse Speech Context [%s] <%s@%s>",
            id.c_str(), channel_id, KORAL_CHANNEL_TAG);
    apr_xml_doc *doc = ParseXmlDocument(text, length, pool);
    if (!doc) return MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE;
    const apr_xml_elem *root = doc->root;
    if (!root->name || strcmp(root->name, "speech-context") != 0) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "Unexpected XML root element <%s> <%s@%s>", root->name ? root->name : "",
                channel_id, KORAL_CHANNEL_TAG);
        return MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE;
    }
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Load Speech Context [%s] <%s@%s>",
            id.c_str(), channel_id, KORAL_CHANNEL_TAG);
    SpeechContext *context = new SpeechContext();
    context->LoadAttribs(root);
    context->name = id;
    context->LoadPhrases(root);
    if (context->phrases.empty()) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "No Phrases in Speech Context [%s] <%s@%s>", id.c_str(), channel_id,
                KORAL_CHANNEL_TAG);
        delete context;
        return MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE;
    }
    grammar = new GrammarRef();
    grammar->id = id;
    grammar->name = id;
    grammar->category = GrammarRef::CATEGORY_SPEECH;
    grammar->ref_type = GrammarRef::REF_DEFINED;
    grammar->SetSpeechContext(context);
    return MRCP_STATUS_CODE_SUCCESS;
}

mrcp_status_code_e ReadSrgsDocument(const char *text, size_t length, apr_pool_t *pool,
                                    const std::string &id, const SpeechContextMap &contexts,
                                    const std::string &transcription_grammar,
                                    const char *channel_id, GrammarRef *&grammar) {
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Parse SRGS Grammar [%s] <%s@%s>",
            id.c_str(), channel_id, KORAL_CHANNEL_TAG);
    apr_xml_doc *doc = ParseXmlDocument(text, length, pool);
    if (!doc) return MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE;
    GrammarRef *loaded = new GrammarRef();
    loaded->id = id;
    if (!loaded->LoadSrgsGrammar(doc->root, contexts, transcription_grammar)) {
        delete loaded;
        return MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE;
    }
    if (loaded->category == GrammarRef::CATEGORY_DTMF && loaded->name.empty()) loaded->name = id;
    grammar = loaded;
    return MRCP_STATUS_CODE_SUCCESS;
}

mrcp_status_code_e ReadGrammarUriList(const char *text, size_t length, bool accept_session,
                                      bool skip_unsupported, apr_pool_t *pool,
                                      const char *channel_id, GrammarUriHandler &handler) {
    apt_text_stream_t body;
    // The stream only reads; it takes a writable buffer for its writers.
    apt_text_stream_init(&body, text ? const_cast<char *>(text) : nullptr, text ? length : 0);
    apt_str_t line;
    while (apt_text_line_read(&body, &line)) {
        char *end = line.buf + line.length;
        char *pos = SkipBlanks(line.buf, end);
        mrcp_status_code_e status = MRCP_STATUS_CODE_SUCCESS;
        if (SkipPrefix(pos, end, "builtin:")) {
            pos = SkipBlanks(pos, end);
            apt_text_stream_t stream;
            apt_text_stream_init(&stream, pos, static_cast<apr_size_t>(end - pos));
            BuiltinGrammar grammar;
            if (!ReadBuiltinGrammar(stream, grammar, pool, channel_id))
                return MRCP_STATUS_CODE_MISSING_PARAM;
            status = handler.OnBuiltinGrammar(grammar);
        } else if (accept_session && SkipPrefix(pos, end, "session:")) {
            pos = SkipBlanks(pos, end);
            if (pos == end) {
                apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                        "Missing Session Grammar Name <%s@%s>", channel_id, KORAL_CHANNEL_TAG);
                return MRCP_STATUS_CODE_MISSING_PARAM;
            }
            status = handler.OnSessionGrammar(std::string(pos, end));
        } else if (pos == end) {
            apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Skip Empty Grammar Line <%s@%s>",
                    channel_id, KORAL_CHANNEL_TAG);
        } else {
            apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                    "Unsupported Grammar Format [%.*s] <%s@%s>",
                    LogWidth(static_cast<size_t>(end - pos)), pos, channel_id, KORAL_CHANNEL_TAG);
            if (!skip_unsupported) status = MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE;
        }
        if (status != MRCP_STATUS_CODE_SUCCESS) return status;
    }
    return MRCP_STATUS_CODE_SUCCESS;
}

}  // namespace KORAL
