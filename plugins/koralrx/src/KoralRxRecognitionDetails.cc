#include "KoralRxRecognitionDetails.h"

namespace KORAL {

const char *RecognitionDetails::GetInputTypeStr(mpf_sdi_mode_e type) {
    switch (type) {
        case MPF_SDI_MODE_SPEECH:
            return "speech";
        case MPF_SDI_MODE_DTMF:
            return "dtmf";
        default:
            return nullptr;
    }
}

}  // namespace KORAL
