// Handshake texts and the token response reader, on plain bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "KoralRxNetHttp.h"
#include "KoralRxWsHandshake.h"

using namespace KORAL;

namespace {

TEST(WsHandshake, UpgradeRequestLines) {
    std::string r = WsHandshake::ComposeUpgradeRequest(
        "https://127.0.0.1:4433/speech/v1?format=detailed&language=en-US", "127.0.0.1", 4433,
        "MDEyMzQ1Njc4OWFiY2RlZg==", "Bearer tok", "chan-1");
    std::string expected =
        "GET https://127.0.0.1:4433/speech/v1?format=detailed&language=en-US HTTP/1.1\r\n"
        "Host:127.0.0.1:4433\r\n"
        "Upgrade:websocket\r\n"
        "Connection:upgrade\r\n"
        "Sec-WebSocket-Key:MDEyMzQ1Njc4OWFiY2RlZg==\r\n"
        "Sec-WebSocket-Version:13\r\n"
        "Authorization:Bearer tok\r\n"
        "X-ConnectionId:chan-1\r\n"
        "Origin:" +
        std::string(WsHandshake::kOrigin) + "\r\n\r\n";
    EXPECT_EQ(r, expected);
    EXPECT_EQ(std::string(WsHandshake::kOrigin).compare(0, 8, "https://"), 0);
}

TEST(WsHandshake, KeysAreFreshBase64Of16Bytes) {
    std::string a = WsHandshake::GenerateKey();
    std::string b = WsHandshake::GenerateKey();
    EXPECT_EQ(a.size(), 24u);
    EXPECT_EQ(a.substr(22), "==");
    EXPECT_NE(a, b);
}

TEST(WsHandshake, ResponseJudgedOnlyOnceComplete) {
    std::string ok = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n\r\n";
    for (size_t cut = 0; cut < ok.size(); ++cut) {
        EXPECT_EQ(WsHandshake::FindHeadEnd(ok.data(), cut), std::string::npos) << cut;
    }
    EXPECT_EQ(WsHandshake::FindHeadEnd(ok.data(), ok.size()), ok.size());
    std::string withFrame = ok + "\x81\x02Hi";
    EXPECT_EQ(WsHandshake::FindHeadEnd(withFrame.data(), withFrame.size()), ok.size());
    EXPECT_TRUE(WsHandshake::IsUpgradeAccepted(ok.data(), ok.size()));
    std::string lower = "http/1.1 101 whatever\r\n\r\n";
    EXPECT_TRUE(WsHandshake::IsUpgradeAccepted(lower.data(), lower.size()));
    std::string denied = "HTTP/1.1 401 Unauthorized\r\n\r\n";
    EXPECT_FALSE(WsHandshake::IsUpgradeAccepted(denied.data(), denied.size()));
    std::string old = "HTTP/1.0 101 Switching\r\n\r\n";
    EXPECT_FALSE(WsHandshake::IsUpgradeAccepted(old.data(), old.size()));
    for (const char *other : {"HTTP/1.1 1010 Switching\r\n\r\n", "HTTP/1.1 101X\r\n\r\n"})
        EXPECT_FALSE(WsHandshake::IsUpgradeAccepted(other, strlen(other))) << other;
    std::string bare = "HTTP/1.1 101\r\n\r\n";
    EXPECT_TRUE(WsHandshake::IsUpgradeAccepted(bare.data(), bare.size()));
}

TEST(WsHandshake, AcceptMustAnswerTheKey) {
    // The example of RFC 6455, 1.3.
    const std::string key = "dGhlIHNhbXBsZSBub25jZQ==";
    EXPECT_EQ(WsHandshake::AcceptKey(key), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
    std::string reason;
    // Any letter case in the name, blanks around the value.
    std::string ok =
        "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
        "sec-websocket-accept:  s3pPLMBiTxaQ9kYGzzhZRbK+xOo= \r\n\r\n";
    EXPECT_TRUE(WsHandshake::CheckAccept(ok.data(), ok.size(), key, reason)) << reason;
    std::string other =
        "HTTP/1.1 101 Switching Protocols\r\nSec-WebSocket-Accept: "
        "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n";
    EXPECT_FALSE(
        WsHandshake::CheckAccept(other.data(), other.size(), WsHandshake::GenerateKey(), reason));
    EXPECT_NE(reason.find("does not answer the key sent"), std::string::npos) << reason;
    // The status line is not a field, and a longer name is another field.
    std::string none = "Sec-WebSocket-Accept: x\r\nSec-WebSocket-Accepted: x\r\n\r\n";
    EXPECT_FALSE(WsHandshake::CheckAccept(none.data(), none.size(), key, reason));
    EXPECT_EQ(reason, "no Sec-WebSocket-Accept");
}

TEST(WsHandshake, ProxyConnectAndStatusCodes) {
    EXPECT_EQ(WsHandshake::ComposeProxyConnect("speech.test", 443),
              "CONNECT speech.test:443 HTTP/1.1\r\nHost: speech.test:443\r\n\r\n");
    auto code = [](const std::string &s) { return WsHandshake::StatusCode(s.data(), s.size()); };
    EXPECT_EQ(code("HTTP/1.0 200 Connection established\r\n\r\n"), 200);
    EXPECT_EQ(code("HTTP/1.1 403 Forbidden\r\n\r\n"), 403);
    EXPECT_EQ(code("HTTP/1.1 2000 Nope\r\n\r\n"), 0);
    EXPECT_EQ(code("SSH-2.0-OpenSSH\r\n\r\n"), 0);
    // A status line without a code takes none from the lines after it.
    EXPECT_EQ(code("HTTP/1.1\r\nX: 200 OK\r\n\r\n"), 0);
    EXPECT_EQ(code("HTTP/1.1 \r\n200 OK\r\n\r\n"), 0);
    EXPECT_EQ(WsHandshake::FirstLine("HTTP/1.1 403 No\r\nX: y\r\n", 23), "HTTP/1.1 403 No");
}

TEST(HttpText, RequestForTheTokenEndpoint) {
    HttpHeaders headers = {{"Host", "auth.test"},
                           {"Connection", "close"},
                           {"Content-type", "application/x-www-form-urlencoded"},
                           {"Ocp-Apim-Subscription-Key", "k3y"}};
    EXPECT_EQ(ComposeHttpRequest("POST", "/sts/v1.0/issueToken", headers, ""),
              "POST /sts/v1.0/issueToken HTTP/1.1\r\nHost: auth.test\r\nConnection: close\r\n"
              "Content-type: application/x-www-form-urlencoded\r\n"
              "Ocp-Apim-Subscription-Key: k3y\r\nContent-Length: 0\r\n\r\n");
}

TEST(HttpText, ResponseWithLengthArrivingByteByByte) {
    std::string response =
        "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 6\r\n\r\ntoken\n";
    HttpResponseReader reader;
    for (size_t i = 0; i + 1 < response.size(); ++i) {
        ASSERT_EQ(reader.Feed(&response[i], 1), HttpResponseReader::NEED_MORE) << i;
    }
    ASSERT_EQ(reader.Feed(&response.back(), 1), HttpResponseReader::DONE);
    EXPECT_EQ(reader.m_Code, 200);
    EXPECT_EQ(reader.m_Reason, "OK");
    EXPECT_EQ(reader.m_Body, "token\n") << "the body is kept verbatim";
    ASSERT_EQ(reader.m_Headers.size(), 2u);
    EXPECT_EQ(reader.m_Headers[0].first, "Content-Type");
    EXPECT_EQ(reader.m_Headers[0].second, "text/plain");
}

TEST(HttpText, ChunkedInterimAndCloseDelimitedBodies) {
    HttpResponseReader chunked;
    std::string c =
        "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
        "3\r\nabc\r\n4;x=y\r\ndefg\r\n0\r\nTrailer: t\r\n\r\n";
    ASSERT_EQ(chunked.Feed(c.data(), c.size()), HttpResponseReader::DONE);
    EXPECT_EQ(chunked.m_Code, 200);
    EXPECT_EQ(chunked.m_Body, "abcdefg");

    HttpResponseReader eof;
    std::string e = "HTTP/1.0 401 Unauthorized\r\n\r\nno key";
    ASSERT_EQ(eof.Feed(e.data(), e.size()), HttpResponseReader::NEED_MORE);
    ASSERT_EQ(eof.FeedEof(), HttpResponseReader::DONE);
    EXPECT_EQ(eof.m_Code, 401);
    EXPECT_EQ(eof.m_Body, "no key");

    HttpResponseReader cut;
    std::string t = "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc";
    cut.Feed(t.data(), t.size());
    EXPECT_EQ(cut.FeedEof(), HttpResponseReader::FAILED);
}

// However the network cuts a chunked body, it is read alike: whole, byte by
// byte, and both ways to the same end.
struct ChunkedCase {
    const char *m_Name;
    std::string m_Body;
    HttpResponseReader::Status m_Status;
    std::string m_Data;
};
void PrintTo(const ChunkedCase &c, std::ostream *os) { *os << c.m_Name; }

class ChunkedBodyTest : public ::testing::TestWithParam<ChunkedCase> {};

TEST_P(ChunkedBodyTest, ReadAlikeHoweverCut) {
    const ChunkedCase &c = GetParam();
    const std::string response = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + c.m_Body;
    HttpResponseReader whole;
    EXPECT_EQ(whole.Feed(response.data(), response.size()), c.m_Status);
    HttpResponseReader bytes;
    HttpResponseReader::Status byteStatus = HttpResponseReader::NEED_MORE;
    for (size_t i = 0; i < response.size() && byteStatus == HttpResponseReader::NEED_MORE; ++i)
        byteStatus = bytes.Feed(&response[i], 1);
    EXPECT_EQ(byteStatus, c.m_Status);
    if (c.m_Status == HttpResponseReader::DONE) {
        EXPECT_EQ(whole.m_Body, c.m_Data);
        EXPECT_EQ(bytes.m_Body, c.m_Data);
    }
}

const HttpResponseReader::Status kDone = HttpResponseReader::DONE;
const HttpResponseReader::Status kFailed = HttpResponseReader::FAILED;

INSTANTIATE_TEST_SUITE_P(
    Bodies, ChunkedBodyTest,
    ::testing::Values(
        ChunkedCase{"TwoChunksWithExtension", "3\r\nabc\r\n2;ext\r\nde\n0\r\n\r\n", kDone, "abcde"},
        ChunkedCase{"HexSizeWithSpace", "A \r\n0123456789\r\n0\r\n\r\n", kDone, "0123456789"},
        // Bytes between a chunk's data and its line break.
        ChunkedCase{"ByteBeforeLineBreak",
                    "3\r\nabc\r\x02"
                    "2\r\nde\r\n0\r\n\r\n",
                    kFailed, ""},
        ChunkedCase{"DataLongerThanSize", "3\r\nabcXY\r\n0\r\n\r\n", kFailed, ""},
        // A size line must start with the size, not take it from a later line.
        ChunkedCase{"EmptySizeLine", "\r\n3\r\nabc\r\n0\r\n\r\n", kFailed, ""},
        ChunkedCase{"SpaceBeforeSize", " 3\r\nabc\r\n0\r\n\r\n", kFailed, ""},
        ChunkedCase{"SignedSize", "+3\r\nabc\r\n0\r\n\r\n", kFailed, ""},
        ChunkedCase{"SizeWithJunk", "3x\r\nabc\r\n0\r\n\r\n", kFailed, ""},
        ChunkedCase{"OverflowingSize", "fffffffffffffffffffff\r\n", kFailed, ""},
        // An over-long size line or trailer line, complete or not.
        ChunkedCase{"LongSizeLine", "1;" + std::string(2000, 'e') + "\r\na\r\n0\r\n\r\n", kFailed,
                    ""},
        ChunkedCase{"LongTrailer", "0\r\nT: " + std::string(70000, 't') + "\r\n\r\n", kFailed, ""}),
    [](const ::testing::TestParamInfo<ChunkedCase> &info) { return info.param.m_Name; });

TEST(HttpText, HostileResponsesAreBounded) {
    HttpResponseReader big;
    std::string b = "HTTP/1.1 200 OK\r\nContent-Length: 99999999999\r\n\r\n";
    EXPECT_EQ(big.Feed(b.data(), b.size()), HttpResponseReader::FAILED);

    HttpResponseReader endless;
    std::string line = "X-Filler: " + std::string(1000, 'f') + "\r\n";
    std::string head = "HTTP/1.1 200 OK\r\n";
    HttpResponseReader::Status st = endless.Feed(head.data(), head.size());
    for (int i = 0; i < 100 && st == HttpResponseReader::NEED_MORE; ++i) {
        st = endless.Feed(line.data(), line.size());
    }
    EXPECT_EQ(st, HttpResponseReader::FAILED);

    HttpResponseReader garbage;
    std::string g = "hello there\r\n\r\n";
    EXPECT_EQ(garbage.Feed(g.data(), g.size()), HttpResponseReader::FAILED);

    HttpResponseReader badLength;
    std::string l = "HTTP/1.1 200 OK\r\nContent-Length: 12abc\r\n\r\n";
    EXPECT_EQ(badLength.Feed(l.data(), l.size()), HttpResponseReader::FAILED);
}

}  // namespace
