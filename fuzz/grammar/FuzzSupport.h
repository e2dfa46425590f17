// What the grammar fuzz targets share: the invariants every loaded context
// must keep, and engine-like configured contexts.
#pragma once

#include <string>

#include "FuzzCommon.h"
#include "KoralRxSpeechContext.h"

namespace KORAL {
namespace fuzz {

// Each phrase is found under its own text with the value the matcher promises.
inline void CheckContext(const SpeechContext &context) {
    for (const auto &entry : context.phrases) {
        const SpeechContext::Value &value = entry.second;
        KORAL_FUZZ_CHECK(entry.first == PhraseKey(value.phrase));
        bool complete = false;
        KORAL_FUZZ_CHECK(context.FindPhrase(value.phrase, complete));
        std::string found;
        KORAL_FUZZ_CHECK(context.FindPhrase(value.phrase, found));
        KORAL_FUZZ_CHECK(found == (value.tag.empty() ? value.phrase : value.tag));
    }
}

// Engine-like configured contexts shared by every input.
inline SpeechContextMap &ConfiguredContexts() {
    struct Configured {
        SpeechContext yesno;
        SpeechContextMap map;
        Configured() {
            yesno.name = "yesno";
            yesno.configured = true;
            yesno.scope = SpeechContext::SCOPE_STRICT;
            yesno.AddPhrase("yes", "");
            yesno.AddPhrase("no", "");
            map["yesno"] = &yesno;
        }
    };
    static Configured configured;
    return configured.map;
}

// A configured context must survive every grammar that shared it.
inline void CheckConfiguredContexts() {
    const SpeechContext *yesno = ConfiguredContexts().at("yesno");
    KORAL_FUZZ_CHECK(yesno->configured && yesno->phrases.size() == 2 && yesno->language.empty());
    CheckContext(*yesno);
}

}  // namespace fuzz
}  // namespace KORAL
