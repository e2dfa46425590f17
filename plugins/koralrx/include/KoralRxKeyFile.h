// Subscription key file: either a key line, or a JSON object with
// "auth-endpoint", "auth-key" and "service-endpoint".
#ifndef KORALRX_KEY_FILE_H
#define KORALRX_KEY_FILE_H

#include <cstddef>
#include <string>

#include "KoralRxEndpoints.h"

namespace KORAL {

struct SubscriptionKeyInfo {
    std::string auth_uri = kDefaultTokenUri;
    std::string key;
    std::string service_endpoint;
};

enum class KeyFileStatus {
    kOk,
    kNoAuthEndpoint,  // JSON without a usable "auth-endpoint"
    kNoAuthKey,       // JSON without "auth-key"
    kNoKeyLine,       // plain text whose first line is empty
};

// Parses the bytes of a key file into `info` (whose auth_uri holds the
// default token endpoint on entry).
KeyFileStatus ParseSubscriptionKey(const char *data, size_t size, SubscriptionKeyInfo &info);

// The speech endpoint derived from a token endpoint of the form
// "https://<region>.<token host>/...", or empty when it has no region prefix.
std::string DeriveServiceEndpoint(const std::string &auth_uri);

}  // namespace KORAL

#endif  // KORALRX_KEY_FILE_H
