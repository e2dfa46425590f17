// Checks of the recognition endpoint's WebSocket upgrade request, before the
// WebSocket handshake itself: path, bearer token, connection id and query.
#pragma once

#include <map>
#include <string>
#include <string_view>

#include "ReplyFormat.h"
#include "TokenIssuer.h"

namespace SpeechService {

constexpr const char *kTokenPath = "/sts/v1.0/issueToken";
constexpr const char *kRecognitionPath = "/speech/recognition/interactive/cognitiveservices/v1";

struct UpgradeInput {
    std::string m_Method;
    std::string m_Target;  // origin form, or absolute form (scheme://host:port/path?query)
    bool m_IsWebSocketUpgrade = false;
    bool m_HasAuthorization = false;
    std::string m_Authorization;
    bool m_HasConnectionId = false;
    std::string m_ConnectionId;
};

struct SessionSettings {
    std::string m_ClientConnectionId;  // X-ConnectionId
    std::string m_Language;
    ResultFormat m_Format = ResultFormat::Simple;
    int m_InitialSilenceMs = 5000;
    int m_EndSilenceMs = 500;
};

struct UpgradeDecision {
    int m_Status = 101;        // 101: go on with the WebSocket handshake
    std::string m_Reason;      // why not, for the response body and the log
    std::string m_TokenCheck;  // "valid", "expired", "unknown" or "missing"
    SessionSettings m_Settings;
};

// Splits a request target into its path and query (the absolute form's
// scheme and authority are dropped).
void SplitTarget(std::string_view target, std::string &path, std::string &query);

// Whether a request target is in origin form ("/path?query") or in absolute
// form with an http(s) or ws(s) scheme and a sound authority: a host name,
// IPv4 address or bracketed IPv6 address, an optional port up to 65535, and
// no user information.
bool IsValidTarget(std::string_view target);

// Decodes a query string (name=value&...; percent escapes and '+').
std::map<std::string, std::string> ParseQuery(std::string_view query);

UpgradeDecision CheckUpgrade(const UpgradeInput &input, TokenIssuer &tokens);

}  // namespace SpeechService
