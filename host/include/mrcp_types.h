/* Basic MRCP types: versions, message kinds, request ids, states and status codes. */
#pragma once

#include "apt.h"

APT_BEGIN_EXTERN_C

typedef enum {
    MRCP_VERSION_UNKNOWN = 0,
    MRCP_VERSION_1 = 1, /* RFC 4463, carried in RTSP */
    MRCP_VERSION_2 = 2  /* RFC 6787 */
} mrcp_version_e;

typedef enum {
    MRCP_MESSAGE_TYPE_UNKNOWN = 0,
    MRCP_MESSAGE_TYPE_REQUEST = 1,
    MRCP_MESSAGE_TYPE_RESPONSE = 2,
    MRCP_MESSAGE_TYPE_EVENT = 3
} mrcp_message_type_e;

/* Resource ids of the server; the recognizer is the only one this host serves. */
typedef enum {
    MRCP_SYNTHESIZER_RESOURCE = 0,
    MRCP_RECOGNIZER_RESOURCE = 1,
    MRCP_RECORDER_RESOURCE = 2,
    MRCP_VERIFIER_RESOURCE = 3
} mrcp_resource_type_e;
typedef apr_size_t mrcp_resource_id;

/* Unsigned 32-bit request id, chosen by the client. */
typedef apr_uint32_t mrcp_request_id;

typedef enum {
    MRCP_REQUEST_STATE_COMPLETE = 0,
    MRCP_REQUEST_STATE_INPROGRESS = 1,
    MRCP_REQUEST_STATE_PENDING = 2,
    MRCP_REQUEST_STATE_UNKNOWN = 3
} mrcp_request_state_e;

typedef enum {
    MRCP_STATUS_CODE_UNKNOWN = 0,
    MRCP_STATUS_CODE_SUCCESS = 200,
    MRCP_STATUS_CODE_SUCCESS_WITH_IGNORE = 201,
    MRCP_STATUS_CODE_METHOD_NOT_ALLOWED = 401,
    MRCP_STATUS_CODE_METHOD_NOT_VALID = 402,
    MRCP_STATUS_CODE_UNSUPPORTED_PARAM = 403,
    MRCP_STATUS_CODE_ILLEGAL_PARAM_VALUE = 404,
    MRCP_STATUS_CODE_NOT_FOUND = 405,
    MRCP_STATUS_CODE_MISSING_PARAM = 406,
    MRCP_STATUS_CODE_METHOD_FAILED = 407,
    MRCP_STATUS_CODE_UNRECOGNIZED_MESSAGE = 408,
    MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE = 409,
    MRCP_STATUS_CODE_OUT_OF_ORDER = 410,
    MRCP_STATUS_CODE_RESOURCE_SPECIFIC_FAILURE = 421,
    MRCP_STATUS_CODE_SERVER_INTERNAL_ERROR = 501,
    MRCP_STATUS_CODE_VERSION_NOT_SUPPORTED = 502,
    MRCP_STATUS_CODE_MESSAGE_TOO_LARGE = 504,
    /* Highest code a status line can carry: any three-digit code read is a
     * value of this type. */
    MRCP_STATUS_CODE_MAX = 999
} mrcp_status_code_e;

/* "COMPLETE", "IN-PROGRESS", "PENDING"; NULL for anything else. */
APT_DECLARE(const char *) mrcp_request_state_str(mrcp_request_state_e state);
/* "MRCP/1.0", "MRCP/2.0"; NULL for anything else. */
APT_DECLARE(const char *) mrcp_version_str(mrcp_version_e version);

APT_END_EXTERN_C
