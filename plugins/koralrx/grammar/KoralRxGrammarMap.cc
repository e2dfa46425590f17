#include "KoralRxGrammarMap.h"

#include <algorithm>

#include "KoralRxGrammarReader.h"
#include "KoralRxLog.h"

namespace KORAL {

namespace {

const char *const kSpeechContextKind = "Speech Context";
const char *const kSpeechGrammarKind = "Speech Grammar";
const char *const kDtmfGrammarKind = "DTMF Grammar";

// A session grammar that is not defined: 404 (the host's name for the code).
const mrcp_status_code_e kUnknownGrammar = MRCP_STATUS_CODE_ILLEGAL_PARAM_VALUE;

const char *OrEmpty(const char *text) { return text ? text : ""; }

GrammarRef *NewGrammarRef(const std::string &id, const std::string &type, const std::string &name,
                          const GrammarParams &params, GrammarRef::Category category,
                          GrammarRef::RefType ref_type) {
    GrammarRef *grammar = new GrammarRef();
    grammar->id = id;
    grammar->type = type;
    grammar->name = name;
    grammar->params = params;
    grammar->category = category;
    grammar->ref_type = ref_type;
    return grammar;
}

}  // namespace

// "builtin:" lines of a DEFINE-GRAMMAR body all define the Content-Id; the last stays.
class GrammarMap::DefineHandler : public GrammarUriHandler {
  public:
    DefineHandler(GrammarMap &map, const std::string &id) : m_Map(map), m_Id(id) {}

    mrcp_status_code_e OnBuiltinGrammar(BuiltinGrammar &grammar) override {
        if (grammar.category == GrammarRef::CATEGORY_DTMF) {
            m_Map.AddDtmfGrammar(m_Id, grammar.type, grammar.name, grammar.params,
                                 GrammarRef::REF_DEFINED);
            return MRCP_STATUS_CODE_SUCCESS;
        }
        if (!m_Map.AddSpeechGrammar(m_Id, grammar.type, grammar.name, grammar.params,
                                    GrammarRef::REF_DEFINED))
            return m_Map.Conflict();
        return MRCP_STATUS_CODE_SUCCESS;
    }

    mrcp_status_code_e OnSessionGrammar(const std::string &id) override {
        return MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE;  // not read in a definition
    }

  private:
    GrammarMap &m_Map;
    const std::string &m_Id;
};

// Lines of a RECOGNIZE body: each names a grammar to make active.
class GrammarMap::ActivateHandler : public GrammarUriHandler {
  public:
    explicit ActivateHandler(GrammarMap &map) : m_Map(map) {}

    mrcp_status_code_e OnBuiltinGrammar(BuiltinGrammar &grammar) override {
        bool dtmf = grammar.category == GrammarRef::CATEGORY_DTMF;
        if (dtmf ? m_Map.m_ActiveDtmf : m_Map.m_ActiveSpeech) {
            LogAlreadySpecified(dtmf);
            return m_Map.Conflict();
        }
        // Registered under its name; a grammar of that name that is active
        // already in the other slot is kept alive by Release.
        GrammarRef *ref = dtmf ? m_Map.AddDtmfGrammar(grammar.name, grammar.type, grammar.name,
                                                      grammar.params, GrammarRef::REF_BUILTIN)
                               : m_Map.AddSpeechGrammar(grammar.name, grammar.type, grammar.name,
                                                        grammar.params, GrammarRef::REF_BUILTIN);
        if (!ref) return m_Map.Conflict();
        m_Map.Activate(ref);
        return MRCP_STATUS_CODE_SUCCESS;
    }

    mrcp_status_code_e OnSessionGrammar(const std::string &id) override {
        std::map<std::string, GrammarRef *>::const_iterator it = m_Map.m_Grammars.find(id);
        if (it == m_Map.m_Grammars.end()) {
            apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                    "No Such Session Grammar [%s] <%s@%s>", id.c_str(), m_Map.ChannelId(),
                    KORAL_CHANNEL_TAG);
            return kUnknownGrammar;
        }
        if (!it->second) {
            apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                    "NULL Session Grammar [%s] <%s@%s>", id.c_str(), m_Map.ChannelId(),
                    KORAL_CHANNEL_TAG);
            return kUnknownGrammar;
        }
        if (!m_Map.Activate(it->second)) {
            LogAlreadySpecified(it->second->category == GrammarRef::CATEGORY_DTMF);
            return m_Map.Conflict();
        }
        return MRCP_STATUS_CODE_SUCCESS;
    }

  private:
    void LogAlreadySpecified(bool dtmf) const {
        if (dtmf)
            apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                    "DTMF Grammar Already Specified <%s@%s>", m_Map.ChannelId(), KORAL_CHANNEL_TAG);
        else
            apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                    "Speech Grammar Already Specified <%s@%s>", m_Map.ChannelId(),
                    KORAL_CHANNEL_TAG);
    }

    GrammarMap &m_Map;
};

GrammarMap::GrammarMap(const Settings &settings, const std::string &channel_id)
    : m_Settings(settings), m_ChannelId(channel_id) {}

