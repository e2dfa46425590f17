// Counted string helpers.
#include "apt_string.h"

#include <strings.h>

#include <cstring>

extern "C" {

APT_DECLARE(void) apt_string_set(apt_str_t *str, const char *text) {
    if (!str) return;
    str->buf = const_cast<char *>(text);
    str->length = text ? strlen(text) : 0;
}

APT_DECLARE(void)
apt_string_assign_n(apt_str_t *str, const char *text, apr_size_t length, apr_pool_t *pool) {
    if (!str) return;
    if (!text || !pool) {
        apt_string_reset(str);
        return;
    }
    str->buf = apr_pstrmemdup(pool, text, length);
    str->length = length;
}

APT_DECLARE(void) apt_string_assign(apt_str_t *str, const char *text, apr_pool_t *pool) {
    apt_string_assign_n(str, text, text ? strlen(text) : 0, pool);
}

APT_DECLARE(void) apt_string_copy(apt_str_t *dst, const apt_str_t *src, apr_pool_t *pool) {
    if (!src || !src->buf) {
        if (dst) apt_string_reset(dst);
        return;
    }
    apt_string_assign_n(dst, src->buf, src->length, pool);
}

APT_DECLARE(apt_bool_t) apt_string_compare(const apt_str_t *a, const apt_str_t *b) {
    apr_size_t la = (a && a->buf) ? a->length : 0;
    apr_size_t lb = (b && b->buf) ? b->length : 0;
    if (la != lb) return FALSE;
    return (la == 0 || memcmp(a->buf, b->buf, la) == 0) ? TRUE : FALSE;
}

APT_DECLARE(apt_bool_t) apt_string_iequal(const apt_str_t *str, const char *text) {
    apr_size_t len = (str && str->buf) ? str->length : 0;
    if (!text) return len == 0 ? TRUE : FALSE;
    if (strlen(text) != len) return FALSE;
    return (len == 0 || strncasecmp(str->buf, text, len) == 0) ? TRUE : FALSE;
}

}  // extern "C"
