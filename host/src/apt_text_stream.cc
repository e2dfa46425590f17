// Text stream: line and field readers and all-or-nothing formatted writers.
#include "apt_text_stream.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool IsBlank(char ch) { return ch == ' ' || ch == '\t'; }

// Appends length bytes when they fit; keeps a NUL after them when there is room.
apr_size_t Append(apt_text_stream_t *stream, const char *data, apr_size_t length) {
    if (!stream || !stream->pos || length == 0) return 0;
    if (length > apt_text_stream_remaining(stream)) return 0;
    memcpy(stream->pos, data, length);
    stream->pos += length;
    if (stream->pos < stream->end) *stream->pos = '\0';
    return length;
}

}  // namespace

extern "C" {

APT_DECLARE(void) apt_text_stream_init(apt_text_stream_t *stream, char *buffer, apr_size_t size) {
    if (!stream) return;
    if (!buffer) size = 0;
    stream->text.buf = buffer;
    stream->text.length = size;
    stream->pos = buffer;
    stream->end = buffer ? buffer + size : nullptr;
    stream->is_eos = size == 0 ? TRUE : FALSE;
}

APT_DECLARE(void) apt_text_stream_reset(apt_text_stream_t *stream) {
    if (!stream) return;
    stream->pos = stream->text.buf;
    stream->is_eos = stream->text.length == 0 ? TRUE : FALSE;
}

APT_DECLARE(apr_size_t) apt_text_stream_offset(const apt_text_stream_t *stream) {
    return (stream && stream->pos) ? (apr_size_t)(stream->pos - stream->text.buf) : 0;
}

APT_DECLARE(apr_size_t) apt_text_stream_remaining(const apt_text_stream_t *stream) {
    return (stream && stream->pos && stream->end > stream->pos)
               ? (apr_size_t)(stream->end - stream->pos)
               : 0;
}

APT_DECLARE(apt_bool_t) apt_text_is_eos(const apt_text_stream_t *stream) {
    return apt_text_stream_remaining(stream) == 0 ? TRUE : FALSE;
}

APT_DECLARE(apt_bool_t) apt_text_line_read(apt_text_stream_t *stream, apt_str_t *line) {
    if (!stream || !line) return FALSE;
    line->buf = stream->pos;
    line->length = 0;
    if (apt_text_is_eos(stream)) {
        stream->is_eos = TRUE;
        return FALSE;
    }
    char *p = stream->pos;
    while (p < stream->end && *p != '\r' && *p != '\n') ++p;
    line->length = (apr_size_t)(p - stream->pos);
    if (p < stream->end) {
        if (*p == '\r' && p + 1 < stream->end && p[1] == '\n') ++p;
        ++p;
    }
    stream->pos = p;
    if (p >= stream->end) stream->is_eos = TRUE;
    return TRUE;
}

APT_DECLARE(apt_bool_t)
apt_text_field_read(apt_text_stream_t *stream, char separator, apt_bool_t skip_spaces,
                    apt_str_t *field) {
    if (!stream || !field) return FALSE;
    if (skip_spaces) apt_text_spaces_skip(stream);
    field->buf = stream->pos;
    field->length = 0;
    if (apt_text_is_eos(stream)) {
        stream->is_eos = TRUE;
        return FALSE;
    }
    char *p = stream->pos;
    while (p < stream->end && *p != separator) ++p;
    field->length = (apr_size_t)(p - stream->pos);
    if (p < stream->end) ++p;  // past the separator
    stream->pos = p;
    if (p >= stream->end) stream->is_eos = TRUE;
    return field->length > 0 ? TRUE : FALSE;
}

APT_DECLARE(void) apt_text_spaces_skip(apt_text_stream_t *stream) {
    if (!stream || !stream->pos) return;
    while (stream->pos < stream->end && IsBlank(*stream->pos)) ++stream->pos;
}

APT_DECLARE(void) apt_text_chars_skip(apt_text_stream_t *stream, char ch) {
    if (!stream || !stream->pos) return;
    while (stream->pos < stream->end && *stream->pos == ch) ++stream->pos;
}

APT_DECLARE(apr_size_t) apt_text_printf(apt_text_stream_t *stream, const char *format, ...) {
    if (!stream || !stream->pos || !format) return 0;
    apr_size_t room = apt_text_stream_remaining(stream);
    va_list args;
    va_start(args, format);
    // vsnprintf needs room for its NUL; format into the buffer when it can hold
    // text and NUL, else measure first so that nothing partial is left behind.
    int n = vsnprintf(stream->pos, room, format, args);
    va_end(args);
    if (n <= 0) {
        if (room > 0) *stream->pos = '\0';
        return 0;
    }
    if ((apr_size_t)n < room) {
        stream->pos += n;
        return (apr_size_t)n;
    }
    if ((apr_size_t)n == room) {
        // Fits exactly without the NUL: format into a temporary copy.
        char *tmp = static_cast<char *>(malloc((apr_size_t)n + 1));
        if (!tmp) {
            *stream->pos = '\0';
            return 0;
        }
        va_start(args, format);
        vsnprintf(tmp, (apr_size_t)n + 1, format, args);
        va_end(args);
        memcpy(stream->pos, tmp, (apr_size_t)n);
        free(tmp);
        stream->pos += n;
        return (apr_size_t)n;
    }
    if (room > 0) *stream->pos = '\0';  // undo the partial text
    return 0;
}

APT_DECLARE(apr_size_t) apt_text_string_insert(apt_text_stream_t *stream, const apt_str_t *str) {
    if (!str || !str->buf) return 0;
    return Append(stream, str->buf, str->length);
}

APT_DECLARE(apt_bool_t) apt_text_char_insert(apt_text_stream_t *stream, char ch) {
    return Append(stream, &ch, 1) == 1 ? TRUE : FALSE;
}

APT_DECLARE(apt_bool_t) apt_text_eol_insert(apt_text_stream_t *stream) {
    return Append(stream, "\r\n", 2) == 2 ? TRUE : FALSE;
}

}  // extern "C"
