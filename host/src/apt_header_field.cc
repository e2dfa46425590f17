// Header section parser: "Name: value" lines up to an empty line.
#include "apt_header_field.h"

#include <strings.h>

#include <cstring>

namespace {

bool IsBlank(char ch) { return ch == ' ' || ch == '\t'; }

void Trim(const char *&begin, const char *&end) {
    while (begin < end && IsBlank(*begin)) ++begin;
    while (end > begin && IsBlank(end[-1])) --end;
}

apt_header_field_t *NewField(apt_header_section_t *section, const char *name, apr_size_t name_len,
                             const char *value, apr_size_t value_len, apr_pool_t *pool) {
    auto *field = static_cast<apt_header_field_t *>(apr_pcalloc(pool, sizeof(apt_header_field_t)));
    field->name.buf = apr_pstrmemdup(pool, name, name_len);
    field->name.length = name_len;
    field->value.buf = apr_pstrmemdup(pool, value, value_len);
    field->value.length = value_len;
    if (section->last)
        section->last->next = field;
    else
        section->first = field;
    section->last = field;
    ++section->count;
    return field;
}

// Joins a continuation line to the last field's value with one space.
void Continue(apt_header_section_t *section, const char *text, apr_size_t length,
              apr_pool_t *pool) {
    apt_header_field_t *field = section->last;
    if (length == 0) return;
    apr_size_t old = field->value.length;
    apr_size_t total = old + (old ? 1 : 0) + length;
    char *buf = static_cast<char *>(apr_palloc(pool, total + 1));
    memcpy(buf, field->value.buf, old);
    apr_size_t at = old;
    if (old) buf[at++] = ' ';
    memcpy(buf + at, text, length);
    buf[total] = '\0';
    field->value.buf = buf;
    field->value.length = total;
}

}  // namespace

extern "C" {

APT_DECLARE(void) apt_header_section_init(apt_header_section_t *section) {
    if (!section) return;
    section->first = nullptr;
    section->last = nullptr;
    section->count = 0;
}

APT_DECLARE(apt_bool_t)
apt_header_section_parse(apt_header_section_t *section, apt_text_stream_t *stream,
                         apr_pool_t *pool) {
    if (!section || !stream || !pool) return FALSE;
    apt_str_t line;
    apr_size_t added = 0;
    while (apt_text_line_read(stream, &line)) {
        // A line read at the very end without a line end cannot be the empty line
        // that closes the section: the text was cut.
        if (line.length == 0) {
            const char *after = line.buf;
            if (after < stream->end && (*after == '\r' || *after == '\n')) return TRUE;
            return FALSE;
        }
        // Names and values are handed on as C strings: a NUL byte would cut
        // them short unseen.
        if (memchr(line.buf, '\0', line.length)) return FALSE;
        const char *begin = line.buf;
        const char *end = line.buf + line.length;
        if (IsBlank(*begin)) {
            if (added == 0) return FALSE;  // nothing to continue
            Trim(begin, end);
            Continue(section, begin, (apr_size_t)(end - begin), pool);
            continue;
        }
        const char *colon = static_cast<const char *>(memchr(begin, ':', line.length));
        if (!colon) return FALSE;
        const char *name_end = colon;
        while (name_end > begin && IsBlank(name_end[-1])) --name_end;
        if (name_end == begin) return FALSE;
        if (section->count >= APT_HEADER_SECTION_MAX_FIELDS) return FALSE;
        const char *value = colon + 1;
        Trim(value, end);
        NewField(section, begin, (apr_size_t)(name_end - begin), value, (apr_size_t)(end - value),
                 pool);
        ++added;
    }
    return FALSE;  // the text ended before the empty line
}

APT_DECLARE(apt_header_field_t *)
apt_header_section_add(apt_header_section_t *section, const char *name, const char *value,
                       apr_pool_t *pool) {
    if (!section || !name || !*name || !pool) return nullptr;
    if (!value) value = "";
    return NewField(section, name, strlen(name), value, strlen(value), pool);
}

APT_DECLARE(const apt_header_field_t *)
apt_header_section_find(const apt_header_section_t *section, const char *name) {
    if (!section || !name) return nullptr;
    apr_size_t len = strlen(name);
    for (const apt_header_field_t *f = section->first; f; f = f->next) {
        if (f->name.length == len && strncasecmp(f->name.buf, name, len) == 0) return f;
    }
    return nullptr;
}

}  // extern "C"
