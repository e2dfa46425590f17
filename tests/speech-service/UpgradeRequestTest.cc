// Upgrade request checks and access tokens, without a network: every check
// of an upgrade with its status (the service answers with it and logs it;
// one refusal runs through the service in TokenUpgradeTest), token expiry on
// an injected clock.

#include <gtest/gtest.h>

#include <functional>

#include "TokenIssuer.h"
#include "UpgradeRequest.h"

using namespace SpeechService;

namespace {

TEST(UpgradeRequestTest, TokensExpireAfterTheirLifetime) {
    TokenIssuer::Clock::time_point now{};
    TokenIssuer tokens(std::chrono::seconds(600), [&now] { return now; });
    std::string a = tokens.Issue();
    EXPECT_NE(a, tokens.Issue());
    EXPECT_EQ(TokenIssuer::Check::Valid, tokens.Validate(a));
    now += std::chrono::seconds(599);
    EXPECT_EQ(TokenIssuer::Check::Valid, tokens.Validate(a));
    now += std::chrono::seconds(1);
    EXPECT_EQ(TokenIssuer::Check::Expired, tokens.Validate(a));
    EXPECT_EQ(TokenIssuer::Check::Unknown, tokens.Validate("lst.other"));
    // Long-expired tokens are forgotten when new ones are issued.
    now += std::chrono::hours(3);
    tokens.Issue();
    EXPECT_EQ(TokenIssuer::Check::Unknown, tokens.Validate(a));
}

TEST(UpgradeRequestTest, EachCheckHasItsStatus) {
    TokenIssuer::Clock::time_point now{};
    TokenIssuer tokens(std::chrono::seconds(10), [&now] { return now; });
    const std::string token = tokens.Issue();
    auto valid = [&] {
        UpgradeInput in;
        in.m_Method = "GET";
        in.m_Target = std::string(kRecognitionPath) +
                      "?format=detailed&language=de%2DDE&initialSilenceTimeoutMs=3000"
                      "&endSilenceTimeoutMs=800&flag&=v";
        in.m_IsWebSocketUpgrade = true;
        in.m_HasAuthorization = true;
        in.m_Authorization = "Bearer " + token;
        in.m_HasConnectionId = true;
        in.m_ConnectionId = "c";
        return in;
    };
    UpgradeDecision d = CheckUpgrade(valid(), tokens);
    EXPECT_EQ(101, d.m_Status) << d.m_Reason;
    EXPECT_EQ("de-DE", d.m_Settings.m_Language);
    EXPECT_EQ(ResultFormat::Detailed, d.m_Settings.m_Format);
    EXPECT_EQ(3000, d.m_Settings.m_InitialSilenceMs);
    EXPECT_EQ(800, d.m_Settings.m_EndSilenceMs);

    auto target = [](const char *query) {
        return [query](UpgradeInput &in) { in.m_Target = std::string(kRecognitionPath) + query; };
    };
    const struct {
        const char *m_Name;
        std::function<void(UpgradeInput &)> m_Change;
        int m_Status;
    } cases[] = {
        {"other path", [](UpgradeInput &in) { in.m_Target = "/other"; }, 404},
        {"dictation path",
         [](UpgradeInput &in) {
             in.m_Target = "/speech/recognition/dictation/cognitiveservices/v1?language=en-US";
         },
         404},
        {"no upgrade", [](UpgradeInput &in) { in.m_IsWebSocketUpgrade = false; }, 400},
        {"basic scheme", [](UpgradeInput &in) { in.m_Authorization = "Basic abc"; }, 401},
        {"scheme in lower case", [&](UpgradeInput &in) { in.m_Authorization = "bearer " + token; },
         101},
        {"no authorization", [](UpgradeInput &in) { in.m_HasAuthorization = false; }, 401},
        {"unknown token", [](UpgradeInput &in) { in.m_Authorization = "Bearer lst.nope"; }, 401},
        {"no connection id", [](UpgradeInput &in) { in.m_HasConnectionId = false; }, 400},
        {"empty connection id", [](UpgradeInput &in) { in.m_ConnectionId = ""; }, 400},
        {"negative timeout", target("?language=en-US&initialSilenceTimeoutMs=-5"), 400},
        {"no language", target("?format=simple"), 400},
        {"empty language", target("?language="), 400},
        {"unknown format", target("?language=en-US&format=fancy"), 400},
        {"timeout not a number", target("?language=en-US&endSilenceTimeoutMs=soon"), 400},
        {"absolute form",
         [](UpgradeInput &in) {
             in.m_Target = "https://127.0.0.1:8443" + std::string(kRecognitionPath) + "?language=x";
         },
         101},
    };
    for (const auto &c : cases) {
        UpgradeInput in = valid();
        c.m_Change(in);
        EXPECT_EQ(c.m_Status, CheckUpgrade(in, tokens).m_Status) << c.m_Name;
    }
    EXPECT_EQ("a b", ParseQuery("x=a+b")["x"]);
    std::string path, query;
    SplitTarget("http://host", path, query);
    EXPECT_EQ("/", path);
    now += std::chrono::seconds(10);
    UpgradeDecision expired = CheckUpgrade(valid(), tokens);
    EXPECT_EQ(401, expired.m_Status);
    EXPECT_EQ("expired", expired.m_TokenCheck);
}

}  // namespace
