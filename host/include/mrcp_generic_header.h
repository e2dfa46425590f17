/* MRCP generic headers (RFC 6787 section 6.2; RFC 4463 section 6.1). */
#pragma once

#include "mrcp_types.h"

APT_BEGIN_EXTERN_C

/* Header ids; presence is tracked per id (mrcp_generic_header_property_check). */
typedef enum {
    GENERIC_HEADER_CHANNEL_ID = 0, /* value kept in mrcp_message_t.channel_id */
    GENERIC_HEADER_ACTIVE_REQUEST_ID_LIST,
    GENERIC_HEADER_PROXY_SYNC_ID,
    GENERIC_HEADER_ACCEPT_CHARSET,
    GENERIC_HEADER_CONTENT_TYPE,
    GENERIC_HEADER_CONTENT_ID,
    GENERIC_HEADER_CONTENT_BASE,
    GENERIC_HEADER_CONTENT_ENCODING,
    GENERIC_HEADER_CONTENT_LOCATION,
    GENERIC_HEADER_CONTENT_LENGTH,
    GENERIC_HEADER_CACHE_CONTROL,
    GENERIC_HEADER_LOGGING_TAG,
    GENERIC_HEADER_VENDOR_SPECIFIC_PARAMS,
    GENERIC_HEADER_ACCEPT,
    GENERIC_HEADER_FETCH_TIMEOUT,
    GENERIC_HEADER_SET_COOKIE,
    GENERIC_HEADER_SET_COOKIE2,
    GENERIC_HEADER_COUNT
} mrcp_generic_header_id;

/* Most request ids one Active-Request-Id-List holds. */
#define MAX_ACTIVE_REQUEST_ID_COUNT 32

typedef struct mrcp_request_id_list_t {
    mrcp_request_id ids[MAX_ACTIVE_REQUEST_ID_COUNT];
    apr_size_t count;
} mrcp_request_id_list_t;

/* Values of the generic headers. Strings are NUL-terminated when set from text
 * or with apt_string_assign; a value counts only while its header is present. */
typedef struct mrcp_generic_header_t {
    mrcp_request_id_list_t active_request_id_list;
    apt_str_t proxy_sync_id;
    apt_str_t accept_charset;
    apt_str_t content_type;
    apt_str_t content_id;
    apt_str_t content_base;
    apt_str_t content_encoding;
    apt_str_t content_location;
    /* Body octets. The serializer writes the actual body length whenever the
     * message has a body (or this header is present). */
    apr_size_t content_length;
    apt_str_t cache_control;
    apt_str_t logging_tag;
    /* "name=value;name=value", as written. */
    apt_str_t vendor_specific_params;
    apt_str_t accept;
    apr_size_t fetch_timeout; /* ms */
    apt_str_t set_cookie;
    apt_str_t set_cookie2;
} mrcp_generic_header_t;

/* Header name as written in the given version ("Content-Type"), or NULL. */
APT_DECLARE(const char *)
mrcp_generic_header_name_get(mrcp_generic_header_id id, mrcp_version_e version);
/* Id of a header name (compared without regard to case) in the given version, or
 * GENERIC_HEADER_COUNT when the name is not a generic header. */
APT_DECLARE(mrcp_generic_header_id)
mrcp_generic_header_id_find(const char *name, apr_size_t length, mrcp_version_e version);

APT_END_EXTERN_C
