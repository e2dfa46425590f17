#include <gtest/gtest.h>

#include <string>

#include "KoralRxKeyFile.h"

using namespace KORAL;

namespace {

KeyFileStatus Parse(const std::string &text, SubscriptionKeyInfo &info) {
    return ParseSubscriptionKey(text.data(), text.size(), info);
}

// A key file and what it gives. In the texts "<token-host>" stands for the
// service's token host; a null endpoint expected is the default one.
struct KeyCase {
    const char *m_Name;
    const char *m_Text;
    KeyFileStatus m_Status;
    const char *m_Key = "";
    const char *m_AuthUri = nullptr;
    const char *m_Endpoint = nullptr;
};
void PrintTo(const KeyCase &c, std::ostream *os) { *os << c.m_Name; }

std::string WithHosts(std::string text) {
    const std::string token = "<token-host>", speech = "<speech-host>";
    for (size_t at; (at = text.find(token)) != std::string::npos;)
        text.replace(at, token.size(), kTokenHost);
    for (size_t at; (at = text.find(speech)) != std::string::npos;)
        text.replace(at, speech.size(), std::string(kRegionalSpeechHost) + kSpeechPath);
    return text;
}

class KeyFileTest : public ::testing::TestWithParam<KeyCase> {};

TEST_P(KeyFileTest, KeyAndEndpoints) {
    const KeyCase &c = GetParam();
    SubscriptionKeyInfo info;
    ASSERT_EQ(Parse(WithHosts(c.m_Text), info), c.m_Status);
    EXPECT_TRUE(c.m_Status != KeyFileStatus::kBadJson || info.key.empty());
    if (c.m_Status != KeyFileStatus::kOk) return;
    EXPECT_EQ(info.key, c.m_Key);
    EXPECT_EQ(info.auth_uri, c.m_AuthUri ? WithHosts(c.m_AuthUri) : kDefaultTokenUri);
    EXPECT_EQ(info.service_endpoint,
              c.m_Endpoint ? WithHosts(c.m_Endpoint) : kDefaultSpeechEndpoint);
}

const char kRegional[] = "https://westeurope.<token-host>/sts/v1.0/issueToken";
const char kGlobal[] = "https://<token-host>/sts/v1.0/issueToken";

INSTANTIATE_TEST_SUITE_P(
    Texts, KeyFileTest,
    ::testing::Values(
        KeyCase{"PlainKeyLine", "0123abcd\n", KeyFileStatus::kOk, "0123abcd"},
        KeyCase{"KeyLineIndentedBeforeOthers", "  \t0123abcd\r\nsecond line", KeyFileStatus::kOk,
                "0123abcd"},
        KeyCase{"KeyLineWithoutEnd", "0123abcd", KeyFileStatus::kOk, "0123abcd"},
        KeyCase{"EmptyFirstLine", "  \nkey-on-second-line\n", KeyFileStatus::kNoKeyLine},
        KeyCase{"ByteOrderMarkAlone", "\xEF\xBB\xBF\n", KeyFileStatus::kNoKeyLine},
        KeyCase{"JsonWithAllMembers",
                R"({"auth-endpoint":"https://127.0.0.1:9/sts/v1.0/issueToken",)"
                R"("auth-key":"k1","service-endpoint":"https://127.0.0.1:9/x"})",
                KeyFileStatus::kOk, "k1", "https://127.0.0.1:9/sts/v1.0/issueToken",
                "https://127.0.0.1:9/x"},
        // A member of the wrong type is ignored; the default token endpoint
        // names no region, so no service endpoint is derived from it.
        KeyCase{"JsonWithByteOrderMarkAndNumberEndpoint",
                "\xEF\xBB\xBF{\"auth-key\":\"k\",\"auth-endpoint\":5}", KeyFileStatus::kOk, "k",
                nullptr, ""},
        KeyCase{
            "RegionalTokenEndpoint",
            R"({"auth-endpoint":"https://westeurope.<token-host>/sts/v1.0/issueToken","auth-key":"k"})",
            KeyFileStatus::kOk, "k", kRegional, "https://westeurope.<speech-host>"},
        KeyCase{"TokenHostRightAfterTheScheme",
                R"({"auth-endpoint":"https://<token-host>/sts/v1.0/issueToken","auth-key":"k"})",
                KeyFileStatus::kOk, "k", kGlobal, ""},
        KeyCase{"JsonWithoutKey", R"({"auth-endpoint":"https://x/"})", KeyFileStatus::kNoAuthKey},
        KeyCase{"JsonWithEmptyEndpoint", R"({"auth-endpoint":"","auth-key":"k"})",
                KeyFileStatus::kNoAuthEndpoint},
        KeyCase{"JsonArrayIsAKeyLine", "[1,2]", KeyFileStatus::kOk, "[1,2]"},
        // What starts like a JSON object must be one: a broken or cut-off
        // object is refused (with the parser's reason, which the engine open
        // test reads), never taken as a key line.
        KeyCase{"CutObject", "{", KeyFileStatus::kBadJson},
        KeyCase{"ObjectWithoutEnd", "{\"auth-key\":\"k\"", KeyFileStatus::kBadJson},
        KeyCase{"ObjectAfterMarkAndSpace", "\xEF\xBB\xBF \r\n\t{\"auth-key\":}",
                KeyFileStatus::kBadJson},
        KeyCase{"TextAfterTheObject", "{\"auth-key\":\"k\"} trailing", KeyFileStatus::kBadJson}),
    [](const ::testing::TestParamInfo<KeyCase> &info) { return info.param.m_Name; });

// Nesting a million levels deep costs no stack.
TEST(KeyFileJson, DeepNestingIsReadWithoutRecursion) {
    SubscriptionKeyInfo info;
    const size_t depth = 1000000;
    std::string deep = "{\"a\":" + std::string(depth, '[') + std::string(depth, ']') + "}";
    EXPECT_EQ(Parse(deep, info), KeyFileStatus::kNoAuthKey);
    EXPECT_EQ(Parse("{\"a\":" + std::string(depth, '['), info), KeyFileStatus::kBadJson);
}

}  // namespace
