// MRCP message text: start lines of both versions, header sections, bodies and
// the MRCPv2 message-length.
#include "mrcp_message_codec.h"

#include <cstring>
#include <string>
#include <vector>

#include "apt_text_stream.h"
#include "mrcp_header_value.h"

namespace {

using Token = std::pair<const char *, apr_size_t>;

bool IsDigits(const Token &t) {
    if (t.second == 0) return false;
    for (apr_size_t i = 0; i < t.second; ++i)
        if (t.first[i] < '0' || t.first[i] > '9') return false;
    return true;
}

bool TokenIs(const Token &t, const char *text) {
    return strlen(text) == t.second && memcmp(t.first, text, t.second) == 0;
}

// At most max tokens separated by blanks; false when there are more.
bool Tokenize(const apt_str_t &line, std::vector<Token> *tokens, apr_size_t max) {
    const char *p = line.buf;
    const char *end = line.buf + line.length;
    while (p < end) {
        while (p < end && (*p == ' ' || *p == '\t')) ++p;
        if (p == end) break;
        const char *start = p;
        while (p < end && *p != ' ' && *p != '\t') ++p;
        if (tokens->size() >= max) return false;
        tokens->emplace_back(start, (apr_size_t)(p - start));
    }
    return true;
}

// "MRCP/" 1*2DIGIT "." 1*2DIGIT; major 1 or 2.
mrcp_version_e ParseVersion(const Token &t) {
    if (t.second < 8 || memcmp(t.first, "MRCP/", 5) != 0) return MRCP_VERSION_UNKNOWN;
    const char *p = t.first + 5;
    const char *end = t.first + t.second;
    const char *dot = static_cast<const char *>(memchr(p, '.', (apr_size_t)(end - p)));
    if (!dot) return MRCP_VERSION_UNKNOWN;
    apr_uint64_t major = 0, minor = 0;
    if (!vantor::ParseDecimal(p, (apr_size_t)(dot - p), 2, 99, &major) ||
        !vantor::ParseDecimal(dot + 1, (apr_size_t)(end - dot - 1), 2, 99, &minor))
        return MRCP_VERSION_UNKNOWN;
    if (major == 2) return MRCP_VERSION_2;
    if (major == 1) return MRCP_VERSION_1;
    return MRCP_VERSION_UNKNOWN;
}

bool ParseRequestId(const Token &t, mrcp_request_id *id) {
    apr_uint64_t v = 0;
    if (!vantor::ParseDecimal(t.first, t.second, 10, 0xFFFFFFFFull, &v)) return false;
    *id = (mrcp_request_id)v;
    return true;
}

bool ParseStatus(const Token &t, mrcp_status_code_e *status) {
    apr_uint64_t v = 0;
    if (t.second != 3 || !vantor::ParseDecimal(t.first, t.second, 3, 999, &v) || v < 100)
        return false;
    *status = (mrcp_status_code_e)v;
    return true;
}

bool ParseState(const Token &t, mrcp_request_state_e *state) {
    for (int s = MRCP_REQUEST_STATE_COMPLETE; s <= MRCP_REQUEST_STATE_PENDING; ++s) {
        if (TokenIs(t, mrcp_request_state_str((mrcp_request_state_e)s))) {
            *state = (mrcp_request_state_e)s;
            return true;
        }
    }
    return false;
}

struct Parser {
    mrcp_message_t *message;
    const char *error = nullptr;

    bool Fail(const char *why) {
        error = why;
        return false;
    }

    bool SetMethod(const Token &t) {
        mrcp_start_line_t &sl = message->start_line;
        sl.method_id = mrcp_recog_method_id_find(t.first, t.second, sl.version);
        if (sl.method_id >= RECOGNIZER_METHOD_COUNT) return Fail("unknown method");
        apt_string_set(&sl.method_name, mrcp_recog_method_name_get(sl.method_id, sl.version));
        sl.message_type = MRCP_MESSAGE_TYPE_REQUEST;
        return true;
    }

    bool SetEvent(const Token &t) {
        mrcp_start_line_t &sl = message->start_line;
        sl.method_id = mrcp_recog_event_id_find(t.first, t.second, sl.version);
        if (sl.method_id >= RECOGNIZER_EVENT_COUNT) return Fail("unknown event");
        apt_string_set(&sl.method_name, mrcp_recog_event_name_get(sl.method_id, sl.version));
        sl.message_type = MRCP_MESSAGE_TYPE_EVENT;
        return true;
    }

