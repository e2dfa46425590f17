#include "KoralRxKeyFile.h"

#include <apr_file_io.h>
#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include <cstring>

#include "KoralRxLog.h"

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

bool IsJsonBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

KeyFileStatus ParseJsonKey(const char *data, size_t size, size_t skipped,
                           SubscriptionKeyInfo &info) {
    rapidjson::Document doc;
    doc.Parse<rapidjson::kParseIterativeFlag>(data, size);
    if (doc.HasParseError() || !doc.IsObject()) {
        info.error = std::string(rapidjson::GetParseError_En(doc.GetParseError())) + " at offset " +
                     std::to_string(doc.GetErrorOffset() + skipped);
        return KeyFileStatus::kBadJson;
    }
    ReadString(doc, "auth-endpoint", info.auth_uri);
    ReadString(doc, "auth-key", info.key);
    ReadString(doc, "service-endpoint", info.service_endpoint);
    if (info.auth_uri.empty()) return KeyFileStatus::kNoAuthEndpoint;
    if (info.key.empty()) return KeyFileStatus::kNoAuthKey;
    if (info.service_endpoint.empty()) info.service_endpoint = DeriveServiceEndpoint(info.auth_uri);
    return KeyFileStatus::kOk;
}

}  // namespace

KeyFileStatus ParseSubscriptionKey(const char *data, size_t size, SubscriptionKeyInfo &info) {
    size_t skipped = 0;
    if (size >= 3 && std::memcmp(data, kBom, 3) == 0) skipped = 3;
    size_t first = skipped;
    while (first < size && IsJsonBlank(data[first])) ++first;
    if (first < size && data[first] == '{')
        return ParseJsonKey(data + skipped, size - skipped, skipped, info);

    size_t pos = skipped;
    while (pos < size && (data[pos] == ' ' || data[pos] == '\t')) ++pos;
    size_t end = pos;
    while (end < size && data[end] != '\r' && data[end] != '\n' && data[end] != '\0') ++end;
    if (end == pos) return KeyFileStatus::kNoKeyLine;
    info.key.assign(data + pos, end - pos);
    info.service_endpoint = kDefaultSpeechEndpoint;
    return KeyFileStatus::kOk;
}

bool LoadSubscriptionKeyFile(const char *path, SubscriptionKeyInfo &info, apr_pool_t *pool) {
    apr_file_t *file = nullptr;
    if (apr_file_open(&file, path, APR_FOPEN_READ | APR_FOPEN_BINARY, APR_OS_DEFAULT, pool) !=
        APR_SUCCESS) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "Failed to Open Subscription Key File %s", path);
        return false;
    }
    // One byte more than the limit tells a file at the limit from a longer one.
    std::string buffer(kMaxKeyFileSize + 1, '\0');
    apr_size_t size = buffer.size();
    apr_status_t rv = apr_file_read_full(file, &buffer[0], size, &size);
    apr_file_close(file);
    if ((rv != APR_SUCCESS && rv != APR_EOF) || size == 0) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "Failed to Read Subscription Key File %s", path);
        return false;
    }
    if (size > kMaxKeyFileSize) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "Subscription Key File %s Too Large: more than %d bytes", path,
                static_cast<int>(kMaxKeyFileSize));
        return false;
    }

    switch (ParseSubscriptionKey(buffer.data(), size, info)) {
        case KeyFileStatus::kOk:
            return true;
        case KeyFileStatus::kBadJson:
            apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                    "Failed to Parse JSON of Subscription Key File %s: %s", path,
                    info.error.c_str());
            return false;
        case KeyFileStatus::kNoAuthEndpoint:
            apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                    "Failed to Read Auth Endpoint from File %s", path);
            return false;
        case KeyFileStatus::kNoAuthKey:
            apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                    "Failed to Read Auth Key from File %s", path);
            return false;
        case KeyFileStatus::kNoKeyLine:
            apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                    "Failed to Parse Subscription Key from File %s", path);
            return false;
    }
    return false;
}

}  // namespace KORAL
