#include <gtest/gtest.h>

#include <string>

#include "KoralRxKeyFile.h"

using namespace KORAL;

namespace {

KeyFileStatus Parse(const std::string &text, SubscriptionKeyInfo &info) {
    return ParseSubscriptionKey(text.data(), text.size(), info);
}

TEST(KeyFileTest, PlainKeyLineGivesDefaultEndpoints) {
    for (const char *text : {"0123abcd\n", "  \t0123abcd\r\nsecond line", "0123abcd"}) {
        SubscriptionKeyInfo info;
        ASSERT_EQ(Parse(text, info), KeyFileStatus::kOk) << text;
        EXPECT_EQ(info.key, "0123abcd");
        EXPECT_EQ(info.auth_uri, kDefaultTokenUri);
        EXPECT_EQ(info.service_endpoint, kDefaultSpeechEndpoint);
    }
}

TEST(KeyFileTest, EmptyFirstLineIsRejected) {
    SubscriptionKeyInfo info;
    EXPECT_EQ(Parse("  \nkey-on-second-line\n", info), KeyFileStatus::kNoKeyLine);
    EXPECT_EQ(Parse("\xEF\xBB\xBF\n", info), KeyFileStatus::kNoKeyLine);
}

TEST(KeyFileTest, JsonWithAllMembers) {
    SubscriptionKeyInfo info;
    ASSERT_EQ(Parse(R"({"auth-endpoint":"https://127.0.0.1:9/sts/v1.0/issueToken",)"
                    R"("auth-key":"k1","service-endpoint":"https://127.0.0.1:9/x"})",
                    info),
              KeyFileStatus::kOk);
    EXPECT_EQ(info.auth_uri, "https://127.0.0.1:9/sts/v1.0/issueToken");
    EXPECT_EQ(info.key, "k1");
    EXPECT_EQ(info.service_endpoint, "https://127.0.0.1:9/x");
}

// What starts like a JSON object must be one: a broken or cut-off object is
// refused with the parser's reason, never taken as a key line.
TEST(KeyFileTest, BrokenJsonIsRefusedWithItsReason) {
    for (const char *text : {"{", "{\"auth-key\":\"k\"", "\xEF\xBB\xBF \r\n\t{\"auth-key\":}",
                             "{\"auth-key\":\"k\"} trailing"}) {
        SubscriptionKeyInfo info;
        EXPECT_EQ(Parse(text, info), KeyFileStatus::kBadJson) << text;
        EXPECT_NE(info.error.find(" at offset "), std::string::npos) << info.error;
        EXPECT_TRUE(info.key.empty());
    }
    SubscriptionKeyInfo info;
    EXPECT_EQ(Parse("{\"auth-key\":", info), KeyFileStatus::kBadJson);
    EXPECT_EQ(info.error, "Invalid value. at offset 12");

    // Nesting a million levels deep costs no stack.
    const size_t depth = 1000000;
    std::string deep = "{\"a\":" + std::string(depth, '[') + std::string(depth, ']') + "}";
    EXPECT_EQ(Parse(deep, info), KeyFileStatus::kNoAuthKey);
    EXPECT_EQ(Parse("{\"a\":" + std::string(depth, '['), info), KeyFileStatus::kBadJson);
}

TEST(KeyFileTest, JsonWithByteOrderMarkAndWrongTypes) {
    SubscriptionKeyInfo info;
    ASSERT_EQ(Parse("\xEF\xBB\xBF{\"auth-key\":\"k\",\"auth-endpoint\":5}", info),
              KeyFileStatus::kOk);
    EXPECT_EQ(info.auth_uri, kDefaultTokenUri);  // a number is ignored
    EXPECT_EQ(info.key, "k");
}

TEST(KeyFileTest, RegionPrefixGivesRegionalSpeechEndpoint) {
    SubscriptionKeyInfo info;
    std::string uri = std::string("https://westeurope.") + kTokenHost + "/sts/v1.0/issueToken";
    ASSERT_EQ(Parse("{\"auth-endpoint\":\"" + uri + "\",\"auth-key\":\"k\"}", info),
              KeyFileStatus::kOk);
    EXPECT_EQ(info.service_endpoint,
              std::string("https://westeurope.") + kRegionalSpeechHost + kSpeechPath);
}

TEST(KeyFileTest, TokenHostDirectlyAfterSchemeLeavesServiceEndpointEmpty) {
    SubscriptionKeyInfo info;
    std::string uri = std::string("https://") + kTokenHost + "/sts/v1.0/issueToken";
    ASSERT_EQ(Parse("{\"auth-endpoint\":\"" + uri + "\",\"auth-key\":\"k\"}", info),
              KeyFileStatus::kOk);
    EXPECT_TRUE(info.service_endpoint.empty());
}

TEST(KeyFileTest, JsonWithoutKeyOrEndpointFails) {
    SubscriptionKeyInfo info;
    EXPECT_EQ(Parse(R"({"auth-endpoint":"https://x/"})", info), KeyFileStatus::kNoAuthKey);
    SubscriptionKeyInfo other;
    EXPECT_EQ(Parse(R"({"auth-endpoint":"","auth-key":"k"})", other),
              KeyFileStatus::kNoAuthEndpoint);
}

TEST(KeyFileTest, JsonThatIsNotAnObjectIsAKeyLine) {
    SubscriptionKeyInfo info;
    ASSERT_EQ(Parse("[1,2]", info), KeyFileStatus::kOk);
    EXPECT_EQ(info.key, "[1,2]");
}

}  // namespace
