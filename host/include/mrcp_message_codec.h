/* MRCP message text: parser and serializer for MRCPv2 (RFC 6787) and MRCPv1 (RFC 4463). */
#pragma once

#include "mrcp_message.h"

APT_BEGIN_EXTERN_C

/* Most bytes one message may have. */
#define MRCP_MESSAGE_MAX_LENGTH (4 * 1024 * 1024)

/* Parses one complete message (start line, headers, empty line, body) from text.
 * The version comes from the start line. MRCPv2 requires message-length to equal
 * length and Content-Length to match the body that remains; MRCPv1 takes the body by
 * Content-Length (missing: none). Lines may end with CRLF, LF or CR. Returns the
 * message, or NULL with a reason in *error (when error is not NULL; a static or
 * pool text) on any malformed start line, header, value or length. */
APT_DECLARE(mrcp_message_t *)
mrcp_message_parse(const char *text, apr_size_t length, apr_pool_t *pool, const char **error);

/* Serializes the message in its start line's version: MRCPv2 with message-length
 * and Channel-Identifier, MRCPv1 without them; CRLF line ends; Content-Length
 * written whenever there is a body. Returns NUL-terminated text from the pool (its
 * length in *length when not NULL), or NULL when the message cannot be written
 * (unknown type, version, method or event). Sets start_line.length (MRCPv2). */
APT_DECLARE(char *)
mrcp_message_serialize(mrcp_message_t *message, apr_pool_t *pool, apr_size_t *length);

/* Header value as text, as the serializer writes it (for printing and JSON): the
 * header of order entry `entry` (see mrcp_message_header_t.order), its name in *name.
 * NULL when the entry is out of range. */
APT_DECLARE(const char *)
mrcp_message_header_text_get(const mrcp_message_t *message, apr_size_t entry, const char **name,
                             apr_pool_t *pool);

APT_END_EXTERN_C
