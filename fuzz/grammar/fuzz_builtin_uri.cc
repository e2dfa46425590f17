// The rest of a builtin grammar URI (after "builtin:"): type, name and
// parameters, then the grammar a channel makes of it.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "FuzzSupport.h"
#include "KoralRxGrammarMap.h"
#include "KoralRxGrammarReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace KORAL;
    fuzz::InputPool pool;
    // A buffer of exactly the input, so that any read past the line shows.
    std::vector<char> buffer(data, data + size);
    apt_text_stream_t stream;
    apt_text_stream_init(&stream, buffer.empty() ? nullptr : buffer.data(), buffer.size());

    BuiltinGrammar builtin;
    if (!ReadBuiltinGrammar(stream, builtin, pool.get(), "fuzz-channel")) return 0;
    KORAL_FUZZ_CHECK(!builtin.name.empty());
    KORAL_FUZZ_CHECK(builtin.name.find_first_of("?\r\n") == std::string::npos);
    KORAL_FUZZ_CHECK(builtin.name[0] != ' ' && builtin.name[0] != '\t');
    KORAL_FUZZ_CHECK(builtin.type == "speech/" || builtin.type == "grammar/" ||
                     builtin.type == "dtmf/");
    for (const auto &param : builtin.params) {
        KORAL_FUZZ_CHECK(!param.first.empty() && param.first[0] != ' ' && param.first[0] != '\t');
        KORAL_FUZZ_CHECK(param.first.find_first_of(";=\r\n") == std::string::npos);
        KORAL_FUZZ_CHECK(param.second.find_first_of(";\r\n") == std::string::npos);
    }

    GrammarMap::Settings settings;
    settings.contexts = &fuzz::ConfiguredContexts();
    GrammarMap grammars(settings, "fuzz-channel");
    if (builtin.category == GrammarRef::CATEGORY_DTMF) {
        GrammarRef *grammar = grammars.AddDtmfGrammar(builtin.name, builtin.type, builtin.name,
                                                      builtin.params, GrammarRef::REF_BUILTIN);
        KORAL_FUZZ_CHECK(grammar && grammars.Find(builtin.name) == grammar);
        KORAL_FUZZ_CHECK((grammar->dtmf_context != nullptr) == !builtin.params.empty());
        if (grammar->dtmf_context) {
            // Counts never wrap from a negative text.
            KORAL_FUZZ_CHECK(grammar->dtmf_context->length <= 0x7fffffffffffffffull);
            KORAL_FUZZ_CHECK(grammar->dtmf_context->min_length <= 0x7fffffffffffffffull);
            KORAL_FUZZ_CHECK(grammar->dtmf_context->max_length <= 0x7fffffffffffffffull);
        }
    } else {
        GrammarRef *grammar = grammars.AddSpeechGrammar(builtin.name, builtin.type, builtin.name,
                                                        builtin.params, GrammarRef::REF_BUILTIN);
        bool known = builtin.name == "transcribe" || builtin.name == "yesno";
        KORAL_FUZZ_CHECK((grammar != nullptr) == known);
        if (grammar && grammar->speech_context) {
            KORAL_FUZZ_CHECK(grammar->speech_context->configured == builtin.params.empty());
            fuzz::CheckContext(*grammar->speech_context);
        }
    }
    grammars.Clear();
    fuzz::CheckConfiguredContexts();
    return 0;
}
