// A bare MRCPv2 response that refuses a request the server could not hand to a
// channel (unknown channel, malformed message): start line and the
// Channel-Identifier the request named, if any.
#pragma once

#include <cstdint>
#include <string>

namespace vantor {

// "MRCP/2.0 <length> <request_id> <status> COMPLETE" with an exact length.
std::string MrcpStatusResponse(uint32_t request_id, int status,
                               const std::string &channel_identifier);

// The id of a request start line ("MRCP/2.0 len METHOD id"), when text starts
// with one; the method name in *method.
bool ReadRequestLine(const std::string &text, uint32_t *request_id, std::string *method);

}  // namespace vantor
