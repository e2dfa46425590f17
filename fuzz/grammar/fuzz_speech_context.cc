// Speech context documents: as a DEFINE-GRAMMAR body, and as a configured
// <speech-context> element.
#include <cstddef>
#include <cstdint>

#include "FuzzSupport.h"
#include "KoralRxGrammarReader.h"
#include "KoralRxGrammarXml.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace KORAL;
    fuzz::InputPool pool;
    const char *text = reinterpret_cast<const char *>(data);

    GrammarRef *grammar = nullptr;
    mrcp_status_code_e status =
        ReadSpeechContextDocument(text, size, pool.get(), "fuzz", "fuzz-channel", grammar);
    if (status == MRCP_STATUS_CODE_SUCCESS) {
        KORAL_FUZZ_CHECK(grammar && grammar->speech_context);
        KORAL_FUZZ_CHECK(!grammar->speech_context->phrases.empty());
        KORAL_FUZZ_CHECK(!grammar->speech_context->configured);
        fuzz::CheckContext(*grammar->speech_context);
        delete grammar;
    } else {
        KORAL_FUZZ_CHECK(status == MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE && !grammar);
    }

    apr_xml_doc *doc = ParseXmlDocument(text, size, pool.get());
    if (doc) {
        SpeechContext configured;
        if (configured.Load(doc->root)) {
            KORAL_FUZZ_CHECK(configured.configured && configured.enabled &&
                             !configured.name.empty());
            fuzz::CheckContext(configured);
        }
    }
    return 0;
}
