// The token endpoint and the checks of the recognition endpoint's upgrade.

#include <openssl/evp.h>
#include <openssl/sha.h>

#include "ServiceFixture.h"

using namespace KoralTest;
using KoralTest::EventLogReader;

namespace {

std::string TokenRequest(const std::string &key) {
    return "POST /sts/v1.0/issueToken HTTP/1.1\r\nHost:127.0.0.1\r\nConnection:close\r\n"
           "Content-type:application/x-www-form-urlencoded\r\n" +
           (key.empty() ? std::string() : "Ocp-Apim-Subscription-Key:" + key + "\r\n") +
           "Content-Length:0\r\n\r\n";
}

class TokenTest : public ServiceTest {};

TEST_F(TokenTest, ConfiguredKeyGetsAPlainTextTokenThatOpensTheEndpoint) {
    auto service = Start("");
    ASSERT_TRUE(service);
    auto client = Client(*service);
    HttpResponse r = client->Exchange(TokenRequest(service->SubscriptionKey()));
    EXPECT_EQ(200, r.m_Status);
    EXPECT_EQ("text/plain", r.Header("Content-Type"));
    EXPECT_FALSE(r.m_Body.empty());
    EXPECT_EQ(std::string::npos, r.m_Body.find_first_of(" \r\n"));

    auto ws = Client(*service);
    HttpResponse up =
        ws->Upgrade(std::string(kRecognitionTarget) + "?language=en-US",
                    {{"Authorization", "Bearer " + r.m_Body}, {"X-ConnectionId", "c1"}});
    EXPECT_EQ(101, up.m_Status);
}

TEST_F(TokenTest, OtherOrMissingKeyIs401) {
    auto service = Start("");
    ASSERT_TRUE(service);
    EXPECT_EQ(401, Client(*service)->Exchange(TokenRequest("not-the-key")).m_Status);
    EXPECT_EQ(401, Client(*service)->Exchange(TokenRequest("")).m_Status);
    auto tokens = EventLogReader(service->EventLogPath()).Read("token");
    ASSERT_EQ(2u, tokens.size());
    EXPECT_EQ("wrong subscription key", tokens[0].Str("reason"));
    EXPECT_EQ("no subscription key", tokens[1].Str("reason"));
}

TEST_F(TokenTest, OnlyPostIsServed) {
    auto service = Start("");
    ASSERT_TRUE(service);
    HttpResponse r =
        Client(*service)->Exchange("GET /sts/v1.0/issueToken HTTP/1.1\r\nHost:x\r\n\r\n");
    EXPECT_EQ(405, r.m_Status);
    EXPECT_EQ(404,
              Client(*service)->Exchange("GET /elsewhere HTTP/1.1\r\nHost:x\r\n\r\n").m_Status);
}

TEST_F(TokenTest, KeepAliveServesSeveralRequestsOnOneConnection) {
    auto service = Start("");
    ASSERT_TRUE(service);
    auto client = Client(*service);
    std::string request =
        "POST /sts/v1.0/issueToken HTTP/1.1\r\nHost:x\r\nOcp-Apim-Subscription-Key:" +
        service->SubscriptionKey() + "\r\nContent-Length:0\r\n\r\n";
    HttpResponse first = client->Exchange(request);
    HttpResponse second = client->Exchange(request);
    EXPECT_EQ(200, first.m_Status);
    EXPECT_EQ(200, second.m_Status);
    EXPECT_NE(first.m_Body, second.m_Body);
}

// Requests the HTTP parser cannot take, and targets whose authority is
// broken, are answered with a status and the connection closed; the service
// goes on serving.
TEST_F(TokenTest, MalformedRequestsGetAStatusBeforeTheClose) {
    auto service = Start("");
    ASSERT_TRUE(service);
    const std::string token = Token(*service);
    const std::string tail = " HTTP/1.1\r\nHost:127.0.0.1\r\n";
    const std::string post = "POST /sts/v1.0/issueToken" + tail +
                             "Ocp-Apim-Subscription-Key:" + service->SubscriptionKey() + "\r\n";
    const std::string upgrade =
        std::string(" HTTP/1.1\r\nHost:127.0.0.1\r\nUpgrade:websocket\r\n") +
        "Connection:upgrade\r\nSec-WebSocket-Key:dGhlIHNhbXBsZSBub25jZQ==\r\n" +
        "Sec-WebSocket-Version:13\r\nAuthorization:Bearer " + token +
        "\r\nX-ConnectionId:c\r\n\r\n";
    const std::string path = std::string(kRecognitionTarget) + "?language=en-US";
    struct Case {
        const char *m_Name;
        std::string m_Request;
        int m_Status;
    };
    const std::vector<Case> cases = {
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
    for (const Case &c : cases) {
        auto client = Client(*service);
        HttpResponse r = client->Exchange(c.m_Request);
        EXPECT_EQ(c.m_Status, r.m_Status) << c.m_Name;
        EXPECT_EQ("close", r.Header("Connection")) << c.m_Name;
        EXPECT_TRUE(client->WaitClosed()) << c.m_Name;
    }
    int refused = 0;
    for (const auto &e : EventLogReader(service->EventLogPath()).Read())
        refused += e.Int("status", 0) >= 400;
    EXPECT_EQ(static_cast<int>(cases.size()), refused);
    // Still serving, also a target in absolute form with a sound authority.
    EXPECT_EQ(
        200,
        Client(*service)->Exchange(post + "Connection:close\r\nContent-Length:0\r\n\r\n").m_Status);
    EXPECT_EQ(101, Client(*service)
                       ->Exchange("GET HTTPS://127.0.0.1:" + std::to_string(service->Port()) +
                                  path + upgrade)
                       .m_Status);
}

class UpgradeAcceptTest : public ServiceTest {};

std::string AcceptFor(const std::string &key) {
    std::string text = key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char *>(text.data()), text.size(), digest);
    unsigned char out[64];
    int n = EVP_EncodeBlock(out, digest, SHA_DIGEST_LENGTH);
    return std::string(reinterpret_cast<char *>(out), static_cast<size_t>(n));
}

TEST_F(UpgradeAcceptTest, AbsoluteTargetAsThePluginSendsItIsAcceptedAndLogged) {
    auto service = Start("");
    ASSERT_TRUE(service);
    std::string token = Token(*service);
    auto client = Client(*service);
    const std::string key = "dGhlIHNhbXBsZSBub25jZQ==";
    std::string request =
        "GET " + service->ServiceUrl() +
        "?format=detailed&language=en-US HTTP/1.1\r\nHost:127.0.0.1:" +
        std::to_string(service->Port()) +
        "\r\nUpgrade:websocket\r\nConnection:upgrade\r\nSec-WebSocket-Key:" + key +
        "\r\nSec-WebSocket-Version:13\r\nAuthorization:Bearer " + token +
        "\r\nX-ConnectionId:chan-7\r\nOrigin:https://example.test\r\n\r\n";
    HttpResponse r = client->Exchange(request);
    ASSERT_EQ(101, r.m_Status);
    EXPECT_EQ(AcceptFor(key), r.Header("Sec-WebSocket-Accept"));
    EXPECT_EQ("s3pPLMBiTxaQ9kYGzzhZRbK+xOo=", r.Header("Sec-WebSocket-Accept"));

    auto upgrades = EventLogReader(service->EventLogPath()).Read("upgrade");
    ASSERT_EQ(1u, upgrades.size());
    EXPECT_EQ(101, upgrades[0].Int("status"));
    EXPECT_EQ("valid", upgrades[0].Str("token"));
    EXPECT_EQ(kRecognitionTarget, upgrades[0].Str("path"));
    const rapidjson::Value &query = (*upgrades[0].m_Json)["query"];
    EXPECT_STREQ("en-US", query["language"].GetString());
    EXPECT_STREQ("detailed", query["format"].GetString());
    bool sawConnectionId = false;
    for (const auto &h : (*upgrades[0].m_Json)["headers"].GetArray()) {
        sawConnectionId = sawConnectionId || (std::string(h[0].GetString()) == "X-ConnectionId" &&
                                              std::string(h[1].GetString()) == "chan-7");
    }
    EXPECT_TRUE(sawConnectionId);

    // A refused upgrade is answered with the status of its check, and logged.
    HttpResponse refused = Client(*service)->Upgrade(
        std::string(kRecognitionTarget) + "?language=en-US", {{"X-ConnectionId", "chan-8"}});
    EXPECT_EQ(401, refused.m_Status) << refused.m_Body;
    upgrades = EventLogReader(service->EventLogPath()).Read("upgrade");
    ASSERT_EQ(2u, upgrades.size());
    EXPECT_EQ(401, upgrades[1].Int("status"));
}

}  // namespace
