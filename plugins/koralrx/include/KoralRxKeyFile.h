// Subscription key file: either a key line, or a JSON object with
// "auth-endpoint", "auth-key" and "service-endpoint".
#pragma once

#include <apr_pools.h>

#include <cstddef>
#include <string>

#include "KoralRxEndpoints.h"

namespace KORAL {

// Largest key file read (64 KiB): a key line or a small JSON object is far
// smaller, so anything beyond is refused rather than cut.
constexpr size_t kMaxKeyFileSize = size_t{64} * 1024;

struct SubscriptionKeyInfo {
    std::string auth_uri = kDefaultTokenUri;
    std::string key;
    std::string service_endpoint;
    std::string error;  // kBadJson: the parser's reason and the file offset
};

enum class KeyFileStatus {
    kOk,
    kBadJson,         // starts like a JSON object but is not one
    kNoAuthEndpoint,  // JSON without a usable "auth-endpoint"
    kNoAuthKey,       // JSON without "auth-key"
    kNoKeyLine,       // plain text whose first line is empty
};

// Parses the bytes of a key file into `info` (whose auth_uri holds the
// default token endpoint on entry). Text whose first character after a
// byte-order mark and blanks is "{" must be a JSON object; any other text is
// a key line. JSON is parsed without recursion, so nesting costs no stack.
KeyFileStatus ParseSubscriptionKey(const char *data, size_t size, SubscriptionKeyInfo &info);

// Reads the whole key file (at most kMaxKeyFileSize bytes) and parses it
// into `info`. Every failure is logged (warning) with the file's path.
bool LoadSubscriptionKeyFile(const char *path, SubscriptionKeyInfo &info, apr_pool_t *pool);

// The speech endpoint derived from a token endpoint of the form
// "https://<region>.<token host>/...", or empty when it has no region prefix.
std::string DeriveServiceEndpoint(const std::string &auth_uri);

}  // namespace KORAL