    // MRCPv2: version length (method id | id status state | event id state).
    bool StartLineV2(const std::vector<Token> &t, apr_size_t text_length) {
        mrcp_start_line_t &sl = message->start_line;
        apr_uint64_t length = 0;
        if (t.size() < 4) return Fail("start line too short");
        if (!vantor::ParseDecimal(t[1].first, t[1].second, 19, MRCP_MESSAGE_MAX_LENGTH, &length))
            return Fail("bad message-length");
        if (length != text_length) return Fail("message-length does not match the message");
        sl.length = (apr_size_t)length;
        if (IsDigits(t[2])) {  // response
            if (t.size() != 5) return Fail("bad response line");
            if (!ParseRequestId(t[2], &sl.request_id)) return Fail("bad request-id");
            if (!ParseStatus(t[3], &sl.status_code)) return Fail("bad status-code");
            if (!ParseState(t[4], &sl.request_state)) return Fail("bad request-state");
            sl.message_type = MRCP_MESSAGE_TYPE_RESPONSE;
            return true;
        }
        if (t.size() == 4 || (t.size() == 5 && IsDigits(t[4]) &&
                              mrcp_recog_method_id_find(t[2].first, t[2].second, MRCP_VERSION_2) <
                                  RECOGNIZER_METHOD_COUNT)) {
            // A request; a stray status code after the id is tolerated.
            if (!ParseRequestId(t[3], &sl.request_id)) return Fail("bad request-id");
            return SetMethod(t[2]);
        }
        // An event; a stray status code before the state is tolerated.
        if (t.size() == 6 && !IsDigits(t[4])) return Fail("bad event line");
        if (t.size() > 6) return Fail("start line too long");
        if (!ParseRequestId(t[3], &sl.request_id)) return Fail("bad request-id");
        if (!ParseState(t[t.size() - 1], &sl.request_state)) return Fail("bad request-state");
        return SetEvent(t[2]);
    }

    // MRCPv1: response "version id status state"; request "method id version";
    // event "event id state version".
    bool StartLineV1(const std::vector<Token> &t) {
        mrcp_start_line_t &sl = message->start_line;
        if (ParseVersion(t[0]) == MRCP_VERSION_1) {
            if (t.size() != 4) return Fail("bad response line");
            if (!ParseRequestId(t[1], &sl.request_id)) return Fail("bad request-id");
            if (!ParseStatus(t[2], &sl.status_code)) return Fail("bad status-code");
            if (!ParseState(t[3], &sl.request_state)) return Fail("bad request-state");
            sl.message_type = MRCP_MESSAGE_TYPE_RESPONSE;
            return true;
        }
        if (t.size() == 3) {
            if (!ParseRequestId(t[1], &sl.request_id)) return Fail("bad request-id");
            return SetMethod(t[0]);
        }
        if (t.size() != 4) return Fail("bad start line");
        if (!ParseRequestId(t[1], &sl.request_id)) return Fail("bad request-id");
        if (!ParseState(t[2], &sl.request_state)) return Fail("bad request-state");
        return SetEvent(t[0]);
    }

    bool StartLine(const apt_str_t &line, apr_size_t text_length) {
        std::vector<Token> tokens;
        if (!Tokenize(line, &tokens, 6) || tokens.size() < 3) return Fail("bad start line");
        mrcp_version_e first = ParseVersion(tokens[0]);
        if (first == MRCP_VERSION_2) {
            message->start_line.version = MRCP_VERSION_2;
            return StartLineV2(tokens, text_length);
        }
        mrcp_version_e last = ParseVersion(tokens.back());
        if (first == MRCP_VERSION_1 || (first == MRCP_VERSION_UNKNOWN && last == MRCP_VERSION_1)) {
            message->start_line.version = MRCP_VERSION_1;
            return StartLineV1(tokens);
        }
        return Fail("unsupported MRCP version");
    }

    bool Headers(const apt_header_section_t &section) {
        for (const apt_header_field_t *f = section.first; f; f = f->next) {
            if (!mrcp_message_header_add(message, f->name.buf, f->value.buf)) {
                error = apr_psprintf(message->pool, "illegal value of header %s", f->name.buf);
                return false;
            }
        }
        return true;
    }

