// Client and service messages of the recognition WebSocket: header lines
// (name:value, CR LF), an empty line and a body for text messages; a 2-byte
// big-endian header length, the header block and audio for binary ones.
// Plain bytes in and out; no I/O.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace SpeechService {

struct HeaderField {
    std::string m_Name;
    std::string m_Value;
};

struct ClientMessage {
    bool m_Binary = false;
    std::vector<HeaderField> m_Headers;  // in received order
    bool m_HasPath = false;
    std::string m_Path;
    bool m_HasRequestId = false;
    std::string m_RequestId;
    std::string m_Timestamp;
    std::string m_ContentType;
    std::string_view m_Body;  // text body, or the binary payload after the header
};

// Result of parsing: on failure the WebSocket close code to use and why.
struct ParseStatus {
    bool m_Ok = true;
    uint16_t m_CloseCode = 0;
    std::string m_Reason;
};

// Parses a text message. The body view points into `text`.
ParseStatus ParseTextMessage(std::string_view text, ClientMessage &out);

// Parses a binary message. The body view points into `data`.
ParseStatus ParseBinaryMessage(std::string_view data, ClientMessage &out);

// Composes a service text message: X-RequestId (when not empty), Content-Type
// (when not empty), Path, the empty line and the body.
std::string ComposeTextMessage(std::string_view path, std::string_view requestId,
                               std::string_view contentType, std::string_view body);

// True for exactly 32 hexadecimal digits (either case).
bool IsValidRequestId(std::string_view id);

// Case-insensitive ASCII comparison.
bool EqualsNoCase(std::string_view a, std::string_view b);

}  // namespace SpeechService
