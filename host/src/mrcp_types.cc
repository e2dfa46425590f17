// Names of MRCP request states and versions.
#include "mrcp_types.h"

extern "C" {

APT_DECLARE(const char *) mrcp_request_state_str(mrcp_request_state_e state) {
    switch (state) {
        case MRCP_REQUEST_STATE_COMPLETE:
            return "COMPLETE";
        case MRCP_REQUEST_STATE_INPROGRESS:
            return "IN-PROGRESS";
        case MRCP_REQUEST_STATE_PENDING:
            return "PENDING";
        default:
            return nullptr;
    }
}

APT_DECLARE(const char *) mrcp_version_str(mrcp_version_e version) {
    switch (version) {
        case MRCP_VERSION_1:
            return "MRCP/1.0";
        case MRCP_VERSION_2:
            return "MRCP/2.0";
        default:
            return nullptr;
    }
}

}  // extern "C"
