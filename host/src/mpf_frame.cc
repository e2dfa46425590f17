// RFC 4733 DTMF event id mapping.
#include "mpf_frame.h"

namespace {
const char kDtmfChars[] = "0123456789*#ABCD";
}

extern "C" {

APT_DECLARE(char) mpf_event_id_to_dtmf_char(apr_uint32_t event_id) {
    return event_id < 16 ? kDtmfChars[event_id] : '\0';
}

APT_DECLARE(apr_uint32_t) mpf_dtmf_char_to_event_id(char dtmf_char) {
    for (apr_uint32_t i = 0; i < 16; ++i) {
        if (kDtmfChars[i] == dtmf_char || (i >= 12 && kDtmfChars[i] == dtmf_char - 'a' + 'A'))
            return i;
    }
    return 0xFF;
}

}  // extern "C"
