// A message sent by the plugin, as the host prints and matches it.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "mrcp_message.h"

namespace vantor {

struct MessageRecord {
    double t = 0.0;         // seconds since the host started
    std::string channel;    // script name of the channel
    bool is_event = false;  // else a response
    std::string name;       // event name, or the method name of the request answered
    apr_size_t id = 0;      // event id, or method id
    mrcp_request_id request_id = 0;
    int status = -1;    // responses
    std::string state;  // COMPLETE, IN-PROGRESS, PENDING
    int cause = -1;     // Completion-Cause (MRCPv2 numbering), -1 without one
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    std::string text;  // the message serialized in the channel's version
};

// Fills the record from a response or event; false with a reason when the message
// cannot be serialized.
bool MakeMessageRecord(mrcp_message_t *message, MessageRecord *record, std::string *error);

// Text output: every line of the message, each prefixed by the time and channel.
std::string FormatMessageText(const MessageRecord &record);
// JSON output: one object on one line (no line end).
std::string FormatMessageJson(const MessageRecord &record);

}  // namespace vantor
