// The grammars of one channel by id, with DEFINE-GRAMMAR and the choice of the
// grammars a RECOGNIZE body names.
#pragma once

#include <apr_pools.h>

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "KoralRxGrammar.h"
#include "KoralRxSpeechContext.h"
#include "mrcp_types.h"

namespace KORAL {

class GrammarMap {
  public:
    struct Settings {
        std::string transcription_grammar = "transcribe";
        bool accept_srgs = true;
        bool skip_unsupported_grammars = true;
        // The engine's configured contexts; they outlive every channel. Null: none.
        const SpeechContextMap *contexts = nullptr;
    };

    // channel_id ends every channel log line.
    GrammarMap(const Settings &settings, const std::string &channel_id);
    ~GrammarMap();
    GrammarMap(const GrammarMap &) = delete;
    GrammarMap &operator=(const GrammarMap &) = delete;

    // DEFINE-GRAMMAR: defines (or with no Content-Type and no body removes) the
    // grammar of the Content-Id. Null header values count as empty. Returns the
    // response status: 200, 404, 406 or 409.
    mrcp_status_code_e DefineGrammar(const char *content_type, const char *content_id,
                                     const char *body, size_t length, apr_pool_t *pool);

    // RECOGNIZE: clears the active grammars, then picks at most one speech and
    // one DTMF grammar from the body, defining document bodies under the
    // Content-Id and registering builtin grammars under their names. Returns the
    // status; the grammars activated before a failure stay active.
    mrcp_status_code_e SetActiveGrammar(const char *content_type, const char *content_id,
                                        const char *body, size_t length, apr_pool_t *pool);

    // The grammars chosen by the last SetActiveGrammar, or null. They stay valid
    // until the next SetActiveGrammar or ClearActive, even when their id is
    // redefined or removed meanwhile.
    GrammarRef *ActiveSpeechGrammar() const { return m_ActiveSpeech; }
    GrammarRef *ActiveDtmfGrammar() const { return m_ActiveDtmf; }
    // Forgets the active grammars and frees those already replaced or removed.
    void ClearActive();

    // The steps of the two requests, for callers that need them one by one.
    mrcp_status_code_e DefineSpeechContext(const std::string &id, const char *body, size_t length,
                                           apr_pool_t *pool, GrammarRef **defined = nullptr);
    mrcp_status_code_e DefineSrgsGrammar(const std::string &id, const char *body, size_t length,
                                         apr_pool_t *pool, GrammarRef **defined = nullptr);
    // A builtin speech grammar: the transcription grammar name (no phrase list)
    // or a configured context; parameters apply to a context of this grammar's
    // own. Null, with a warning, for any other name.
    GrammarRef *AddSpeechGrammar(const std::string &id, const std::string &type,
                                 const std::string &name, const GrammarParams &params,
                                 GrammarRef::RefType ref_type);
    // A builtin DTMF grammar, with digit counts when parameters are given.
    GrammarRef *AddDtmfGrammar(const std::string &id, const std::string &type,
                               const std::string &name, const GrammarParams &params,
                               GrammarRef::RefType ref_type);
    // 200, or 406 for an unknown id.
    mrcp_status_code_e RemoveGrammar(const std::string &id);

    GrammarRef *Find(const std::string &id) const;
    size_t Size() const { return m_Grammars.size(); }
    // Deletes every grammar (the channel's close).
    void Clear();

    const Settings &GetSettings() const { return m_Settings; }
    const char *ChannelId() const { return m_ChannelId.c_str(); }

  private:
    class DefineHandler;
    class ActivateHandler;

    // Stores the grammar under its id, replacing (and releasing) any grammar of
    // that id; `kind` names it in the log lines.
    GrammarRef *Put(GrammarRef *grammar, const char *kind);
    // Deletes a grammar, or keeps it until ClearActive while it is active.
    void Release(GrammarRef *grammar);
    // Makes a grammar the active one of its category; false when that slot is taken.
    bool Activate(GrammarRef *grammar);
    mrcp_status_code_e Conflict() const;
    SpeechContext *FindConfiguredContext(const std::string &name) const;

    Settings m_Settings;
    std::string m_ChannelId;
    std::map<std::string, GrammarRef *> m_Grammars;
    GrammarRef *m_ActiveSpeech = nullptr;
    GrammarRef *m_ActiveDtmf = nullptr;
    // Active grammars that were replaced or removed, freed by ClearActive.
    std::vector<GrammarRef *> m_Retired;
};

}  // namespace KORAL