GrammarMap::~GrammarMap() { Clear(); }

void GrammarMap::Clear() {
    ClearActive();
    for (auto &entry : m_Grammars) delete entry.second;
    m_Grammars.clear();
}

void GrammarMap::ClearActive() {
    m_ActiveSpeech = nullptr;
    m_ActiveDtmf = nullptr;
    for (GrammarRef *grammar : m_Retired) delete grammar;
    m_Retired.clear();
}

SpeechContext *GrammarMap::FindConfiguredContext(const std::string &name) const {
    if (!m_Settings.contexts) return nullptr;
    SpeechContextMap::const_iterator it = m_Settings.contexts->find(name);
    return it == m_Settings.contexts->end() ? nullptr : it->second;
}

GrammarRef *GrammarMap::Find(const std::string &id) const {
    std::map<std::string, GrammarRef *>::const_iterator it = m_Grammars.find(id);
    return it == m_Grammars.end() ? nullptr : it->second;
}

mrcp_status_code_e GrammarMap::Conflict() const {
    return m_Settings.skip_unsupported_grammars ? MRCP_STATUS_CODE_SUCCESS
                                                : MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE;
}

void GrammarMap::Release(GrammarRef *grammar) {
    if (!grammar) return;
    // A recognition may still use it: keep it until the active grammars change.
    if (grammar == m_ActiveSpeech || grammar == m_ActiveDtmf) {
        if (std::find(m_Retired.begin(), m_Retired.end(), grammar) == m_Retired.end())
            m_Retired.push_back(grammar);
        return;
    }
    delete grammar;
}

bool GrammarMap::Activate(GrammarRef *grammar) {
    GrammarRef *&slot =
        grammar->category == GrammarRef::CATEGORY_DTMF ? m_ActiveDtmf : m_ActiveSpeech;
    if (slot) return false;
    slot = grammar;
    return true;
}

GrammarRef *GrammarMap::Put(GrammarRef *grammar, const char *kind) {
    const char *channel_id = ChannelId();
    std::map<std::string, GrammarRef *>::iterator it = m_Grammars.find(grammar->id);
    if (it != m_Grammars.end()) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Remove Existing %s [%s] <%s@%s>", kind,
                grammar->id.c_str(), channel_id, KORAL_CHANNEL_TAG);
        Release(it->second);
        it->second = grammar;
    } else {
        m_Grammars.emplace(grammar->id, grammar);
    }
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Add %s [%s] <%s@%s>", kind,
            grammar->id.c_str(), channel_id, KORAL_CHANNEL_TAG);
    return grammar;
}

mrcp_status_code_e GrammarMap::RemoveGrammar(const std::string &id) {
    std::map<std::string, GrammarRef *>::iterator it = m_Grammars.find(id);
    if (it == m_Grammars.end()) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "Non-Existent Content-Id [%s] <%s@%s>", id.c_str(), ChannelId(), KORAL_CHANNEL_TAG);
        return MRCP_STATUS_CODE_MISSING_PARAM;
    }
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG,
            "Remove Existing Speech Context [%s] <%s@%s>", id.c_str(), ChannelId(),
            KORAL_CHANNEL_TAG);
    Release(it->second);
    m_Grammars.erase(it);
    return MRCP_STATUS_CODE_SUCCESS;
}

GrammarRef *GrammarMap::AddSpeechGrammar(const std::string &id, const std::string &type,
                                         const std::string &name, const GrammarParams &params,
                                         GrammarRef::RefType ref_type) {
    SpeechContext *context = nullptr;
    if (name != m_Settings.transcription_grammar) {
        context = FindConfiguredContext(name);
        if (!context) {
            apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                    "No Such Builtin Speech Grammar [%s] <%s@%s>", name.c_str(), ChannelId(),
                    KORAL_CHANNEL_TAG);
            return nullptr;
        }
    }
    GrammarRef *grammar =
        NewGrammarRef(id, type, name, params, GrammarRef::CATEGORY_SPEECH, ref_type);
    if (!params.empty()) {
        // Parameters of one request must not change the context every channel shares.
        if (context) {
            context = new SpeechContext(*context);
            context->configured = false;
        } else {
            context =
                GrammarRef::CreateSpeechContext(id, nullptr, SpeechContext::SCOPE_HINT, false);
        }
        context->SetParams(params);
    }
    grammar->SetSpeechContext(context);
    return Put(grammar, kSpeechGrammarKind);
}

GrammarRef *GrammarMap::AddDtmfGrammar(const std::string &id, const std::string &type,
                                       const std::string &name, const GrammarParams &params,
                                       GrammarRef::RefType ref_type) {
    GrammarRef *grammar =
        NewGrammarRef(id, type, name, params, GrammarRef::CATEGORY_DTMF, ref_type);
    if (!params.empty()) {
        DtmfContext *context = new DtmfContext();
        if (context->SetParams(params))
            grammar->SetDtmfContext(context);
        else
            delete context;
    }
    return Put(grammar, kDtmfGrammarKind);
}

