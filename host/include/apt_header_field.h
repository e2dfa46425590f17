/* Header fields ("Name: value" lines) and the header-section parser. */
#pragma once

#include "apt.h"
#include "apt_text_stream.h"

APT_BEGIN_EXTERN_C

typedef struct apt_header_field_t apt_header_field_t;

/* One field. name and value are NUL-terminated copies from the section's pool;
 * the value is trimmed and continuation lines are joined to it with one space. */
struct apt_header_field_t {
    apt_str_t name;
    apt_str_t value;
    apt_header_field_t *next;
};

/* The fields of one header section, in the order they were read or added. */
typedef struct apt_header_section_t {
    apt_header_field_t *first;
    apt_header_field_t *last;
    apr_size_t count;
} apt_header_section_t;

/* Upper bound of the fields one section accepts; a longer section fails to parse. */
#define APT_HEADER_SECTION_MAX_FIELDS 1024

/* Makes the section empty (it allocates nothing). */
APT_DECLARE(void) apt_header_section_init(apt_header_section_t *section);

/* Reads header lines from the stream's position up to and including the empty line
 * that ends the section, appending their fields to the section (copies from pool).
 * Lines end with LF, CRLF or a lone CR. A line starting with a blank continues the
 * previous field's value. TRUE with the stream placed after the empty line (the
 * start of the body); FALSE when the text ends before the empty line, a line has no
 * colon or an empty name, a continuation line has no field to continue, or there
 * are more than APT_HEADER_SECTION_MAX_FIELDS fields. */
APT_DECLARE(apt_bool_t)
apt_header_section_parse(apt_header_section_t *section, apt_text_stream_t *stream,
                         apr_pool_t *pool);

/* Appends a field with copies of name and value. */
APT_DECLARE(apt_header_field_t *)
apt_header_section_add(apt_header_section_t *section, const char *name, const char *value,
                       apr_pool_t *pool);
/* First field whose name equals name without regard to case, or NULL. */
APT_DECLARE(const apt_header_field_t *)
apt_header_section_find(const apt_header_section_t *section, const char *name);

APT_END_EXTERN_C
