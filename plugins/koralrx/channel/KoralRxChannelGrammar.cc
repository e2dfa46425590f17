// Grammar definition and selection on a channel.
#include "KoralRxChannel.h"
#include "KoralRxEngine.h"
#include "KoralRxGrammarMap.h"
#include "KoralRxLog.h"

namespace KORAL {

namespace {

// The value of a generic string header, or null when it is absent.
const char *GenericText(const mrcp_message_t *message, mrcp_generic_header_id id,
                        const apt_str_t &value) {
    if (!mrcp_generic_header_property_check(message, id) || !value.buf) return nullptr;
    return value.buf;
}

}  // namespace

bool Channel::DefineGrammar(mrcp_message_t *request, mrcp_message_t *response) {
    if (!m_Grammars) {
        ComposeResponse(response, MRCP_STATUS_CODE_METHOD_NOT_ALLOWED,
                        RECOGNIZER_COMPLETION_CAUSE_GRAMMAR_LOAD_FAILURE);
        return false;
    }
    const mrcp_generic_header_t *header = mrcp_generic_header_get(request);
    mrcp_status_code_e status = m_Grammars->DefineGrammar(
        GenericText(request, GENERIC_HEADER_CONTENT_TYPE, header->content_type),
        GenericText(request, GENERIC_HEADER_CONTENT_ID, header->content_id), request->body.buf,
        request->body.length, request->pool);
    if (status != MRCP_STATUS_CODE_SUCCESS) {
        ComposeResponse(response, status, RECOGNIZER_COMPLETION_CAUSE_GRAMMAR_LOAD_FAILURE);
        return false;
    }
    SendMessage(response);
    return true;
}

int Channel::SetActiveGrammar(const mrcp_message_t *request) {
    m_ActiveSpeechGrammar = m_ActiveDtmfGrammar = nullptr;
    if (!m_Grammars) return MRCP_STATUS_CODE_METHOD_NOT_ALLOWED;
    const mrcp_generic_header_t *header = mrcp_generic_header_get(request);
    mrcp_status_code_e status = m_Grammars->SetActiveGrammar(
        GenericText(request, GENERIC_HEADER_CONTENT_TYPE, header->content_type),
        GenericText(request, GENERIC_HEADER_CONTENT_ID, header->content_id), request->body.buf,
        request->body.length, request->pool);
    m_ActiveSpeechGrammar = m_Grammars->ActiveSpeechGrammar();
    m_ActiveDtmfGrammar = m_Grammars->ActiveDtmfGrammar();
    // A DTMF grammar with digit counts sets the detector's; one without leaves
    // the counts of earlier recognitions.
    if (m_ActiveDtmfGrammar && m_ActiveDtmfGrammar->dtmf_context && m_Detector) {
        const DtmfContext *dtmf = m_ActiveDtmfGrammar->dtmf_context;
        mpf_sdi_dtmf_length_set(m_Detector, dtmf->length, dtmf->min_length, dtmf->max_length);
    }
    return status;
}

}  // namespace KORAL
