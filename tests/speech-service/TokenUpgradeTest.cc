// The token endpoint and the recognition endpoint's upgrade, in one service
// run: good and refused requests in turn, then requests the HTTP parser
// cannot take.

#include "ServiceFixture.h"

using namespace KoralTest;

namespace {

std::string TokenRequest(const std::string &key) {
    return "POST /sts/v1.0/issueToken HTTP/1.1\r\nHost:127.0.0.1\r\n"
           "Content-type:application/x-www-form-urlencoded\r\n" +
           (key.empty() ? std::string() : "Ocp-Apim-Subscription-Key:" + key + "\r\n") +
           "Content-Length:0\r\n\r\n";
}

class TokenUpgradeTest : public ServiceTest {};

TEST_F(TokenUpgradeTest, TokensUpgradesAndMalformedRequests) {
    auto service = Start("");
    ASSERT_TRUE(service);
    EventLogReader log(service->EventLogPath());

    // A plain-text token per request, several on one kept-alive connection.
    auto client = Client(*service);
    HttpResponse first = client->Exchange(TokenRequest(service->SubscriptionKey()));
    HttpResponse second = client->Exchange(TokenRequest(service->SubscriptionKey()));
    EXPECT_EQ(200, first.m_Status);
    EXPECT_EQ(200, second.m_Status);
    EXPECT_EQ("text/plain", first.Header("Content-Type"));
    EXPECT_FALSE(first.m_Body.empty());
    EXPECT_EQ(std::string::npos, first.m_Body.find_first_of(" \r\n"));
    EXPECT_NE(first.m_Body, second.m_Body);
    EXPECT_EQ(401, Client(*service)->Exchange(TokenRequest("not-the-key")).m_Status);
    EXPECT_EQ(401, Client(*service)->Exchange(TokenRequest("")).m_Status);
    std::vector<ServiceEvent> tokens = log.Read("token");
    ASSERT_EQ(4u, tokens.size());
    EXPECT_EQ("wrong subscription key", tokens[2].Str("reason"));
    EXPECT_EQ("no subscription key", tokens[3].Str("reason"));
    EXPECT_EQ(
        405,
        Client(*service)->Exchange("GET /sts/v1.0/issueToken HTTP/1.1\r\nHost:x\r\n\r\n").m_Status);
    EXPECT_EQ(404,
              Client(*service)->Exchange("GET /elsewhere HTTP/1.1\r\nHost:x\r\n\r\n").m_Status);

    // The upgrade as the plugin sends it: an absolute target, the RFC 6455
    // sample key, and the upgrade logged with its query and headers.
    const std::string path = std::string(kRecognitionTarget) + "?format=detailed&language=en-US";
    const std::string upgrade =
        " HTTP/1.1\r\nHost:127.0.0.1\r\nUpgrade:websocket\r\nConnection:upgrade\r\n"
        "Sec-WebSocket-Key:dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version:13\r\n"
        "Authorization:Bearer " +
        first.m_Body + "\r\nX-ConnectionId:chan-7\r\nOrigin:https://example.test\r\n\r\n";
    HttpResponse r = Client(*service)->Exchange(
        "GET HTTPS://127.0.0.1:" + std::to_string(service->Port()) + path + upgrade);
    ASSERT_EQ(101, r.m_Status);
    EXPECT_EQ("s3pPLMBiTxaQ9kYGzzhZRbK+xOo=", r.Header("Sec-WebSocket-Accept"));
    std::vector<ServiceEvent> upgrades = log.Read("upgrade");
    ASSERT_EQ(1u, upgrades.size());
    EXPECT_EQ(101, upgrades[0].Int("status"));
    EXPECT_EQ("valid", upgrades[0].Str("token"));
    EXPECT_EQ(kRecognitionTarget, upgrades[0].Str("path"));
    const rapidjson::Value &query = (*upgrades[0].m_Json)["query"];
    EXPECT_STREQ("en-US", query["language"].GetString());
    EXPECT_STREQ("detailed", query["format"].GetString());
    EXPECT_NE(std::string::npos, upgrades[0].m_Line.find(R"(["X-ConnectionId","chan-7"])"))
        << upgrades[0].m_Line;
    // A refused upgrade is answered with the status of its check, and logged.
    EXPECT_EQ(401, Client(*service)->Upgrade(path, {{"X-ConnectionId", "chan-8"}}).m_Status);
    upgrades = log.Read("upgrade");
    ASSERT_EQ(2u, upgrades.size());
    EXPECT_EQ(401, upgrades[1].Int("status"));

    // Requests the HTTP parser cannot take, and targets whose authority is
    // broken, were once closed without a status: the status comes first,
    // the connection closes, and the service goes on serving.
    const std::string tail = " HTTP/1.1\r\nHost:127.0.0.1\r\n";
    const std::string post = "POST /sts/v1.0/issueToken" + tail +
                             "Ocp-Apim-Subscription-Key:" + service->SubscriptionKey() + "\r\n";
    const struct {
        const char *m_Name;
        std::string m_Request;
        int m_Status;
    } cases[] = {
        {"garbage", "\x16\x03\x01 hello there\r\n\r\n", 400},
        {"no version", "GET /\r\n\r\n", 400},
        {"long request line", "GET /" + std::string(1 << 20, 'a') + tail + "\r\n", 431},
        {"long header", "GET /" + tail + "X-Big:" + std::string(1 << 20, 'b') + "\r\n\r\n", 431},
        {"Content-Length 2^63", post + "Content-Length:9223372036854775808\r\n\r\n", 413},
        {"Content-Length 2^64", post + "Content-Length:18446744073709551616\r\n\r\n", 400},
        {"bad chunk size", post + "Transfer-Encoding:chunked\r\n\r\nzz\r\nabc\r\n0\r\n\r\n", 400},
        {"chunk without its end",
         post + "Transfer-Encoding:chunked\r\n\r\n3\r\nabcdef\r\n0\r\n\r\n", 400},
        {"unclosed IPv6 authority", "GET https://[::1" + path + upgrade, 400},
        {"empty host", "GET https://" + path + upgrade, 400},
        {"port out of range", "GET https://127.0.0.1:65536" + path + upgrade, 400},
        {"port not a number", "GET https://127.0.0.1:44x3" + path + upgrade, 400},
        {"user information", "GET https://user@127.0.0.1" + path + upgrade, 400},
        {"bad escape in the host", "GET https://127.0.0.%zz" + path + upgrade, 400},
        {"other scheme", "GET ftp://127.0.0.1" + path + upgrade, 400},
        {"relative target", "GET " + path.substr(1) + upgrade, 400},
    };
    auto refusals = [&log] {
        int refused = 0;
        for (const auto &e : log.Read()) refused += e.Int("status", 0) >= 400;
        return refused;
    };
    const int before = refusals();
    for (const auto &c : cases) {
        auto bad = Client(*service);
        HttpResponse answer = bad->Exchange(c.m_Request);
        EXPECT_EQ(c.m_Status, answer.m_Status) << c.m_Name;
        EXPECT_EQ("close", answer.Header("Connection")) << c.m_Name;
        EXPECT_TRUE(bad->WaitClosed()) << c.m_Name;
    }
    EXPECT_EQ(before + static_cast<int>(std::size(cases)), refusals());
    EXPECT_EQ(
        200,
        Client(*service)->Exchange(post + "Connection:close\r\nContent-Length:0\r\n\r\n").m_Status);
}

}  // namespace
