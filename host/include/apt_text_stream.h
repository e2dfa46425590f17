/* Text stream: a cursor over a text buffer, for reading lines and fields and
 * for appending formatted text into a fixed buffer. */
#pragma once

#include "apt.h"

APT_BEGIN_EXTERN_C

typedef struct apt_text_stream_t {
    /* The buffer: for reading, the text and its length; for writing, the
     * buffer and its capacity. */
    apt_str_t text;
    /* Current position, between text.buf and end. */
    char *pos;
    /* text.buf + text.length. */
    const char *end;
    /* Set once a read reaches the end of the text. */
    apt_bool_t is_eos;
} apt_text_stream_t;

/* Places the stream at the start of buffer (size bytes). buffer may be NULL when size is 0. */
APT_DECLARE(void) apt_text_stream_init(apt_text_stream_t *stream, char *buffer, apr_size_t size);
/* Back to the start of the buffer. */
APT_DECLARE(void) apt_text_stream_reset(apt_text_stream_t *stream);
/* Bytes between the start of the buffer and the position (for writers: bytes written). */
APT_DECLARE(apr_size_t) apt_text_stream_offset(const apt_text_stream_t *stream);
/* Bytes between the position and the end. */
APT_DECLARE(apr_size_t) apt_text_stream_remaining(const apt_text_stream_t *stream);

/* --- Reading --- */

/* Reads from the position up to the next end of line (LF, CRLF or a lone CR) or the
 * end of the text; line points into the buffer and excludes the line end; the
 * position moves past the line end. TRUE when a line was read (it may be empty when
 * two line ends follow each other, and the last line need not end with a line end);
 * FALSE when the position was already at the end of the text (line is then empty). */
APT_DECLARE(apt_bool_t) apt_text_line_read(apt_text_stream_t *stream, apt_str_t *line);

/* Reads a field ending at the separator or at the end of the text, skipping leading
 * blanks (spaces and tabs) first when skip_spaces is TRUE; field points into the
 * buffer and excludes the separator; the position moves past the separator. TRUE
 * when the field is not empty; FALSE for an empty field or at the end of the text. */
APT_DECLARE(apt_bool_t)
apt_text_field_read(apt_text_stream_t *stream, char separator, apt_bool_t skip_spaces,
                    apt_str_t *field);

/* Skips blanks (spaces and tabs). */
APT_DECLARE(void) apt_text_spaces_skip(apt_text_stream_t *stream);
/* Skips every consecutive occurrence of ch. */
APT_DECLARE(void) apt_text_chars_skip(apt_text_stream_t *stream, char ch);
/* TRUE when the position is at the end of the text. */
APT_DECLARE(apt_bool_t) apt_text_is_eos(const apt_text_stream_t *stream);

/* --- Writing (into the buffer given to apt_text_stream_init) --- */

/* Appends formatted text at the position. The text is written whole or not at all:
 * returns the number of bytes written, 0 when it does not fit (the stream is then
 * unchanged) or the format produces nothing. A NUL is kept after the written text
 * when there is room for it, so that a stream filled from a buffer one byte larger
 * than its given size is always NUL-terminated. */
APT_DECLARE(apr_size_t)
apt_text_printf(apt_text_stream_t *stream, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
/* Appends a counted string, whole or not at all; returns the bytes written. */
APT_DECLARE(apr_size_t) apt_text_string_insert(apt_text_stream_t *stream, const apt_str_t *str);
/* Appends one character; TRUE when it fit. */
APT_DECLARE(apt_bool_t) apt_text_char_insert(apt_text_stream_t *stream, char ch);
/* Appends CR LF; TRUE when it fit. */
APT_DECLARE(apt_bool_t) apt_text_eol_insert(apt_text_stream_t *stream);

APT_END_EXTERN_C
