#include "message_record.h"

#include <cstdio>

#include "json_writer.h"
#include "mrcp_message_codec.h"

namespace vantor {

namespace {

void AddHeader(MessageRecord *record, const std::string &name, const std::string &value) {
    for (auto &h : record->headers) {
        if (h.first == name) {  // a repeated header reads as one comma list
            h.second += "," + value;
            return;
        }
    }
    record->headers.emplace_back(name, value);
}

}  // namespace

bool MakeMessageRecord(mrcp_message_t *message, MessageRecord *record, std::string *error) {
    apr_pool_t *pool = nullptr;
    if (apr_pool_create(&pool, nullptr) != APR_SUCCESS) {
        *error = "cannot create a pool";
        return false;
    }
    const mrcp_start_line_t &sl = message->start_line;
    bool ok = true;
    apr_size_t length = 0;
    const char *text = mrcp_message_serialize(message, pool, &length);
    if (!text) {
        *error = "cannot serialize the message";
        ok = false;
    } else if (sl.message_type != MRCP_MESSAGE_TYPE_RESPONSE &&
               sl.message_type != MRCP_MESSAGE_TYPE_EVENT) {
        *error = "not a response or an event";
        ok = false;
    }
    if (ok) {
        record->text.assign(text, length);
        record->is_event = sl.message_type == MRCP_MESSAGE_TYPE_EVENT;
        record->id = sl.method_id;
        const char *name = record->is_event ? mrcp_recog_event_name_get(sl.method_id, sl.version)
                                            : mrcp_recog_method_name_get(sl.method_id, sl.version);
        record->name = name ? name : "";
        record->request_id = sl.request_id;
        record->status = record->is_event ? -1 : (int)sl.status_code;
        const char *state = mrcp_request_state_str(sl.request_state);
        record->state = state ? state : "";
        record->cause =
            mrcp_resource_header_property_check(message, RECOGNIZER_HEADER_COMPLETION_CAUSE)
                ? (int)message->header.resource.completion_cause
                : -1;
        record->headers.clear();
        if (sl.version == MRCP_VERSION_2 && !apt_string_is_empty(&message->channel_id.session_id)) {
            const mrcp_channel_id &c = message->channel_id;
            AddHeader(
                record, "Channel-Identifier",
                std::string(c.session_id.buf, c.session_id.length) + "@" +
                    (c.resource_name.buf ? std::string(c.resource_name.buf, c.resource_name.length)
                                         : ""));
        }
        bool length_seen = false;
        for (apr_size_t i = 0; i < (apr_size_t)message->header.order->nelts; ++i) {
            const char *hname = nullptr;
            const char *value = mrcp_message_header_text_get(message, i, &hname, pool);
            if (!value || !hname) continue;
            std::string n(hname);
            if (n == "Channel-Identifier") continue;
            if (n == "Content-Length") length_seen = true;
            AddHeader(record, n, value);
        }
        if (!length_seen && message->body.length)
            AddHeader(record, "Content-Length", std::to_string(message->body.length));
        record->body =
            message->body.buf ? std::string(message->body.buf, message->body.length) : "";
    }
    apr_pool_destroy(pool);
    return ok;
}

std::string FormatMessageText(const MessageRecord &record) {
    char prefix[64];
    snprintf(prefix, sizeof(prefix), "%8.3f ", record.t);
    std::string lead = std::string(prefix) + record.channel + " | ";
    std::string out;
    size_t start = 0;
    const std::string &text = record.text;
    // One output line per message line; CRLF, LF and lone CR all end a line.
    while (start < text.size()) {
        size_t end = text.find_first_of("\r\n", start);
        if (end == std::string::npos) end = text.size();
        out += lead;
        out.append(text, start, end - start);
        out += '\n';
        if (end < text.size() && text[end] == '\r' && end + 1 < text.size() &&
            text[end + 1] == '\n')
            ++end;
        start = end + 1;
    }
    return out;
}

std::string FormatMessageJson(const MessageRecord &record) {
    char t[32];
    snprintf(t, sizeof(t), "%.3f", record.t);
    std::string out = "{\"t\": ";
    out += t;
    out += ", \"channel\": " + JsonString(record.channel);
    out += ", \"kind\": ";
    out += record.is_event ? "\"event\"" : "\"response\"";
    out += ", \"name\": " + JsonString(record.name);
    out += ", \"request_id\": " + std::to_string(record.request_id);
    out += ", \"status\": " +
           (record.status < 0 ? std::string("null") : std::to_string(record.status));
    out += ", \"state\": " + JsonString(record.state);
    out += ", \"headers\": {";
    for (size_t i = 0; i < record.headers.size(); ++i) {
        if (i) out += ", ";
        out += JsonString(record.headers[i].first) + ": " + JsonString(record.headers[i].second);
    }
    out += "}, \"body\": " + JsonString(record.body) + "}";
    return out;
}

}  // namespace vantor
