// Generic header names and value types.
#include "mrcp_generic_header.h"

#include <cstddef>

#include "mrcp_header_value.h"

namespace vantor {

namespace {

#define GH(v2, v1, type, field) \
    { v2, v1, ValueType::type, offsetof(mrcp_generic_header_t, field) }

const HeaderDescriptor kGeneric[GENERIC_HEADER_COUNT] = {
    {"Channel-Identifier", nullptr, ValueType::kChannelId, 0},
    GH("Active-Request-Id-List", "Active-Request-Id-List", kIdList, active_request_id_list),
    GH("Proxy-Sync-Id", "Proxy-Sync-Id", kString, proxy_sync_id),
    GH("Accept-Charset", "Accept-Charset", kString, accept_charset),
    GH("Content-Type", "Content-Type", kString, content_type),
    GH("Content-ID", "Content-Id", kString, content_id),
    GH("Content-Base", "Content-Base", kString, content_base),
    GH("Content-Encoding", "Content-Encoding", kString, content_encoding),
    GH("Content-Location", "Content-Location", kString, content_location),
    GH("Content-Length", "Content-Length", kSize, content_length),
    GH("Cache-Control", "Cache-Control", kString, cache_control),
    GH("Logging-Tag", "Logging-Tag", kString, logging_tag),
    GH("Vendor-Specific-Parameters", "Vendor-Specific-Parameters", kString, vendor_specific_params),
    GH("Accept", nullptr, kString, accept),
    GH("Fetch-Timeout", "Fetch-Timeout", kSize, fetch_timeout),
    GH("Set-Cookie", nullptr, kString, set_cookie),
    GH("Set-Cookie2", nullptr, kString, set_cookie2),
};

#undef GH

}  // namespace

const HeaderDescriptor *GenericHeaderDescriptor(apr_size_t id) {
    return id < GENERIC_HEADER_COUNT ? &kGeneric[id] : nullptr;
}

}  // namespace vantor

extern "C" {

APT_DECLARE(const char *)
mrcp_generic_header_name_get(mrcp_generic_header_id id, mrcp_version_e version) {
    const vantor::HeaderDescriptor *d = vantor::GenericHeaderDescriptor(id);
    return d ? vantor::HeaderName(*d, version) : nullptr;
}

APT_DECLARE(mrcp_generic_header_id)
mrcp_generic_header_id_find(const char *name, apr_size_t length, mrcp_version_e version) {
    return static_cast<mrcp_generic_header_id>(vantor::HeaderFind(
        vantor::GenericHeaderDescriptor(0), GENERIC_HEADER_COUNT, name, length, version));
}

}  // extern "C"
