// "text/uri-list" bodies, as a DEFINE-GRAMMAR and as a RECOGNIZE would send
// them, on a channel that already holds a few grammars.
#include <cstddef>
#include <cstdint>

#include "FuzzSupport.h"
#include "KoralRxGrammarMap.h"

namespace {

// Reads what a recognition reads of an active grammar.
void UseActive(const KORAL::GrammarRef *grammar) {
    if (!grammar) return;
    KORAL_FUZZ_CHECK(grammar->category == KORAL::GrammarRef::CATEGORY_SPEECH ||
                     grammar->category == KORAL::GrammarRef::CATEGORY_DTMF);
    KORAL_FUZZ_CHECK(!grammar->id.empty());
    if (grammar->speech_context) KORAL::fuzz::CheckContext(*grammar->speech_context);
    if (grammar->dtmf_context) KORAL_FUZZ_CHECK(grammar->dtmf_context->length < (1ull << 63));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace KORAL;
    if (size == 0) return 0;
    fuzz::InputPool pool;
    // The first byte picks the settings; the rest is the body.
    GrammarMap::Settings settings;
    settings.contexts = &fuzz::ConfiguredContexts();
    settings.skip_unsupported_grammars = (data[0] & 1) != 0;
    const char *body = reinterpret_cast<const char *>(data + 1);
    size_t length = size - 1;

    {
        GrammarMap grammars(settings, "fuzz-channel");
        static const char kColors[] =
            "<speech-context><phrase>red</phrase><phrase>blue</phrase></speech-context>";
        static const char kPin[] = "builtin:dtmf/pin?length=4";
        KORAL_FUZZ_CHECK(grammars.DefineGrammar("application/xml", "colors", kColors,
                                                sizeof(kColors) - 1,
                                                pool.get()) == MRCP_STATUS_CODE_SUCCESS);
        KORAL_FUZZ_CHECK(grammars.DefineGrammar("text/uri-list", "pin", kPin, sizeof(kPin) - 1,
                                                pool.get()) == MRCP_STATUS_CODE_SUCCESS);

        mrcp_status_code_e status =
            grammars.SetActiveGrammar("text/uri-list", nullptr, body, length, pool.get());
        KORAL_FUZZ_CHECK(status == MRCP_STATUS_CODE_SUCCESS ||
                         status == MRCP_STATUS_CODE_ILLEGAL_PARAM_VALUE ||
                         status == MRCP_STATUS_CODE_MISSING_PARAM ||
                         status == MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE);
        GrammarRef *speech = grammars.ActiveSpeechGrammar();
        GrammarRef *dtmf = grammars.ActiveDtmfGrammar();
        KORAL_FUZZ_CHECK(!speech || speech->category == GrammarRef::CATEGORY_SPEECH);
        KORAL_FUZZ_CHECK(!dtmf || dtmf->category == GrammarRef::CATEGORY_DTMF);

        // Definitions while a recognition holds the active grammars.
        const char *id = (data[0] & 2) ? "colors" : "transcribe";
        status = grammars.DefineGrammar("text/uri-list", id, body, length, pool.get());
        KORAL_FUZZ_CHECK(status == MRCP_STATUS_CODE_SUCCESS ||
                         status == MRCP_STATUS_CODE_MISSING_PARAM ||
                         status == MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE);
        if (data[0] & 4) grammars.DefineGrammar(nullptr, id, nullptr, 0, pool.get());
        UseActive(speech);
        UseActive(dtmf);

        grammars.SetActiveGrammar("text/uri-list", nullptr, body, length, pool.get());
        UseActive(grammars.ActiveSpeechGrammar());
        UseActive(grammars.ActiveDtmfGrammar());
    }
    fuzz::CheckConfiguredContexts();
    return 0;
}
