/* Counted string helpers (apt_str_t is declared in apt.h). */
#pragma once

#include "apt.h"

APT_BEGIN_EXTERN_C

/* Empty string: null buffer, length 0. */
#define APT_STRING_INIT \
    { NULL, 0 }

static inline void apt_string_reset(apt_str_t *str) {
    str->buf = NULL;
    str->length = 0;
}

static inline apt_bool_t apt_string_is_empty(const apt_str_t *str) {
    return (!str || !str->buf || str->length == 0) ? TRUE : FALSE;
}

/* Points str at a NUL-terminated text without copying it (text may be NULL). */
APT_DECLARE(void) apt_string_set(apt_str_t *str, const char *text);
/* Copies a NUL-terminated text (NULL gives an empty string) into the pool. */
APT_DECLARE(void) apt_string_assign(apt_str_t *str, const char *text, apr_pool_t *pool);
/* Copies length bytes into the pool; the copy is NUL-terminated. */
APT_DECLARE(void)
apt_string_assign_n(apt_str_t *str, const char *text, apr_size_t length, apr_pool_t *pool);
/* Copies src into dst from the pool; the copy is NUL-terminated. */
APT_DECLARE(void) apt_string_copy(apt_str_t *dst, const apt_str_t *src, apr_pool_t *pool);
/* Byte comparison; TRUE when both hold the same text (two empty strings compare equal). */
APT_DECLARE(apt_bool_t) apt_string_compare(const apt_str_t *a, const apt_str_t *b);
/* Case-insensitive (ASCII) comparison of a counted string with a NUL-terminated text. */
APT_DECLARE(apt_bool_t) apt_string_iequal(const apt_str_t *str, const char *text);

APT_END_EXTERN_C
