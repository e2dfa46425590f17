/* Unique identifiers made of random lowercase hexadecimal characters. */
#pragma once

#include "apt.h"

APT_BEGIN_EXTERN_C

/* Longest id apt_unique_id_generate makes. */
#define APT_UNIQUE_ID_MAX_LENGTH 256

/* Fills id with length random lowercase hexadecimal characters, NUL-terminated, from
 * the pool. With length 32 the id is a random (version 4) UUID written without dashes,
 * e.g. "3f2a9c0e5b7d4e18a6c1f0e2d3b4a596". FALSE (id empty) when length is 0 or above
 * APT_UNIQUE_ID_MAX_LENGTH or no random bytes could be had. Thread-safe. */
APT_DECLARE(apt_bool_t) apt_unique_id_generate(apt_str_t *id, apr_size_t length, apr_pool_t *pool);

APT_END_EXTERN_C
