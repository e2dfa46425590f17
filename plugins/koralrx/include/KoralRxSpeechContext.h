// Phrase lists a recognized text is matched against, and the digit counts of a
// DTMF grammar.
#pragma once

#include <apr_xml.h>

#include <cstdint>
#include <map>
#include <string>

namespace KORAL {

// Builtin grammar parameters and extra SRGS meta tags, by key.
typedef std::map<std::string, std::string> GrammarParams;

class SpeechContext {
  public:
    enum Scope : int32_t {
        SCOPE_BUILTIN = 0,  // only while an SRGS document is read
        SCOPE_HINT = 1,     // a text matching no phrase is accepted as it is
        SCOPE_STRICT = 2    // a text matching no phrase is a no-match
    };

    struct Value {
        std::string phrase;  // as written in its source, case kept
        std::string tag;     // semantic tag, possibly empty
    };

    // Keyed by the phrase lower-cased (ASCII letters only), so keys are unique.
    typedef std::map<std::string, Value> PhraseMap;

    std::string name;
    std::string language;
    bool enabled = true;
    // Set by Load: the context is one of the engine's, shared by every channel;
    // grammar references never delete it.
    bool configured = false;
    bool speech_complete = false;
    bool tagged = false;
    Scope scope = SCOPE_HINT;
    PhraseMap phrases;

    // Loads a configured context from a <speech-context> element of the
    // configuration. False when the context is disabled or has no id.
    bool Load(const apr_xml_elem *elem);
    // Reads id, language, enable, speech-complete and scope; speech-complete
    // defaults to whether the scope is strict. Always true.
    bool LoadAttribs(const apr_xml_elem *elem);
    // Adds the text of every <phrase> child. Always true.
    bool LoadPhrases(const apr_xml_elem *elem);
    // Adds one <phrase> element; false when it has no text or repeats a phrase.
    bool LoadPhrase(const apr_xml_elem *elem);
    // False when a phrase with the same lower-cased text is there (the first stays).
    bool AddPhrase(const std::string &phrase, const std::string &tag);

    // Loads the items of the one-of elements of the SRGS rule whose id is
    // `root`. Other rules, nested one-of elements, references and repeats add
    // nothing. Always true.
    bool LoadSrgsRules(const apr_xml_elem *grammar_elem, const std::string &root);
    bool LoadSrgsRule(const apr_xml_elem *rule_elem, const std::string &root);
    bool LoadSrgsOneOf(const apr_xml_elem *elem);
    // Adds the item's text with its last non-empty tag; false when nothing is added.
    bool LoadSrgsItem(const apr_xml_elem *elem);
    // True when the tag element has text, which then replaces `tag`.
    bool LoadSrgsTag(const apr_xml_elem *elem, std::string &tag);

    // Exact match of the lower-cased text. On a match `complete` tells whether
    // no other phrase begins with the text; unchanged when there is no match.
    bool FindPhrase(const std::string &text, bool &complete) const;
    // On a match `value` is the phrase's tag, or the phrase as written when the
    // tag is empty; unchanged when there is no match.
    bool FindPhrase(const std::string &text, std::string &value) const;

    // Applies builtin grammar parameters: a key starting with "language" sets
    // the language. Always true.
    bool SetParams(const GrammarParams &params);
};

// The engine's configured contexts by id.
typedef std::map<std::string, SpeechContext *> SpeechContextMap;

class DtmfContext {
  public:
    // Digit counts handed to the detector; 0 means not set.
    uint64_t length = 0;
    uint64_t min_length = 0;
    uint64_t max_length = 0;

    DtmfContext() = default;

    // Applies builtin grammar parameters "length", "minlength" and "maxlength"
    // (keys matched by prefix in any case, values decimal). Always true.
    bool SetParams(const GrammarParams &params);
};

// Lower-cases the ASCII letters of a text, byte by byte: the phrase key.
std::string PhraseKey(const std::string &text);

}  // namespace KORAL
