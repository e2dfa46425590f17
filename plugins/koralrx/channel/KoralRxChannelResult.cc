// NLSML results: the service's alternatives or a DTMF input as the body of
// RECOGNITION-COMPLETE. Texts from the service and grammar names are escaped,
// so that any transcript gives a well-formed document, and a document has no
// size limit of its own.
#include <cstdio>

#include "KoralRxChannel.h"
#include "KoralRxGrammar.h"
#include "KoralRxSpeechContext.h"

namespace KORAL {

namespace {

const char kNlsmlContentType[] = "application/x-nlsml";

void AppendEscaped(std::string &out, const std::string &text) {
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
}

// "session:" and the id of a defined grammar; "builtin:" with type and name
// of a grammar named in the request.
std::string GrammarName(const GrammarRef &grammar) {
    if (grammar.ref_type == GrammarRef::REF_DEFINED) return "session:" + grammar.id;
    return "builtin:" + grammar.type + grammar.name;
}

std::string Format(const char *format, double value) {
    char buffer[64];
    snprintf(buffer, sizeof(buffer), format, value);
    return buffer;
}

}  // namespace

bool Channel::ComposeSpeechResult(RecognitionDetails &details, std::string &content_type,
                                  std::string &body) const {
    if (details.completion_cause != RECOGNIZER_COMPLETION_CAUSE_SUCCESS) return true;
    std::string document = "<?xml version=\"1.0\"?>\n<result>\n";
    details.completion_cause = RECOGNIZER_COMPLETION_CAUSE_NO_MATCH;
    bool written = false;
    for (const RecogAlternative &alternative : details.transcripts) {
        if (alternative.confidence >= details.confidence_threshold) {
            details.completion_cause = RECOGNIZER_COMPLETION_CAUSE_SUCCESS;
        } else if (!details.alternatives_below_threshold) {
            continue;
        }
        if (ComposeSpeechInterpretation(alternative.lexical, alternative.itn,
                                        alternative.confidence, details.completion_cause,
                                        details.mrcpv1_confidence, document))
            written = true;
    }
    document += "</result>\n";
    if (!written) return true;
    content_type = kNlsmlContentType;
    body.swap(document);
    return true;
}

bool Channel::ComposeSpeechInterpretation(const std::string &lexical, const std::string &itn,
                                          float confidence, int32_t &cause, bool mrcpv1_confidence,
                                          std::string &out) const {
    if (!m_ActiveSpeechGrammar) return false;
    std::string instance = itn;
    if (const SpeechContext *context = m_ActiveSpeechGrammar->speech_context) {
        std::string value;
        if (context->FindPhrase(itn, value)) {
            if (!value.empty()) instance = value;
        } else if (context->scope == SpeechContext::SCOPE_STRICT) {
            cause = RECOGNIZER_COMPLETION_CAUSE_NO_MATCH;
            instance.clear();
        }
    }
    out += "  <interpretation grammar=\"";
    AppendEscaped(out, GrammarName(*m_ActiveSpeechGrammar));
    out += "\" confidence=\"";
    out += mrcpv1_confidence ? std::to_string(static_cast<int>(confidence * 100))
                             : Format("%.2f", confidence);
    out += "\">\n    <instance>";
    AppendEscaped(out, instance);
    out += "</instance>\n    <input mode=\"speech\">";
    AppendEscaped(out, lexical);
    out += "</input>\n  </interpretation>\n";
    return true;
}

bool Channel::ComposeDtmfResult(std::string &content_type, std::string &body, const char *digits,
                                size_t count, float confidence) const {
    if (!m_ActiveDtmfGrammar) return false;
    std::string document = "<?xml version=\"1.0\"?>\n<result>\n  <interpretation grammar=\"";
    AppendEscaped(document, GrammarName(*m_ActiveDtmfGrammar));
    document += "\" confidence=\"" + Format("%.2f", confidence) + "\">\n    <input mode=\"dtmf\">";
    std::string keys(digits ? digits : "", digits ? count : 0);
    for (size_t i = 0; i < keys.size(); ++i) {
        if (i) document += ' ';
        AppendEscaped(document, std::string(1, keys[i]));
    }
    document += "</input>\n    <instance>";
    AppendEscaped(document, keys);
    document += "</instance>\n  </interpretation>\n</result>\n";
    content_type = kNlsmlContentType;
    body.swap(document);
    return true;
}

}  // namespace KORAL
