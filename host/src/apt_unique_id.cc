// Random hexadecimal ids (32 characters: a version 4 UUID without dashes).
#include "apt_unique_id.h"

#include <apr_general.h>

extern "C" {

APT_DECLARE(apt_bool_t) apt_unique_id_generate(apt_str_t *id, apr_size_t length, apr_pool_t *pool) {
    if (!id) return FALSE;
    id->buf = nullptr;
    id->length = 0;
    if (!pool || length == 0 || length > APT_UNIQUE_ID_MAX_LENGTH) return FALSE;

    unsigned char bytes[APT_UNIQUE_ID_MAX_LENGTH / 2 + 1];
    apr_size_t count = (length + 1) / 2;
    if (apr_generate_random_bytes(bytes, count) != APR_SUCCESS) return FALSE;
    if (length == 32) {
        bytes[6] = (unsigned char)((bytes[6] & 0x0F) | 0x40);  // version 4
        bytes[8] = (unsigned char)((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    }
    static const char kHex[] = "0123456789abcdef";
    char *buf = static_cast<char *>(apr_palloc(pool, length + 1));
    for (apr_size_t i = 0; i < length; ++i) {
        unsigned char b = bytes[i / 2];
        buf[i] = kHex[(i % 2 == 0) ? (b >> 4) : (b & 0x0F)];
    }
    buf[length] = '\0';
    id->buf = buf;
    id->length = length;
    return TRUE;
}

}  // extern "C"
