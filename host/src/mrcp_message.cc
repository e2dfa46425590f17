// MRCP message objects: creation, responses and events, header presence and order.
#include "mrcp_message.h"

#include <cstring>

#include "mrcp_header_value.h"

namespace {

apr_uint32_t OrderKey(mrcp_header_kind_e kind, apr_size_t id) {
    return ((apr_uint32_t)kind << 16) | (apr_uint32_t)(id & 0xFFFF);
}

void OrderAppend(mrcp_message_t *message, mrcp_header_kind_e kind, apr_size_t id) {
    *static_cast<apr_uint32_t *>(apr_array_push(message->header.order)) = OrderKey(kind, id);
}

void OrderRemove(mrcp_message_t *message, mrcp_header_kind_e kind, apr_size_t id) {
    apr_array_header_t *order = message->header.order;
    auto *keys = reinterpret_cast<apr_uint32_t *>(order->elts);
    apr_uint32_t key = OrderKey(kind, id);
    int out = 0;
    for (int i = 0; i < order->nelts; ++i)
        if (keys[i] != key) keys[out++] = keys[i];
    order->nelts = out;
}

// A header named with an empty value keeps its place in the order when it gets a value.
apt_bool_t MaskAdd(mrcp_message_t *message, apr_uint64_t *mask, apr_uint64_t *empty,
                   mrcp_header_kind_e kind, apr_size_t id, apr_size_t count) {
    if (!message || id >= count) return FALSE;
    apr_uint64_t bit = (apr_uint64_t)1 << id;
    if (*empty & bit) {
        *empty &= ~bit;
        *mask |= bit;
    } else if (!(*mask & bit)) {
        *mask |= bit;
        OrderAppend(message, kind, id);
    }
    return TRUE;
}

// Names a header with an empty value, unless it has a value already.
apt_bool_t NameAdd(mrcp_message_t *message, apr_uint64_t *mask, apr_uint64_t *empty,
                   mrcp_header_kind_e kind, apr_size_t id) {
    apr_uint64_t bit = (apr_uint64_t)1 << id;
    if (!(*mask & bit) && !(*empty & bit)) {
        *empty |= bit;
        OrderAppend(message, kind, id);
    }
    return TRUE;
}

apt_bool_t MaskRemove(mrcp_message_t *message, apr_uint64_t *mask, apr_uint64_t *empty,
                      mrcp_header_kind_e kind, apr_size_t id, apr_size_t count) {
    if (!message || id >= count) return FALSE;
    apr_uint64_t bit = (apr_uint64_t)1 << id;
    if ((*mask | *empty) & bit) {
        *mask &= ~bit;
        *empty &= ~bit;
        OrderRemove(message, kind, id);
    }
    return TRUE;
}

apt_bool_t BitCheck(apr_uint64_t mask, apr_size_t id, apr_size_t count) {
    return (id < count && (mask & ((apr_uint64_t)1 << id))) ? TRUE : FALSE;
}

mrcp_message_t *Derive(const mrcp_message_t *request, apr_pool_t *pool) {
    if (!request || !pool) return nullptr;
    mrcp_message_t *message = mrcp_message_create(pool);
    message->start_line.version = request->start_line.version;
    message->start_line.request_id = request->start_line.request_id;
    message->resource_id = request->resource_id;
    apt_string_copy(&message->channel_id.session_id, &request->channel_id.session_id, pool);
    apt_string_copy(&message->channel_id.resource_name, &request->channel_id.resource_name, pool);
    return message;
}

}  // namespace