mrcp_status_code_e GrammarMap::DefineSpeechContext(const std::string &id, const char *body,
                                                   size_t length, apr_pool_t *pool,
                                                   GrammarRef **defined) {
    GrammarRef *grammar = nullptr;
    mrcp_status_code_e status =
        ReadSpeechContextDocument(body, length, pool, id, ChannelId(), grammar);
    if (status != MRCP_STATUS_CODE_SUCCESS) return status;
    Put(grammar, kSpeechContextKind);
    if (defined) *defined = grammar;
    return MRCP_STATUS_CODE_SUCCESS;
}

mrcp_status_code_e GrammarMap::DefineSrgsGrammar(const std::string &id, const char *body,
                                                 size_t length, apr_pool_t *pool,
                                                 GrammarRef **defined) {
    static const SpeechContextMap kNoContexts;
    GrammarRef *grammar = nullptr;
    mrcp_status_code_e status = ReadSrgsDocument(
        body, length, pool, id, m_Settings.contexts ? *m_Settings.contexts : kNoContexts,
        m_Settings.transcription_grammar, ChannelId(), grammar);
    if (status != MRCP_STATUS_CODE_SUCCESS) return status;
    Put(grammar,
        grammar->category == GrammarRef::CATEGORY_DTMF ? kDtmfGrammarKind : kSpeechGrammarKind);
    if (defined) *defined = grammar;
    return MRCP_STATUS_CODE_SUCCESS;
}

mrcp_status_code_e GrammarMap::DefineGrammar(const char *content_type, const char *content_id,
                                             const char *body, size_t length, apr_pool_t *pool) {
    const std::string id = OrEmpty(content_id);
    const char *type = OrEmpty(content_type);
    if (!body) length = 0;
    if (id.empty()) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Missing Content-Id <%s@%s>",
                ChannelId(), KORAL_CHANNEL_TAG);
        return MRCP_STATUS_CODE_MISSING_PARAM;
    }
    if (!*type) {
        if (length > 0) {
            apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Missing Content-Type <%s@%s>",
                    ChannelId(), KORAL_CHANNEL_TAG);
            return MRCP_STATUS_CODE_MISSING_PARAM;
        }
        return RemoveGrammar(id);
    }
    switch (ClassifyGrammarContent(type, m_Settings.accept_srgs)) {
        case GRAMMAR_CONTENT_URI_LIST: {
            DefineHandler handler(*this, id);
            return ReadGrammarUriList(body, length, false, m_Settings.skip_unsupported_grammars,
                                      pool, ChannelId(), handler);
        }
        case GRAMMAR_CONTENT_SPEECH_CONTEXT:
            return DefineSpeechContext(id, body, length, pool);
        case GRAMMAR_CONTENT_SRGS:
            return DefineSrgsGrammar(id, body, length, pool);
        case GRAMMAR_CONTENT_UNSUPPORTED:
            break;
    }
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Unsupported Content Type [%s] <%s@%s>",
            type, ChannelId(), KORAL_CHANNEL_TAG);
    return Conflict();
}

mrcp_status_code_e GrammarMap::SetActiveGrammar(const char *content_type, const char *content_id,
                                                const char *body, size_t length, apr_pool_t *pool) {
    ClearActive();
    const std::string id = OrEmpty(content_id);
    const char *type = OrEmpty(content_type);
    if (!body) length = 0;
    if (!*type) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Missing Content-Type <%s@%s>",
                ChannelId(), KORAL_CHANNEL_TAG);
        return MRCP_STATUS_CODE_MISSING_PARAM;
    }
    GrammarContent content = ClassifyGrammarContent(type, m_Settings.accept_srgs);
    if (content == GRAMMAR_CONTENT_URI_LIST) {
        ActivateHandler handler(*this);
        return ReadGrammarUriList(body, length, true, m_Settings.skip_unsupported_grammars, pool,
                                  ChannelId(), handler);
    }
    if (content == GRAMMAR_CONTENT_UNSUPPORTED) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "Unsupported Content Type [%s] <%s@%s>", type, ChannelId(), KORAL_CHANNEL_TAG);
        return Conflict();
    }
    if (id.empty()) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Missing Content-Id <%s@%s>",
                ChannelId(), KORAL_CHANNEL_TAG);
        return MRCP_STATUS_CODE_MISSING_PARAM;
    }
    mrcp_status_code_e status = content == GRAMMAR_CONTENT_SPEECH_CONTEXT
                                    ? DefineSpeechContext(id, body, length, pool)
                                    : DefineSrgsGrammar(id, body, length, pool);
    if (status != MRCP_STATUS_CODE_SUCCESS) return status;
    std::map<std::string, GrammarRef *>::const_iterator it = m_Grammars.find(id);
    if (it == m_Grammars.end()) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "No Such Session Speech Grammar [%s] <%s@%s>", id.c_str(), ChannelId(),
                KORAL_CHANNEL_TAG);
        return kUnknownGrammar;
    }
    if (!it->second) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "NULL Session Speech Grammar [%s] <%s@%s>", id.c_str(), ChannelId(),
                KORAL_CHANNEL_TAG);
        return kUnknownGrammar;
    }
    Activate(it->second);
    return MRCP_STATUS_CODE_SUCCESS;
}

}  // namespace KORAL
