// Handshake texts and the token response reader, on plain bytes: the exact
// results. Streams cut anywhere and hostile bytes are the fuzz targets'
// (fuzz_http_response, fuzz_proxy_reply).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "KoralRxNetHttp.h"
#include "KoralRxWsHandshake.h"

using namespace KORAL;

namespace {

TEST(WsHandshake, UpgradeRequestAndItsAnswer) {
    EXPECT_EQ(WsHandshake::ComposeUpgradeRequest(
                  "https://127.0.0.1:4433/speech/v1?format=detailed&language=en-US", "127.0.0.1",
                  4433, "MDEyMzQ1Njc4OWFiY2RlZg==", "Bearer tok", "chan-1"),
              "GET https://127.0.0.1:4433/speech/v1?format=detailed&language=en-US HTTP/1.1\r\n"
              "Host:127.0.0.1:4433\r\nUpgrade:websocket\r\nConnection:upgrade\r\n"
              "Sec-WebSocket-Key:MDEyMzQ1Njc4OWFiY2RlZg==\r\nSec-WebSocket-Version:13\r\n"
              "Authorization:Bearer tok\r\nX-ConnectionId:chan-1\r\nOrigin:" +
                  std::string(WsHandshake::kOrigin) + "\r\n\r\n");
    EXPECT_EQ(std::string(WsHandshake::kOrigin).compare(0, 8, "https://"), 0);

    // A frame may follow the head.
    const std::string ok = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n\r\n";
    const std::string withFrame = ok + "\x81\x02Hi";
    EXPECT_EQ(WsHandshake::FindHeadEnd(withFrame.data(), withFrame.size()), ok.size());
    // The code ends where the status line says (an upgrade was once taken
    // from "1010").
    for (const char *yes : {"HTTP/1.1 101 Switching Protocols\r\n\r\n", "http/1.1 101 x\r\n\r\n",
                            "HTTP/1.1 101\r\n\r\n"})
        EXPECT_TRUE(WsHandshake::IsUpgradeAccepted(yes, strlen(yes))) << yes;
    for (const char *no : {"HTTP/1.1 401 Unauthorized\r\n\r\n", "HTTP/1.0 101 Switching\r\n\r\n",
                           "HTTP/1.1 1010 Switching\r\n\r\n", "HTTP/1.1 101X\r\n\r\n"})
        EXPECT_FALSE(WsHandshake::IsUpgradeAccepted(no, strlen(no))) << no;

    // The example of RFC 6455, 1.3; any letter case in the name, blanks
    // around the value. The status line is not a field, and a longer name is
    // another field.
    const std::string key = "dGhlIHNhbXBsZSBub25jZQ==";
    EXPECT_EQ(WsHandshake::AcceptKey(key), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
    std::string reason;
    const std::string accept =
        "HTTP/1.1 101 Switching Protocols\r\nsec-websocket-accept:  s3pPLMBiTxaQ9kYGzzhZRbK+xOo= "
        "\r\n\r\n";
    EXPECT_TRUE(WsHandshake::CheckAccept(accept.data(), accept.size(), key, reason)) << reason;
    const std::string none = "Sec-WebSocket-Accept: x\r\nSec-WebSocket-Accepted: x\r\n\r\n";
    EXPECT_FALSE(WsHandshake::CheckAccept(none.data(), none.size(), key, reason));
    EXPECT_EQ(reason, "no Sec-WebSocket-Accept");
}

TEST(WsHandshake, ProxyConnectAndStatusCodes) {
    EXPECT_EQ(WsHandshake::ComposeProxyConnect("speech.test", 443),
              "CONNECT speech.test:443 HTTP/1.1\r\nHost: speech.test:443\r\n\r\n");
    auto code = [](const std::string &s) { return WsHandshake::StatusCode(s.data(), s.size()); };
    EXPECT_EQ(code("HTTP/1.0 200 Connection established\r\n\r\n"), 200);
    EXPECT_EQ(code("HTTP/1.1 2000 Nope\r\n\r\n"), 0);
    // A status line without a code takes none from the lines after it (a
    // proxy's refusal once opened the tunnel so).
    EXPECT_EQ(code("HTTP/1.1\r\nX: 200 OK\r\n\r\n"), 0);
    EXPECT_EQ(code("HTTP/1.1 \r\n200 OK\r\n\r\n"), 0);
    EXPECT_EQ(WsHandshake::FirstLine("HTTP/1.1 403 No\r\nX: y\r\n", 23), "HTTP/1.1 403 No");
}

TEST(HttpText, TokenResponses) {
    const std::string response =
        "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 6\r\n\r\ntoken\n";
    HttpResponseReader reader;
    ASSERT_EQ(reader.Feed(response.data(), response.size()), HttpResponseReader::DONE);
    EXPECT_EQ(reader.m_Code, 200);
    EXPECT_EQ(reader.m_Reason, "OK");
    EXPECT_EQ(reader.m_Body, "token\n") << "the body is kept verbatim";
    ASSERT_EQ(reader.m_Headers.size(), 2u);
    EXPECT_EQ(reader.m_Headers[0].first, "Content-Type");
    EXPECT_EQ(reader.m_Headers[0].second, "text/plain");

    HttpResponseReader chunked;
    const std::string c =
        "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
        "3\r\nabc\r\n4;x=y\r\ndefg\r\n0\r\nTrailer: t\r\n\r\n";
    ASSERT_EQ(chunked.Feed(c.data(), c.size()), HttpResponseReader::DONE);
    EXPECT_EQ(chunked.m_Code, 200);
    EXPECT_EQ(chunked.m_Body, "abcdefg");

    HttpResponseReader eof;
    const std::string e = "HTTP/1.0 401 Unauthorized\r\n\r\nno key";
    ASSERT_EQ(eof.Feed(e.data(), e.size()), HttpResponseReader::NEED_MORE);
    ASSERT_EQ(eof.FeedEof(), HttpResponseReader::DONE);
    EXPECT_EQ(eof.m_Code, 401);
    EXPECT_EQ(eof.m_Body, "no key");

    HttpResponseReader cut;
    const std::string t = "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc";
    cut.Feed(t.data(), t.size());
    EXPECT_EQ(cut.FeedEof(), HttpResponseReader::FAILED);

    const std::string refused[] = {
        "HTTP/1.1 200 OK\r\nContent-Length: 99999999999\r\n\r\n", "hello there\r\n\r\n",
        "HTTP/1.1 200 OK\r\nContent-Length: 12abc\r\n\r\n", "HTTP/1.1 200 OK\r\n" + [] {
            std::string lines;
            for (int i = 0; i < 100; ++i) lines += "X-Filler: " + std::string(1000, 'f') + "\r\n";
            return lines;
        }()};
    for (const std::string &r : refused) {
        HttpResponseReader hostile;
        EXPECT_EQ(hostile.Feed(r.data(), r.size()), HttpResponseReader::FAILED) << r.substr(0, 50);
    }
}

// However the network cuts a chunked body, it is read alike, whole and byte
// by byte (the break after a chunk's data, where a size line starts and the
// bounds of complete lines were once read differently).
TEST(HttpText, ChunkedBodyReadAlikeHoweverCut) {
    const HttpResponseReader::Status kDone = HttpResponseReader::DONE;
    const HttpResponseReader::Status kFailed = HttpResponseReader::FAILED;
    const struct {
        std::string body;
        HttpResponseReader::Status status;
        std::string data;
    } cases[] = {
        {"3\r\nabc\r\n2;ext\r\nde\n0\r\n\r\n", kDone, "abcde"},
        {"A \r\n0123456789\r\n0\r\n\r\n", kDone, "0123456789"},
        {"3\r\nabc\r\x02"
         "2\r\nde\r\n0\r\n\r\n",
         kFailed, ""},
        {"3\r\nabcXY\r\n0\r\n\r\n", kFailed, ""},
        {"\r\n3\r\nabc\r\n0\r\n\r\n", kFailed, ""},
        {" 3\r\nabc\r\n0\r\n\r\n", kFailed, ""},
        {"+3\r\nabc\r\n0\r\n\r\n", kFailed, ""},
        {"3x\r\nabc\r\n0\r\n\r\n", kFailed, ""},
        {"fffffffffffffffffffff\r\n", kFailed, ""},
        {"1;" + std::string(2000, 'e') + "\r\na\r\n0\r\n\r\n", kFailed, ""},
        {"0\r\nT: " + std::string(70000, 't') + "\r\n\r\n", kFailed, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.body.substr(0, 40));
        const std::string response =
            "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + c.body;
        HttpResponseReader whole;
        EXPECT_EQ(whole.Feed(response.data(), response.size()), c.status);
        HttpResponseReader bytes;
        HttpResponseReader::Status byteStatus = HttpResponseReader::NEED_MORE;
        for (size_t i = 0; i < response.size() && byteStatus == HttpResponseReader::NEED_MORE; ++i)
            byteStatus = bytes.Feed(&response[i], 1);
        EXPECT_EQ(byteStatus, c.status);
        if (c.status == kDone) {
            EXPECT_EQ(whole.m_Body, c.data);
            EXPECT_EQ(bytes.m_Body, c.data);
        }
    }
}

}  // namespace
