// Readers of the grammar bodies a client sends: "text/uri-list" lines with
// builtin and session grammars, speech context documents and SRGS documents.
// They take the body as it came (text and length, no NUL needed), log every
// refusal and hand back a new reference or a status; nothing is kept on failure.
#pragma once

#include <apr_pools.h>

#include <cstddef>
#include <string>

#include "KoralRxGrammar.h"
#include "KoralRxSpeechContext.h"
#include "apt_text_stream.h"
#include "mrcp_types.h"

namespace KORAL {

// How a grammar body is read, by its Content-Type (compared exactly).
enum GrammarContent {
    GRAMMAR_CONTENT_UNSUPPORTED = 0,
    GRAMMAR_CONTENT_URI_LIST = 1,        // "text/uri-list"
    GRAMMAR_CONTENT_SPEECH_CONTEXT = 2,  // "application/xml"
    GRAMMAR_CONTENT_SRGS = 3  // "application/srgs+xml", "application/grammar+xml" if accepted
};
GrammarContent ClassifyGrammarContent(const char *content_type, bool accept_srgs);

// One "builtin:" grammar: type prefix, name and parameters.
struct BuiltinGrammar {
    GrammarRef::Category category = GrammarRef::CATEGORY_NONE;
    std::string type;  // "speech/", "grammar/" or "dtmf/"
    std::string name;
    GrammarParams params;
};

// Reads the rest of a builtin line (after "builtin:" and blanks): the type
// prefix in any case, then GrammarRef::ReadBuiltinNameParams. False, with a
// channel warning, for an unknown type or a missing name.
bool ReadBuiltinGrammar(apt_text_stream_t &stream, BuiltinGrammar &grammar, apr_pool_t *pool,
                        const char *channel_id);

// Reads a speech context document (root <speech-context>) into a new speech
// grammar of that id, which the caller then owns. 200, or 409 for a body that
// does not parse, another root element or a context without phrases.
mrcp_status_code_e ReadSpeechContextDocument(const char *text, size_t length, apr_pool_t *pool,
                                             const std::string &id, const char *channel_id,
                                             GrammarRef *&grammar);

// Reads an SRGS document into a new grammar of that id (GrammarRef::LoadSrgsGrammar),
// which the caller then owns; a DTMF grammar without root rule takes the id as
// its name. 200, or 409 for a body that does not parse or load.
mrcp_status_code_e ReadSrgsDocument(const char *text, size_t length, apr_pool_t *pool,
                                    const std::string &id, const SpeechContextMap &contexts,
                                    const std::string &transcription_grammar,
                                    const char *channel_id, GrammarRef *&grammar);

// What the owner of a "text/uri-list" body does with each grammar line. A
// status other than 200 ends the body with that status.
class GrammarUriHandler {
  public:
    virtual ~GrammarUriHandler() = default;
    virtual mrcp_status_code_e OnBuiltinGrammar(BuiltinGrammar &grammar) = 0;
    virtual mrcp_status_code_e OnSessionGrammar(const std::string &id) = 0;
};

// Reads a "text/uri-list" body line by line, leading blanks skipped: "builtin:"
// lines (406 when one cannot be read), with accept_session "session:" lines
// (406 without an id), empty lines skipped; any other line is unsupported (409
// unless skip_unsupported). 200 at the end of the body.
mrcp_status_code_e ReadGrammarUriList(const char *text, size_t length, bool accept_session,
                                      bool skip_unsupported, apr_pool_t *pool,
                                      const char *channel_id, GrammarUriHandler &handler);

}  // namespace KORAL