    bool Body(const char *body, apr_size_t available) {
        mrcp_generic_header_t &g = message->header.generic;
        bool has_length =
            mrcp_generic_header_property_check(message, GENERIC_HEADER_CONTENT_LENGTH);
        apr_size_t length = has_length ? g.content_length : 0;
        if (length != available) return Fail("Content-Length does not match the body");
        if (length) {
            apt_string_assign_n(&message->body, body, length, message->pool);
        }
        return true;
    }
};

// Header lines of the message in order, "Name:value" each.
void WriteHeaders(const mrcp_message_t *message, std::string *out, apr_pool_t *pool) {
    mrcp_version_e version = message->start_line.version;
    bool length_written = false;
    bool want_length = message->body.length > 0 ||
                       mrcp_generic_header_property_check(message, GENERIC_HEADER_CONTENT_LENGTH);
    const apr_array_header_t *order = message->header.order;
    for (int i = 0; order && i < order->nelts; ++i) {
        apr_uint32_t key = reinterpret_cast<const apr_uint32_t *>(order->elts)[i];
        if ((key >> 16) == MRCP_HEADER_KIND_GENERIC && (key & 0xFFFF) == GENERIC_HEADER_CHANNEL_ID)
            continue;  // written first
        if ((key >> 16) == MRCP_HEADER_KIND_GENERIC &&
            (key & 0xFFFF) == GENERIC_HEADER_CONTENT_LENGTH) {
            length_written = true;
            *out +=
                apr_psprintf(pool, "Content-Length:%" APR_SIZE_T_FMT "\r\n", message->body.length);
            continue;
        }
        const char *name = nullptr;
        const char *value = mrcp_message_header_text_get(message, (apr_size_t)i, &name, pool);
        if (!value || !name) continue;
        // Headers unknown to the version are left out of its text.
        if ((key >> 16) == MRCP_HEADER_KIND_GENERIC &&
            !mrcp_generic_header_name_get((mrcp_generic_header_id)(key & 0xFFFF), version))
            continue;
        if ((key >> 16) == MRCP_HEADER_KIND_RESOURCE &&
            !mrcp_recog_header_name_get((mrcp_recognizer_header_id)(key & 0xFFFF), version))
            continue;
        *out += name;
        *out += ':';
        // A line end inside a value would start a forged header: blank it out.
        for (const char *c = value; *c; ++c) *out += (*c == '\r' || *c == '\n') ? ' ' : *c;
        *out += "\r\n";
    }
    if (want_length && !length_written)
        *out += apr_psprintf(pool, "Content-Length:%" APR_SIZE_T_FMT "\r\n", message->body.length);
}

// The start line without its length (MRCPv2: the text after the length).
bool StartLineTail(const mrcp_message_t *message, std::string *tail, apr_pool_t *pool) {
    const mrcp_start_line_t &sl = message->start_line;
    const char *version = mrcp_version_str(sl.version);
    if (!version) return false;
    const char *state = mrcp_request_state_str(sl.request_state);
    const char *name = nullptr;
    if (sl.message_type == MRCP_MESSAGE_TYPE_REQUEST) {
        name = mrcp_recog_method_name_get(sl.method_id, sl.version);
        if (!name) return false;
        *tail = sl.version == MRCP_VERSION_2
                    ? apr_psprintf(pool, "%s %u", name, sl.request_id)
                    : apr_psprintf(pool, "%s %u %s", name, sl.request_id, version);
        return true;
    }
    if (sl.message_type == MRCP_MESSAGE_TYPE_RESPONSE) {
        const int status = static_cast<int>(sl.status_code);
        if (!state || status < 100 || status > 999) return false;
        *tail = sl.version == MRCP_VERSION_2
                    ? apr_psprintf(pool, "%u %03d %s", sl.request_id, (int)sl.status_code, state)
                    : apr_psprintf(pool, "%s %u %03d %s", version, sl.request_id,
                                   (int)sl.status_code, state);
        return true;
    }
    if (sl.message_type == MRCP_MESSAGE_TYPE_EVENT) {
        name = mrcp_recog_event_name_get(sl.method_id, sl.version);
        if (!name || !state) return false;
        *tail = sl.version == MRCP_VERSION_2
                    ? apr_psprintf(pool, "%s %u %s", name, sl.request_id, state)
                    : apr_psprintf(pool, "%s %u %s %s", name, sl.request_id, state, version);
        return true;
    }
    return false;
}

}  // namespace

