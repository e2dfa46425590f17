/* MRCP message: start line, generic and recognizer headers with presence flags,
 * other headers, and body. Messages live in an APR pool; everything they hold
 * comes from that pool. */
#pragma once

#include "apt_header_field.h"
#include "apt_string.h"
#include "mrcp_generic_header.h"
#include "mrcp_recog_header.h"
#include "mrcp_recog_resource.h"
#include "mrcp_types.h"

APT_BEGIN_EXTERN_C

typedef struct mrcp_start_line_t {
    mrcp_message_type_e message_type;
    mrcp_version_e version;
    /* MRCPv2 message-length, as read or as last written; 0 otherwise. */
    apr_size_t length;
    mrcp_request_id request_id;
    /* Method name of a request, event name of an event (empty for responses). */
    apt_str_t method_name;
    /* mrcp_recognizer_method_id of a request, mrcp_recognizer_event_id of an event;
     * for a response the method id of its request (when created from it). */
    apr_size_t method_id;
    mrcp_status_code_e status_code;     /* responses */
    mrcp_request_state_e request_state; /* responses and events */
} mrcp_start_line_t;

/* Channel-Identifier "session_id@resource_name" (MRCPv2). */
typedef struct mrcp_channel_id {
    apt_str_t session_id;
    apt_str_t resource_name;
} mrcp_channel_id;

/* Which kind of header an entry of the header order names. */
typedef enum {
    MRCP_HEADER_KIND_GENERIC = 0,
    MRCP_HEADER_KIND_RESOURCE = 1,
    MRCP_HEADER_KIND_OTHER = 2
} mrcp_header_kind_e;

typedef struct mrcp_message_header_t {
    mrcp_generic_header_t generic;
    mrcp_recog_header_t resource;
    apr_uint64_t generic_mask;  /* bit per mrcp_generic_header_id present */
    apr_uint64_t resource_mask; /* bit per mrcp_recognizer_header_id present */
    /* Headers named with an empty value that their type does not take (as
     * GET-PARAMS names the parameters it asks for): in the order and written
     * as "Name:", but not present in the masks above. */
    apr_uint64_t generic_empty_mask;
    apr_uint64_t resource_empty_mask;
    /* Headers that are neither generic nor recognizer headers, kept as text. */
    apt_header_section_t other;
    /* Order in which headers were read or added: apr_array of apr_uint32_t, each
     * (kind << 16) | id, where id of an "other" header is its index in other.
     * The serializer writes headers in this order. */
    apr_array_header_t *order;
} mrcp_message_header_t;

typedef struct mrcp_message_t {
    mrcp_start_line_t start_line;
    mrcp_channel_id channel_id;
    mrcp_resource_id resource_id; /* MRCP_RECOGNIZER_RESOURCE */
    mrcp_message_header_t header;
    apt_str_t body;
    apr_pool_t *pool;
} mrcp_message_t;

/* An empty message of the recognizer resource (type unknown, version 2). */
APT_DECLARE(mrcp_message_t *) mrcp_message_create(apr_pool_t *pool);
/* A request of the given version and method id, with request id and channel id unset. */
APT_DECLARE(mrcp_message_t *)
mrcp_request_create(mrcp_version_e version, apr_size_t method_id, apr_pool_t *pool);
/* The response to a request: same version, request id, method id and channel id;
 * status 200, state COMPLETE, no headers. NULL when request is NULL. */
APT_DECLARE(mrcp_message_t *) mrcp_response_create(const mrcp_message_t *request, apr_pool_t *pool);
/* An event of the request: same version, request id and channel id; event id and
 * its name for the version; state IN-PROGRESS; no headers. NULL when request is NULL
 * or the version has no such event. */
APT_DECLARE(mrcp_message_t *)
mrcp_event_create(const mrcp_message_t *request, apr_size_t event_id, apr_pool_t *pool);

/* --- Generic headers --- */
APT_DECLARE(mrcp_generic_header_t *) mrcp_generic_header_get(const mrcp_message_t *message);
/* Marks a header present (the value is set through mrcp_generic_header_get). */
APT_DECLARE(apt_bool_t) mrcp_generic_header_property_add(mrcp_message_t *message, apr_size_t id);
APT_DECLARE(apt_bool_t)
mrcp_generic_header_property_check(const mrcp_message_t *message, apr_size_t id);
APT_DECLARE(apt_bool_t) mrcp_generic_header_property_remove(mrcp_message_t *message, apr_size_t id);
/* TRUE when the header is named with an empty value only (property_check is FALSE). */
APT_DECLARE(apt_bool_t)
mrcp_generic_header_empty_check(const mrcp_message_t *message, apr_size_t id);

/* --- Recognizer (resource) headers --- */
APT_DECLARE(mrcp_recog_header_t *) mrcp_resource_header_get(const mrcp_message_t *message);
APT_DECLARE(apt_bool_t) mrcp_resource_header_property_add(mrcp_message_t *message, apr_size_t id);
APT_DECLARE(apt_bool_t)
mrcp_resource_header_property_check(const mrcp_message_t *message, apr_size_t id);
APT_DECLARE(apt_bool_t)
mrcp_resource_header_property_remove(mrcp_message_t *message, apr_size_t id);
APT_DECLARE(apt_bool_t)
mrcp_resource_header_empty_check(const mrcp_message_t *message, apr_size_t id);
/* TRUE when any recognizer header is present. */
APT_DECLARE(apt_bool_t) mrcp_resource_header_any(const mrcp_message_t *message);

/* --- Other headers --- */
/* Adds a header by name: a generic or recognizer header of the message's version is
 * parsed into its field (FALSE on an illegal value: the message is unchanged); an
 * empty value that the header's type does not take names the header only (see
 * generic_empty_mask); any other name is kept as text, one entry per call, at most
 * APT_HEADER_SECTION_MAX_FIELDS. A repeated text or id-list header joins its value to
 * the earlier one with ","; a repeated scalar takes the new value. */
APT_DECLARE(apt_bool_t)
mrcp_message_header_add(mrcp_message_t *message, const char *name, const char *value);

/* --- Body --- */
/* Sets the body to a copy of text (length bytes, NUL-terminated copy) and marks
 * Content-Length present. */
APT_DECLARE(void)
mrcp_message_body_set(mrcp_message_t *message, const char *text, apr_size_t length);

/* Channel-Identifier from "session@resource" (copied); FALSE without an "@". */
APT_DECLARE(apt_bool_t) mrcp_message_channel_id_set(mrcp_message_t *message, const char *text);

APT_END_EXTERN_C
