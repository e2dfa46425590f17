// SRGS documents against the engine's configured contexts.
#include <cstddef>
#include <cstdint>

#include "FuzzSupport.h"
#include "KoralRxGrammarReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace KORAL;
    fuzz::InputPool pool;
    SpeechContextMap &contexts = fuzz::ConfiguredContexts();

    GrammarRef *grammar = nullptr;
    mrcp_status_code_e status =
        ReadSrgsDocument(reinterpret_cast<const char *>(data), size, pool.get(), "fuzz", contexts,
                         "transcribe", "fuzz-channel", grammar);
    if (status == MRCP_STATUS_CODE_SUCCESS) {
        KORAL_FUZZ_CHECK(grammar && grammar->ref_type == GrammarRef::REF_DEFINED);
        KORAL_FUZZ_CHECK(grammar->category == GrammarRef::CATEGORY_SPEECH ||
                         grammar->category == GrammarRef::CATEGORY_DTMF);
        KORAL_FUZZ_CHECK(!grammar->dtmf_context);
        if (grammar->category == GrammarRef::CATEGORY_SPEECH)
            KORAL_FUZZ_CHECK(grammar->speech_context);
        if (grammar->category == GrammarRef::CATEGORY_DTMF)
            KORAL_FUZZ_CHECK(!grammar->name.empty());
        if (grammar->speech_context) {
            if (grammar->speech_context->configured)
                KORAL_FUZZ_CHECK(grammar->speech_context == contexts.at("yesno"));
            fuzz::CheckContext(*grammar->speech_context);
        }
        delete grammar;
    } else {
        KORAL_FUZZ_CHECK(status == MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE && !grammar);
    }
    fuzz::CheckConfiguredContexts();
    return 0;
}
