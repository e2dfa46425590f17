// A grammar defined on or named to a channel: what it is (speech or DTMF), how
// it came, and the phrase list or digit counts it ends in.
#pragma once

#include <apr_pools.h>
#include <apr_xml.h>

#include <cstdint>
#include <string>

#include "KoralRxSpeechContext.h"
#include "apt_text_stream.h"

namespace KORAL {

class GrammarRef {
  public:
    enum Category : int32_t { CATEGORY_NONE = 0, CATEGORY_SPEECH = 1, CATEGORY_DTMF = 2 };
    enum RefType : int32_t {
        REF_NONE = 0,
        REF_BUILTIN = 1,  // a builtin reference given in a RECOGNIZE request
        REF_DEFINED = 2   // defined by DEFINE-GRAMMAR or loaded from a grammar document
    };

    std::string id;        // id in the channel: Content-Id, or the builtin name
    std::string name;      // SRGS root rule, builtin name, or the id of a context document
    std::string type;      // builtin type prefix "speech/", "grammar/" or "dtmf/"; else empty
    GrammarParams params;  // builtin parameters or extra SRGS meta tags
    Category category = CATEGORY_NONE;
    RefType ref_type = REF_NONE;
    // Owned.
    DtmfContext *dtmf_context = nullptr;
    // Owned unless configured (one of the engine's shared contexts); null means
    // free transcription.
    SpeechContext *speech_context = nullptr;

    GrammarRef() = default;
    ~GrammarRef();
    GrammarRef(const GrammarRef &) = delete;
    GrammarRef &operator=(const GrammarRef &) = delete;

    // Attach a context, releasing the one held before (by the ownership rule above).
    void SetSpeechContext(SpeechContext *context);
    void SetDtmfContext(DtmfContext *context);

    // Reads the name and parameters of a builtin grammar from one line of
    // `stream`, positioned after the type prefix: name ["?" key=value *(";"
    // key=value)]. Pieces without a key or "=" are skipped, the first value of a
    // key is kept, and an empty piece ends the list. False for an empty line or
    // name. `pool` is not used: the pieces are read in place.
    static bool ReadBuiltinNameParams(apt_text_stream_t &stream, std::string &name,
                                      GrammarParams &params, apr_pool_t *pool);

    // A new, empty, enabled context the caller owns; a null or empty language
    // leaves the language empty.
    static SpeechContext *CreateSpeechContext(const std::string &name, const char *language,
                                              SpeechContext::Scope scope, bool speech_complete);

    // Fills this reference (its id already set) from a parsed SRGS document:
    // mode voice or dtmf, the root rule's items as phrases, or per its scope meta
    // tag the transcription grammar or a configured context. False, with a
    // warning, for another root element or mode, or an unknown builtin context;
    // the caller then deletes the reference.
    bool LoadSrgsGrammar(const apr_xml_elem *root, const SpeechContextMap &contexts,
                         const std::string &transcription_grammar);
    // Reads the <meta> children: scope, speech-complete, and any other name into
    // params. Always true.
    bool LoadSrgsMetaTags(const apr_xml_elem *root, const SpeechContextMap &contexts,
                          const std::string &transcription_grammar, bool &create_context,
                          SpeechContext::Scope &scope, bool &speech_complete);
    // The "name" and "content" attributes of a <meta> element (empty when
    // missing). Always true.
    static bool LoadSrgsMetaTag(const apr_xml_elem *meta, std::string &name, std::string &content);
};

}  // namespace KORAL