extern "C" {

APT_DECLARE(mrcp_message_t *) mrcp_message_create(apr_pool_t *pool) {
    if (!pool) return nullptr;
    auto *message = static_cast<mrcp_message_t *>(apr_pcalloc(pool, sizeof(mrcp_message_t)));
    message->pool = pool;
    message->resource_id = MRCP_RECOGNIZER_RESOURCE;
    message->start_line.message_type = MRCP_MESSAGE_TYPE_UNKNOWN;
    message->start_line.version = MRCP_VERSION_2;
    message->start_line.request_state = MRCP_REQUEST_STATE_UNKNOWN;
    message->start_line.method_id = RECOGNIZER_METHOD_COUNT;
    message->header.resource.completion_cause = RECOGNIZER_COMPLETION_CAUSE_UNKNOWN;
    message->header.resource.start_input_timers = TRUE;
    apt_header_section_init(&message->header.other);
    message->header.order = apr_array_make(pool, 8, sizeof(apr_uint32_t));
    return message;
}

APT_DECLARE(mrcp_message_t *)
mrcp_request_create(mrcp_version_e version, apr_size_t method_id, apr_pool_t *pool) {
    const char *name = mrcp_recog_method_name_get(method_id, version);
    if (!name) return nullptr;
    mrcp_message_t *message = mrcp_message_create(pool);
    if (!message) return nullptr;
    message->start_line.message_type = MRCP_MESSAGE_TYPE_REQUEST;
    message->start_line.version = version;
    message->start_line.method_id = method_id;
    apt_string_set(&message->start_line.method_name, name);
    return message;
}

APT_DECLARE(mrcp_message_t *)
mrcp_response_create(const mrcp_message_t *request, apr_pool_t *pool) {
    mrcp_message_t *response = Derive(request, pool);
    if (!response) return nullptr;
    response->start_line.message_type = MRCP_MESSAGE_TYPE_RESPONSE;
    response->start_line.method_id = request->start_line.method_id;
    response->start_line.status_code = MRCP_STATUS_CODE_SUCCESS;
    response->start_line.request_state = MRCP_REQUEST_STATE_COMPLETE;
    return response;
}

APT_DECLARE(mrcp_message_t *)
mrcp_event_create(const mrcp_message_t *request, apr_size_t event_id, apr_pool_t *pool) {
    if (!request) return nullptr;
    const char *name = mrcp_recog_event_name_get(event_id, request->start_line.version);
    if (!name) return nullptr;
    mrcp_message_t *event = Derive(request, pool);
    if (!event) return nullptr;
    event->start_line.message_type = MRCP_MESSAGE_TYPE_EVENT;
    event->start_line.method_id = event_id;
    apt_string_set(&event->start_line.method_name, name);
    event->start_line.request_state = MRCP_REQUEST_STATE_INPROGRESS;
    return event;
}

APT_DECLARE(mrcp_generic_header_t *) mrcp_generic_header_get(const mrcp_message_t *message) {
    return message ? const_cast<mrcp_generic_header_t *>(&message->header.generic) : nullptr;
}

APT_DECLARE(apt_bool_t) mrcp_generic_header_property_add(mrcp_message_t *message, apr_size_t id) {
    return message ? MaskAdd(message, &message->header.generic_mask,
                             &message->header.generic_empty_mask, MRCP_HEADER_KIND_GENERIC, id,
                             GENERIC_HEADER_COUNT)
                   : FALSE;
}

APT_DECLARE(apt_bool_t)
mrcp_generic_header_property_check(const mrcp_message_t *message, apr_size_t id) {
    if (!message || id >= GENERIC_HEADER_COUNT) return FALSE;
    return (message->header.generic_mask & ((apr_uint64_t)1 << id)) ? TRUE : FALSE;
}

APT_DECLARE(apt_bool_t)
mrcp_generic_header_property_remove(mrcp_message_t *message, apr_size_t id) {
    return message ? MaskRemove(message, &message->header.generic_mask,
                                &message->header.generic_empty_mask, MRCP_HEADER_KIND_GENERIC, id,
                                GENERIC_HEADER_COUNT)
                   : FALSE;
}

APT_DECLARE(apt_bool_t)
mrcp_generic_header_empty_check(const mrcp_message_t *message, apr_size_t id) {
    return message ? BitCheck(message->header.generic_empty_mask, id, GENERIC_HEADER_COUNT) : FALSE;
}

APT_DECLARE(mrcp_recog_header_t *) mrcp_resource_header_get(const mrcp_message_t *message) {
    return message ? const_cast<mrcp_recog_header_t *>(&message->header.resource) : nullptr;
}

APT_DECLARE(apt_bool_t) mrcp_resource_header_property_add(mrcp_message_t *message, apr_size_t id) {
    return message ? MaskAdd(message, &message->header.resource_mask,
                             &message->header.resource_empty_mask, MRCP_HEADER_KIND_RESOURCE, id,
                             RECOGNIZER_HEADER_COUNT)
                   : FALSE;
}

APT_DECLARE(apt_bool_t)
mrcp_resource_header_property_check(const mrcp_message_t *message, apr_size_t id) {
    if (!message || id >= RECOGNIZER_HEADER_COUNT) return FALSE;
    return (message->header.resource_mask & ((apr_uint64_t)1 << id)) ? TRUE : FALSE;
}

APT_DECLARE(apt_bool_t)
mrcp_resource_header_property_remove(mrcp_message_t *message, apr_size_t id) {
    return message ? MaskRemove(message, &message->header.resource_mask,
                                &message->header.resource_empty_mask, MRCP_HEADER_KIND_RESOURCE, id,
                                RECOGNIZER_HEADER_COUNT)
                   : FALSE;
}

APT_DECLARE(apt_bool_t)
mrcp_resource_header_empty_check(const mrcp_message_t *message, apr_size_t id) {
    return message ? BitCheck(message->header.resource_empty_mask, id, RECOGNIZER_HEADER_COUNT)
                   : FALSE;
}

APT_DECLARE(apt_bool_t) mrcp_resource_header_any(const mrcp_message_t *message) {
    return (message && message->header.resource_mask) ? TRUE : FALSE;
}

APT_DECLARE(apt_bool_t) mrcp_message_channel_id_set(mrcp_message_t *message, const char *text) {
    if (!message || !text) return FALSE;
    const char *at = strchr(text, '@');
    if (!at || at == text || !at[1]) return FALSE;
    apt_string_assign_n(&message->channel_id.session_id, text, (apr_size_t)(at - text),
                        message->pool);
    apt_string_assign(&message->channel_id.resource_name, at + 1, message->pool);
    return TRUE;
}

APT_DECLARE(apt_bool_t)
mrcp_message_header_add(mrcp_message_t *message, const char *name, const char *value) {
    if (!message || !name || !*name) return FALSE;
    if (!value) value = "";
    apr_size_t name_len = strlen(name);
    apr_size_t value_len = strlen(value);
    mrcp_version_e version = message->start_line.version;

    mrcp_generic_header_id gid = mrcp_generic_header_id_find(name, name_len, version);
    if (gid == GENERIC_HEADER_CHANNEL_ID) {
        if (!mrcp_message_channel_id_set(message, value)) return FALSE;
        return mrcp_generic_header_property_add(message, gid);
    }
    if (gid < GENERIC_HEADER_COUNT) {
        const vantor::HeaderDescriptor *d = vantor::GenericHeaderDescriptor(gid);
        bool join = mrcp_generic_header_property_check(message, gid) == TRUE;
        if (!vantor::HeaderValueParse(*d, &message->header.generic, value, value_len, version, join,
                                      message->pool))
            return value_len == 0
                       ? NameAdd(message, &message->header.generic_mask,
                                 &message->header.generic_empty_mask, MRCP_HEADER_KIND_GENERIC, gid)
                       : FALSE;
        return mrcp_generic_header_property_add(message, gid);
    }
    mrcp_recognizer_header_id rid = mrcp_recog_header_id_find(name, name_len, version);
    if (rid < RECOGNIZER_HEADER_COUNT) {
        const vantor::HeaderDescriptor *d = vantor::RecogHeaderDescriptor(rid);
        bool join = mrcp_resource_header_property_check(message, rid) == TRUE;
        if (!vantor::HeaderValueParse(*d, &message->header.resource, value, value_len, version,
                                      join, message->pool))
            return value_len == 0 ? NameAdd(message, &message->header.resource_mask,
                                            &message->header.resource_empty_mask,
                                            MRCP_HEADER_KIND_RESOURCE, rid)
                                  : FALSE;
        return mrcp_resource_header_property_add(message, rid);
    }
    apt_header_section_t *other = &message->header.other;
    if (other->count >= APT_HEADER_SECTION_MAX_FIELDS) return FALSE;
    apr_size_t index = other->count;
    if (!apt_header_section_add(other, name, value, message->pool)) return FALSE;
    OrderAppend(message, MRCP_HEADER_KIND_OTHER, index);
    return TRUE;
}

APT_DECLARE(void)
mrcp_message_body_set(mrcp_message_t *message, const char *text, apr_size_t length) {
    if (!message) return;
    if (!text) length = 0;
    apt_string_assign_n(&message->body, text ? text : "", length, message->pool);
    message->header.generic.content_length = length;
    mrcp_generic_header_property_add(message, GENERIC_HEADER_CONTENT_LENGTH);
}

}  // extern "C"