extern "C" {

APT_DECLARE(mrcp_message_t *)
mrcp_message_parse(const char *text, apr_size_t length, apr_pool_t *pool, const char **error) {
    const char *dummy = nullptr;
    if (!error) error = &dummy;
    *error = nullptr;
    if (!pool) return nullptr;
    if (!text || length == 0) {
        *error = "empty message";
        return nullptr;
    }
    if (length > MRCP_MESSAGE_MAX_LENGTH) {
        *error = "message too large";
        return nullptr;
    }
    // The stream reads from a private copy so that the caller's text stays untouched.
    char *copy = static_cast<char *>(apr_pmemdup(pool, text, length));
    apt_text_stream_t stream;
    apt_text_stream_init(&stream, copy, length);

    Parser parser;
    parser.message = mrcp_message_create(pool);
    apt_str_t line;
    if (!apt_text_line_read(&stream, &line) || !parser.StartLine(line, length)) {
        *error = parser.error ? parser.error : "missing start line";
        return nullptr;
    }
    apt_header_section_t section;
    apt_header_section_init(&section);
    if (!apt_header_section_parse(&section, &stream, pool)) {
        *error =
            section.count >= APT_HEADER_SECTION_MAX_FIELDS
                ? apr_psprintf(pool, "more than %d header fields", APT_HEADER_SECTION_MAX_FIELDS)
                : "malformed header section";
        return nullptr;
    }
    if (!parser.Headers(section) || !parser.Body(stream.pos, apt_text_stream_remaining(&stream))) {
        *error = parser.error;
        return nullptr;
    }
    return parser.message;
}

APT_DECLARE(char *)
mrcp_message_serialize(mrcp_message_t *message, apr_pool_t *pool, apr_size_t *length) {
    if (length) *length = 0;
    if (!message || !pool) return nullptr;
    std::string tail;
    if (!StartLineTail(message, &tail, pool)) return nullptr;
    mrcp_version_e version = message->start_line.version;

    std::string rest;  // headers, empty line and body
    if (version == MRCP_VERSION_2 && !apt_string_is_empty(&message->channel_id.session_id)) {
        rest += "Channel-Identifier:";
        rest.append(message->channel_id.session_id.buf, message->channel_id.session_id.length);
        rest += '@';
        if (message->channel_id.resource_name.buf)
            rest.append(message->channel_id.resource_name.buf,
                        message->channel_id.resource_name.length);
        rest += "\r\n";
    }
    WriteHeaders(message, &rest, pool);
    rest += "\r\n";
    if (message->body.buf && message->body.length)
        rest.append(message->body.buf, message->body.length);

    std::string text;
    if (version == MRCP_VERSION_2) {
        // message-length counts the whole message, its own digits included: grow
        // the guess until it holds.
        apr_size_t total = 0;
        std::string head;
        for (int i = 0; i < 4; ++i) {
            head = apr_psprintf(pool, "MRCP/2.0 %" APR_SIZE_T_FMT " %s\r\n", total, tail.c_str());
            apr_size_t next = head.size() + rest.size();
            if (next == total) break;
            total = next;
        }
        head = apr_psprintf(pool, "MRCP/2.0 %" APR_SIZE_T_FMT " %s\r\n", total, tail.c_str());
        if (head.size() + rest.size() != total) return nullptr;
        message->start_line.length = total;
        text = head + rest;
    } else {
        text = tail + "\r\n" + rest;
    }
    char *out = static_cast<char *>(apr_pmemdup(pool, text.c_str(), text.size() + 1));
    if (length) *length = text.size();
    return out;
}

APT_DECLARE(const char *)
mrcp_message_header_text_get(const mrcp_message_t *message, apr_size_t entry, const char **name,
                             apr_pool_t *pool) {
    if (name) *name = nullptr;
    if (!message || !pool || !message->header.order ||
        entry >= (apr_size_t)message->header.order->nelts)
        return nullptr;
    apr_uint32_t key = reinterpret_cast<const apr_uint32_t *>(message->header.order->elts)[entry];
    apr_size_t id = key & 0xFFFF;
    mrcp_version_e version = message->start_line.version;
    const vantor::HeaderDescriptor *d = nullptr;
    const void *base = nullptr;
    switch (key >> 16) {
        case MRCP_HEADER_KIND_GENERIC:
            d = vantor::GenericHeaderDescriptor(id);
            base = &message->header.generic;
            if (d && id == GENERIC_HEADER_CHANNEL_ID) {
                if (name) *name = d->v2_name;
                const mrcp_channel_id &c = message->channel_id;
                return apr_psprintf(pool, "%.*s@%.*s", (int)c.session_id.length,
                                    c.session_id.buf ? c.session_id.buf : "",
                                    (int)c.resource_name.length,
                                    c.resource_name.buf ? c.resource_name.buf : "");
            }
            if (d && id == GENERIC_HEADER_CONTENT_LENGTH) {
                if (name) *name = d->v2_name;
                return apr_psprintf(pool, "%" APR_SIZE_T_FMT, message->body.length);
            }
            break;
        case MRCP_HEADER_KIND_RESOURCE:
            d = vantor::RecogHeaderDescriptor(id);
            base = &message->header.resource;
            break;
        case MRCP_HEADER_KIND_OTHER: {
            const apt_header_field_t *f = message->header.other.first;
            for (apr_size_t i = 0; f && i < id; ++i) f = f->next;
            if (!f) return nullptr;
            if (name) *name = f->name.buf;
            return f->value.buf;
        }
        default:
            return nullptr;
    }
    if (!d) return nullptr;
    if (name)
        *name = vantor::HeaderName(*d, version) ? vantor::HeaderName(*d, version) : d->v2_name;
    apr_uint64_t empty = (key >> 16) == MRCP_HEADER_KIND_GENERIC
                             ? message->header.generic_empty_mask
                             : message->header.resource_empty_mask;
    if (empty & ((apr_uint64_t)1 << id)) return "";  // named only
    return vantor::HeaderValueFormat(*d, base, version, pool);
}

}  // extern "C"
