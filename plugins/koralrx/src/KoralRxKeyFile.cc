#include "KoralRxKeyFile.h"

#include <rapidjson/document.h>

#include <cstring>

namespace KORAL {

std::string DeriveServiceEndpoint(const std::string &auth_uri) {
    static const std::string kScheme = "https://";
    size_t scheme = auth_uri.find(kScheme);
    if (scheme == std::string::npos) return std::string();
    size_t after = scheme + kScheme.size();
    size_t host = auth_uri.find(kTokenHost, after);
    if (host == std::string::npos || host == after) return std::string();
    return auth_uri.substr(0, host) + kRegionalSpeechHost + kSpeechPath;
}

namespace {

const char kBom[] = "\xEF\xBB\xBF";

void ReadString(const rapidjson::Value &object, const char *name, std::string &out) {
    auto it = object.FindMember(name);
    if (it != object.MemberEnd() && it->value.IsString())
        out.assign(it->value.GetString(), it->value.GetStringLength());
}

}  // namespace

KeyFileStatus ParseSubscriptionKey(const char *data, size_t size, SubscriptionKeyInfo &info) {
    if (size >= 3 && std::memcmp(data, kBom, 3) == 0) {
        data += 3;
        size -= 3;
    }
    rapidjson::Document doc;
    doc.Parse(data, size);
    if (!doc.HasParseError() && doc.IsObject()) {
        ReadString(doc, "auth-endpoint", info.auth_uri);
        ReadString(doc, "auth-key", info.key);
        ReadString(doc, "service-endpoint", info.service_endpoint);
        if (info.auth_uri.empty()) return KeyFileStatus::kNoAuthEndpoint;
        if (info.key.empty()) return KeyFileStatus::kNoAuthKey;
        if (info.service_endpoint.empty())
            info.service_endpoint = DeriveServiceEndpoint(info.auth_uri);
        return KeyFileStatus::kOk;
    }

    size_t pos = 0;
    while (pos < size && (data[pos] == ' ' || data[pos] == '\t')) ++pos;
    size_t end = pos;
    while (end < size && data[end] != '\r' && data[end] != '\n' && data[end] != '\0') ++end;
    if (end == pos) return KeyFileStatus::kNoKeyLine;
    info.key.assign(data + pos, end - pos);
    info.service_endpoint = kDefaultSpeechEndpoint;
    return KeyFileStatus::kOk;
}

}  // namespace KORAL
