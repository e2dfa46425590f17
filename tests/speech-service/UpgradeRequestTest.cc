// Upgrade request checks and access tokens, without a network.

#include <gtest/gtest.h>

#include "TokenIssuer.h"
#include "UpgradeRequest.h"

using namespace SpeechService;

namespace {

struct FakeClock {
    TokenIssuer::Clock::time_point m_Now{};
    TokenIssuer::Now Fn() {
        return [this] { return m_Now; };
    }
};

TEST(TokenIssuerTest, TokensExpireAfterTheirLifetime) {
    FakeClock clock;
    TokenIssuer tokens(std::chrono::seconds(600), clock.Fn());
    std::string a = tokens.Issue();
    EXPECT_NE(a, tokens.Issue());
    EXPECT_EQ(TokenIssuer::Check::Valid, tokens.Validate(a));
    clock.m_Now += std::chrono::seconds(599);
    EXPECT_EQ(TokenIssuer::Check::Valid, tokens.Validate(a));
    clock.m_Now += std::chrono::seconds(1);
    EXPECT_EQ(TokenIssuer::Check::Expired, tokens.Validate(a));
    EXPECT_EQ(TokenIssuer::Check::Unknown, tokens.Validate("lst.other"));
    // Long-expired tokens are forgotten when new ones are issued.
    clock.m_Now += std::chrono::hours(3);
    tokens.Issue();
    EXPECT_EQ(TokenIssuer::Check::Unknown, tokens.Validate(a));
}

TEST(UpgradeRequestTest, TargetsAndQueries) {
    std::string path, query;
    SplitTarget("https://127.0.0.1:8443/speech/x?format=detailed&language=en-US", path, query);
    EXPECT_EQ("/speech/x", path);
    EXPECT_EQ("format=detailed&language=en-US", query);
    SplitTarget("/a/b", path, query);
    EXPECT_EQ("/a/b", path);
    EXPECT_EQ("", query);
    SplitTarget("http://host", path, query);
    EXPECT_EQ("/", path);
    auto q = ParseQuery("language=en%2DUS&x=a+b&flag&=v");
    EXPECT_EQ("en-US", q["language"]);
    EXPECT_EQ("a b", q["x"]);
    EXPECT_EQ("", q["flag"]);
}

class CheckUpgradeTest : public ::testing::Test {
  protected:
    UpgradeInput Valid() {
        UpgradeInput in;
        in.m_Method = "GET";
        in.m_Target = std::string(kRecognitionPath) +
                      "?format=detailed&language=de-DE&initialSilenceTimeoutMs=3000"
                      "&endSilenceTimeoutMs=800";
        in.m_IsWebSocketUpgrade = true;
        in.m_HasAuthorization = true;
        in.m_Authorization = "Bearer " + m_Token;
        in.m_HasConnectionId = true;
        in.m_ConnectionId = "c";
        return in;
    }
    FakeClock m_Clock;
    TokenIssuer m_Tokens{std::chrono::seconds(10), m_Clock.Fn()};
    std::string m_Token = m_Tokens.Issue();
};

TEST_F(CheckUpgradeTest, ValidRequestGivesTheSessionSettings) {
    UpgradeDecision d = CheckUpgrade(Valid(), m_Tokens);
    EXPECT_EQ(101, d.m_Status) << d.m_Reason;
    EXPECT_EQ("de-DE", d.m_Settings.m_Language);
    EXPECT_EQ(ResultFormat::Detailed, d.m_Settings.m_Format);
    EXPECT_EQ(3000, d.m_Settings.m_InitialSilenceMs);
    EXPECT_EQ(800, d.m_Settings.m_EndSilenceMs);
}

// Every check of an upgrade with its status; the service answers with it
// and logs it (one case run through the service: UpgradeAcceptTest).
TEST_F(CheckUpgradeTest, EachCheckHasItsStatus) {
    UpgradeInput in = Valid();
    in.m_Target = "/other";
    EXPECT_EQ(404, CheckUpgrade(in, m_Tokens).m_Status);
    in = Valid();
    in.m_IsWebSocketUpgrade = false;
    EXPECT_EQ(400, CheckUpgrade(in, m_Tokens).m_Status);
    in = Valid();
    in.m_Authorization = "Basic abc";
    EXPECT_EQ(401, CheckUpgrade(in, m_Tokens).m_Status);
    in = Valid();
    in.m_Authorization = "bearer " + m_Token;  // the scheme is case-insensitive
    EXPECT_EQ(101, CheckUpgrade(in, m_Tokens).m_Status);
    in = Valid();
    in.m_HasAuthorization = false;
    EXPECT_EQ(401, CheckUpgrade(in, m_Tokens).m_Status);
    in = Valid();
    in.m_Authorization = "Bearer lst.nope";
    EXPECT_EQ(401, CheckUpgrade(in, m_Tokens).m_Status);
    in = Valid();
    in.m_HasConnectionId = false;
    EXPECT_EQ(400, CheckUpgrade(in, m_Tokens).m_Status);
    in = Valid();
    in.m_ConnectionId = "";
    EXPECT_EQ(400, CheckUpgrade(in, m_Tokens).m_Status);
    for (const char *query : {"?language=en-US&initialSilenceTimeoutMs=-5", "?format=simple",
                              "?language=", "?language=en-US&format=fancy",
                              "?language=en-US&endSilenceTimeoutMs=soon"}) {
        in = Valid();
        in.m_Target = std::string(kRecognitionPath) + query;
        EXPECT_EQ(400, CheckUpgrade(in, m_Tokens).m_Status) << query;
    }
    in = Valid();
    in.m_Target = "/speech/recognition/dictation/cognitiveservices/v1?language=en-US";
    EXPECT_EQ(404, CheckUpgrade(in, m_Tokens).m_Status);
    m_Clock.m_Now += std::chrono::seconds(10);
    UpgradeDecision expired = CheckUpgrade(Valid(), m_Tokens);
    EXPECT_EQ(401, expired.m_Status);
    EXPECT_EQ("expired", expired.m_TokenCheck);
}

}  // namespace
