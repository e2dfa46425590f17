#include "ServiceMessage.h"

#include <cctype>

namespace SpeechService {

namespace {

constexpr uint16_t kProtocolError = 1002;
constexpr uint16_t kInvalidPayload = 1007;

ParseStatus Fail(uint16_t code, std::string reason) {
    ParseStatus status;
    status.m_Ok = false;
    status.m_CloseCode = code;
    status.m_Reason = std::move(reason);
    return status;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// Parses name:value lines of `block` (without the terminating empty line).
// Lines end with CR LF; a bare LF is tolerated.
bool ParseHeaderLines(std::string_view block, ClientMessage &out, std::string &error) {
    while (!block.empty()) {
        size_t eol = block.find('\n');
        std::string_view line = block.substr(0, eol);
        block = eol == std::string_view::npos ? std::string_view() : block.substr(eol + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) continue;
        size_t colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0) {
            error = "malformed header line";
            return false;
        }
        HeaderField field{std::string(Trim(line.substr(0, colon))),
                          std::string(Trim(line.substr(colon + 1)))};
        if (EqualsNoCase(field.m_Name, "Path")) {
            out.m_HasPath = true;
            out.m_Path = field.m_Value;
        } else if (EqualsNoCase(field.m_Name, "X-RequestId")) {
            out.m_HasRequestId = true;
            out.m_RequestId = field.m_Value;
        } else if (EqualsNoCase(field.m_Name, "X-Timestamp")) {
            out.m_Timestamp = field.m_Value;
        } else if (EqualsNoCase(field.m_Name, "Content-Type")) {
            out.m_ContentType = field.m_Value;
        }
        out.m_Headers.push_back(std::move(field));
    }
    return true;
}

}  // namespace

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

bool IsValidRequestId(std::string_view id) {
    if (id.size() != 32) return false;
    for (char c : id) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

ParseStatus ParseTextMessage(std::string_view text, ClientMessage &out) {
    out = ClientMessage();
    out.m_Binary = false;
    // The header block ends at the first empty line.
    size_t end = text.find("\r\n\r\n");
    size_t bodyStart = end == std::string_view::npos ? end : end + 4;
    if (end == std::string_view::npos) {
        end = text.find("\n\n");
        bodyStart = end == std::string_view::npos ? end : end + 2;
    }
    if (end == std::string_view::npos)
        return Fail(kProtocolError, "text message without end of header");
    std::string error;
    if (!ParseHeaderLines(text.substr(0, end), out, error)) return Fail(kProtocolError, error);
    out.m_Body = text.substr(bodyStart);
    return ParseStatus();
}

ParseStatus ParseBinaryMessage(std::string_view data, ClientMessage &out) {
    out = ClientMessage();
    out.m_Binary = true;
    if (data.size() < 2) return Fail(kInvalidPayload, "binary message without header");
    size_t length = (static_cast<size_t>(static_cast<unsigned char>(data[0])) << 8) |
                    static_cast<unsigned char>(data[1]);
    if (length == 0) return Fail(kInvalidPayload, "binary message without header");
    if (length > data.size() - 2) return Fail(kInvalidPayload, "bad header length");
    std::string error;
    if (!ParseHeaderLines(data.substr(2, length), out, error)) return Fail(kProtocolError, error);
    out.m_Body = data.substr(2 + length);
    return ParseStatus();
}

std::string ComposeTextMessage(std::string_view path, std::string_view requestId,
                               std::string_view contentType, std::string_view body) {
    std::string text;
    text.reserve(96 + body.size());
    if (!requestId.empty()) {
        text.append("X-RequestId:").append(requestId).append("\r\n");
    }
    if (!contentType.empty()) {
        text.append("Content-Type:").append(contentType).append("\r\n");
    }
    text.append("Path:").append(path).append("\r\n\r\n");
    text.append(body);
    return text;
}

}  // namespace SpeechService
