#include "UpgradeRequest.h"

#include <arpa/inet.h>

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "ServiceMessage.h"

namespace SpeechService {

namespace {

std::string Decode(std::string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '+') {
            out += ' ';
        } else if (s[i] == '%' && i + 2 < s.size() &&
                   std::isxdigit(static_cast<unsigned char>(s[i + 1])) &&
                   std::isxdigit(static_cast<unsigned char>(s[i + 2]))) {
            out += static_cast<char>(
                std::strtol(std::string(s.substr(i + 1, 2)).c_str(), nullptr, 16));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

// A millisecond count from the query; false when present and not a number.
bool ReadMs(const std::map<std::string, std::string> &query, const char *name, int &out) {
    auto it = query.find(name);
    if (it == query.end()) return true;
    const std::string &v = it->second;
    if (v.empty() || v.size() > 7) return false;
    for (char c : v) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    }
    out = std::atoi(v.c_str());
    return true;
}

bool IsHostNameChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) ||
           std::strchr("-._~!$&'()*+,;=", c) != nullptr;
}

// RFC 3986 reg-name or IPv4 address: unreserved characters, sub-delims and
// percent escapes.
bool IsValidHostName(std::string_view host) {
    if (host.empty()) return false;
    for (size_t i = 0; i < host.size(); ++i) {
        if (host[i] == '%') {
            if (i + 2 >= host.size() || !std::isxdigit(static_cast<unsigned char>(host[i + 1])) ||
                !std::isxdigit(static_cast<unsigned char>(host[i + 2]))) {
                return false;
            }
            i += 2;
        } else if (host[i] == '\0' || !IsHostNameChar(host[i])) {
            return false;
        }
    }
    return true;
}

bool IsValidPort(std::string_view port) {
    if (port.size() > 5) return false;
    for (char c : port) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    }
    return port.empty() || std::atoi(std::string(port).c_str()) <= 65535;
}

bool IsValidAuthority(std::string_view authority) {
    if (authority.empty()) return false;
    if (authority[0] == '[') {
        size_t close = authority.find(']');
        if (close == std::string_view::npos) return false;
        std::string address(authority.substr(1, close - 1));
        in6_addr parsed;
        if (inet_pton(AF_INET6, address.c_str(), &parsed) != 1) return false;
        std::string_view rest = authority.substr(close + 1);
        return rest.empty() || (rest[0] == ':' && IsValidPort(rest.substr(1)));
    }
    size_t colon = authority.rfind(':');
    if (colon == std::string_view::npos) return IsValidHostName(authority);
    return IsValidHostName(authority.substr(0, colon)) && IsValidPort(authority.substr(colon + 1));
}

UpgradeDecision Refuse(UpgradeDecision d, int status, std::string reason) {
    d.m_Status = status;
    d.m_Reason = std::move(reason);
    return d;
}

}  // namespace

void SplitTarget(std::string_view target, std::string &path, std::string &query) {
    size_t scheme = target.find("://");
    size_t firstSlash = target.find('/');
    if (scheme != std::string_view::npos && firstSlash != std::string_view::npos &&
        scheme < firstSlash) {
        size_t pathStart = target.find('/', scheme + 3);
        target =
            pathStart == std::string_view::npos ? std::string_view("/") : target.substr(pathStart);
    }
    size_t q = target.find('?');
    path = std::string(target.substr(0, q));
    query = q == std::string_view::npos ? std::string() : std::string(target.substr(q + 1));
    if (path.empty()) path = "/";
}

bool IsValidTarget(std::string_view target) {
    if (!target.empty() && target[0] == '/') return true;
    size_t scheme = target.find("://");
    if (scheme == std::string_view::npos) return false;
    std::string_view name = target.substr(0, scheme);
    if (!EqualsNoCase(name, "http") && !EqualsNoCase(name, "https") && !EqualsNoCase(name, "ws") &&
        !EqualsNoCase(name, "wss")) {
        return false;
    }
    std::string_view rest = target.substr(scheme + 3);
    return IsValidAuthority(rest.substr(0, rest.find_first_of("/?")));
}

std::map<std::string, std::string> ParseQuery(std::string_view query) {
    std::map<std::string, std::string> out;
    while (!query.empty()) {
        size_t amp = query.find('&');
        std::string_view pair = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        if (pair.empty()) continue;
        size_t eq = pair.find('=');
        std::string name = Decode(pair.substr(0, eq));
        out[name] = eq == std::string_view::npos ? std::string() : Decode(pair.substr(eq + 1));
    }
    return out;
}

UpgradeDecision CheckUpgrade(const UpgradeInput &input, TokenIssuer &tokens) {
    UpgradeDecision d;
    std::string path, rawQuery;
    SplitTarget(input.m_Target, path, rawQuery);
    if (path != kRecognitionPath) return Refuse(d, 404, "no such endpoint");
    if (input.m_Method != "GET" || !input.m_IsWebSocketUpgrade)
        return Refuse(d, 400, "WebSocket upgrade required");

    d.m_TokenCheck = "missing";
    const std::string &auth = input.m_Authorization;
    if (!input.m_HasAuthorization || auth.size() < 7 ||
        !EqualsNoCase(auth.substr(0, 7), "Bearer ")) {
        return Refuse(d, 401, "Authorization: Bearer token required");
    }
    switch (tokens.Validate(auth.substr(7))) {
        case TokenIssuer::Check::Valid:
            d.m_TokenCheck = "valid";
            break;
        case TokenIssuer::Check::Expired:
            d.m_TokenCheck = "expired";
            return Refuse(d, 401, "access token expired");
        case TokenIssuer::Check::Unknown:
            d.m_TokenCheck = "unknown";
            return Refuse(d, 401, "access token not valid");
    }
    if (!input.m_HasConnectionId || input.m_ConnectionId.empty())
        return Refuse(d, 400, "X-ConnectionId required");

    std::map<std::string, std::string> query = ParseQuery(rawQuery);
    auto language = query.find("language");
    if (language == query.end() || language->second.empty())
        return Refuse(d, 400, "language parameter required");
    d.m_Settings.m_Language = language->second;
    auto format = query.find("format");
    if (format != query.end()) {
        if (format->second == "detailed") {
            d.m_Settings.m_Format = ResultFormat::Detailed;
        } else if (format->second != "simple") {
            return Refuse(d, 400, "format must be simple or detailed");
        }
    }
    if (!ReadMs(query, "initialSilenceTimeoutMs", d.m_Settings.m_InitialSilenceMs)) {
        return Refuse(d, 400, "initialSilenceTimeoutMs must be a number of milliseconds");
    }
    if (!ReadMs(query, "endSilenceTimeoutMs", d.m_Settings.m_EndSilenceMs)) {
        return Refuse(d, 400, "endSilenceTimeoutMs must be a number of milliseconds");
    }
    return d;
}

}  // namespace SpeechService
