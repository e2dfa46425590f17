// The subscription key file's bytes: a key line, or a JSON object with the
// token endpoint, the key and the service endpoint. Whatever the file holds,
// a key read is a non-empty one-line value, and an endpoint derived from the
// token endpoint keeps its scheme and region.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "FuzzCommon.h"
#include "KoralRxEndpoints.h"
#include "KoralRxKeyFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace KORAL;
    const std::string text(reinterpret_cast<const char *>(data), size);
    SubscriptionKeyInfo info;
    const KeyFileStatus status = ParseSubscriptionKey(text.data(), text.size(), info);
    const size_t first =
        text.find_first_not_of(" \t\r\n", text.compare(0, 3, "\xEF\xBB\xBF") ? 0 : 3);
    const bool json = first != std::string::npos && text[first] == '{';
    switch (status) {
        case KeyFileStatus::kOk:
            KORAL_FUZZ_CHECK(!info.key.empty() && info.error.empty());
            if (json) {
                KORAL_FUZZ_CHECK(!info.auth_uri.empty());
            } else {
                KORAL_FUZZ_CHECK(info.key.find_first_of(std::string("\r\n\0", 3)) ==
                                 std::string::npos);
                KORAL_FUZZ_CHECK(info.key[0] != ' ' && info.key[0] != '\t');
                KORAL_FUZZ_CHECK(text.find(info.key) != std::string::npos);
                KORAL_FUZZ_CHECK(info.auth_uri == kDefaultTokenUri);
                KORAL_FUZZ_CHECK(info.service_endpoint == kDefaultSpeechEndpoint);
            }
            break;
        case KeyFileStatus::kBadJson: {
            KORAL_FUZZ_CHECK(json);
            // "<reason> at offset <n>", n within the file.
            size_t at = info.error.rfind(" at offset ");
            KORAL_FUZZ_CHECK(at != std::string::npos && at > 0);
            KORAL_FUZZ_CHECK(std::strtoull(info.error.c_str() + at + 11, nullptr, 10) <= size);
            break;
        }
        case KeyFileStatus::kNoAuthEndpoint:
            KORAL_FUZZ_CHECK(json && info.auth_uri.empty());
            break;
        case KeyFileStatus::kNoAuthKey:
            KORAL_FUZZ_CHECK(json && info.key.empty());
            break;
        case KeyFileStatus::kNoKeyLine:
            KORAL_FUZZ_CHECK(!json && info.key.empty());
            break;
    }

    // The token endpoint as any string: a derived endpoint is the text up to
    // the token host followed by the regional speech host and path.
    const std::string derived = DeriveServiceEndpoint(text);
    if (!derived.empty()) {
        const std::string suffix = std::string(kRegionalSpeechHost) + kSpeechPath;
        KORAL_FUZZ_CHECK(derived.size() > suffix.size());
        const std::string prefix = derived.substr(0, derived.size() - suffix.size());
        KORAL_FUZZ_CHECK(derived.compare(prefix.size(), std::string::npos, suffix) == 0);
        KORAL_FUZZ_CHECK(text.compare(0, prefix.size(), prefix) == 0);
        KORAL_FUZZ_CHECK(prefix.find("https://") != std::string::npos);
    }
    return 0;
}
