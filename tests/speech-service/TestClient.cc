#include "TestClient.h"

#include <strings.h>

#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <random>

#include "KoralRxWsFrame.h"
#include "KoralTest/WsFrame.h"

namespace KoralTest {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {

std::mt19937 &Rng() {
    static thread_local std::mt19937 rng{std::random_device{}()};
    return rng;
}

std::string Trim(const std::string &s) {
    size_t b = s.find_first_not_of(" \t"), e = s.find_last_not_of(" \t");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

std::chrono::milliseconds Left(std::chrono::steady_clock::time_point deadline) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                 std::chrono::steady_clock::now());
}

}  // namespace

std::string HttpResponse::Header(const std::string &name) const {
    for (const auto &h : m_Headers) {
        if (strcasecmp(h.first.c_str(), name.c_str()) == 0) return h.second;
    }
    return std::string();
}

uint16_t Message::CloseCode() const {
    if (m_Opcode != 8 || m_Data.size() < 2) return 0;
    return static_cast<uint16_t>(static_cast<unsigned char>(m_Data[0]) << 8 |
                                 static_cast<unsigned char>(m_Data[1]));
}

void TestClient::Close() {
    boost::system::error_code ec;
    if (m_Tls) m_Tls->lowest_layer().close(ec);
    if (m_Plain) m_Plain->close(ec);
}

bool TestClient::Open(std::string *error) {
    auto fail = [&](const std::string &what) {
        if (error != nullptr) *error = what;
        return false;
    };
    tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), m_Port);
    boost::system::error_code ec;
    if (m_CaFile.empty()) {
        m_Plain = std::make_unique<tcp::socket>(m_Io);
        m_Plain->connect(endpoint, ec);
        return !ec || fail("connect: " + ec.message());
    }
    m_Ctx = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_client);
    m_Ctx->load_verify_file(m_CaFile, ec);
    if (ec) return fail("CA file: " + ec.message());
    m_Ctx->set_verify_mode(asio::ssl::verify_peer);
    m_Tls = std::make_unique<asio::ssl::stream<tcp::socket>>(m_Io, *m_Ctx);
    m_Tls->set_verify_callback(asio::ssl::host_name_verification("127.0.0.1"));
    m_Tls->lowest_layer().connect(endpoint, ec);
    if (ec) return fail("connect: " + ec.message());
    m_Tls->handshake(asio::ssl::stream_base::client, ec);
    return !ec || fail("TLS handshake: " + ec.message());
}

bool TestClient::Write(const std::string &bytes) {
    boost::system::error_code ec;
    if (m_Tls) {
        asio::write(*m_Tls, asio::buffer(bytes), ec);
    } else if (m_Plain) {
        asio::write(*m_Plain, asio::buffer(bytes), ec);
    } else {
        return false;
    }
    return !ec;
}

bool TestClient::ReadMore(std::chrono::milliseconds timeout) {
    if (m_Eof) return false;
    char buf[16384];
    bool done = false;
    boost::system::error_code result;
    size_t got = 0;
    auto handler = [&](boost::system::error_code ec, size_t n) {
        done = true;
        result = ec;
        got = n;
    };
    if (m_Tls) {
        m_Tls->async_read_some(asio::buffer(buf), handler);
    } else {
        m_Plain->async_read_some(asio::buffer(buf), handler);
    }
    m_Io.restart();
    m_Io.run_for(timeout);
    if (!done) {
        // Cancel and let the handler run before `buf` goes away.
        boost::system::error_code ignored;
        if (m_Tls) {
            m_Tls->lowest_layer().cancel(ignored);
        } else {
            m_Plain->cancel(ignored);
        }
        m_Io.restart();
        m_Io.run();
        m_In.append(buf, got);
        return false;
    }
    m_In.append(buf, got);
    if (result) {
        m_Eof = true;
        return got > 0;
    }
    return true;
}

HttpResponse TestClient::Exchange(const std::string &request) {
    HttpResponse response;
    if (!Write(request)) return response;
    size_t end;
    while ((end = m_In.find("\r\n\r\n")) == std::string::npos) {
        if (!ReadMore(std::chrono::milliseconds(10000))) return response;
    }
    std::string head = m_In.substr(0, end);
    m_In.erase(0, end + 4);
    if (head.size() < 12 || head.compare(0, 5, "HTTP/") != 0) return response;
    response.m_Status = std::stoi(head.substr(9, 3));
    for (size_t at = head.find("\r\n"); at != std::string::npos;) {
        size_t e = head.find("\r\n", at + 2);
        std::string line = head.substr(at + 2, e == std::string::npos ? e : e - at - 2);
        at = e;
        size_t colon = line.find(':');
        if (colon != std::string::npos)
            response.m_Headers.emplace_back(line.substr(0, colon), Trim(line.substr(colon + 1)));
    }
    std::string length = response.Header("Content-Length");
    size_t want = length.empty() ? 0 : std::stoul(length);
    while (m_In.size() < want && ReadMore(std::chrono::milliseconds(10000))) {
    }
    response.m_Body = m_In.substr(0, want);
    m_In.erase(0, std::min(want, m_In.size()));
    return response;
}

HttpResponse TestClient::Upgrade(const std::string &target, const Headers &headers) {
    std::string request = "GET " + target +
                          " HTTP/1.1\r\nHost:127.0.0.1:" + std::to_string(m_Port) +
                          "\r\nUpgrade:websocket\r\nConnection:upgrade\r\nSec-WebSocket-Key:" +
                          "dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version:13\r\n";
    for (const auto &h : headers) request += h.first + ":" + h.second + "\r\n";
    return Exchange(request + "\r\n");
}

bool TestClient::SendFrame(int opcode, const std::string &payload, bool fin, bool masked) {
    uint8_t key[4];
    for (uint8_t &k : key) k = static_cast<uint8_t>(Rng()());
    return Write(WsFrameBytes(opcode, payload, fin, masked ? key : nullptr));
}

bool TestClient::TakeFrame(Message &frame, bool &fin) {
    KORAL::WsFrame::Header h;
    if (KORAL::WsFrame::ReadFrame(reinterpret_cast<const uint8_t *>(m_In.data()), m_In.size(),
                                  UINT64_MAX, h, frame.m_Data) != KORAL::WsFrame::READ_FRAME)
        return false;
    fin = h.m_Fin;
    frame.m_Opcode = h.m_Opcode;
    frame.m_Masked = h.m_Masked;
    m_In.erase(0, h.m_HeaderSize + h.m_Length);
    return true;
}

std::optional<Message> TestClient::ReadMessage(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    Message message;
    message.m_Frames = 0;
    while (true) {
        Message frame;
        bool fin = false;
        while (!TakeFrame(frame, fin)) {
            if (Left(deadline).count() <= 0 || !ReadMore(Left(deadline))) return std::nullopt;
        }
        if (frame.m_Opcode == 9) {
            m_Pings.push_back(frame.m_Data);
            SendFrame(10, frame.m_Data);
        } else if (frame.m_Opcode == 8) {
            return frame;
        } else if (frame.m_Opcode != 10) {
            // A continuation keeps the opcode of the message's first frame.
            if (message.m_Frames++ == 0) message.m_Opcode = frame.m_Opcode;
            message.m_Data += frame.m_Data;
            message.m_Masked = message.m_Masked || frame.m_Masked;
            if (fin) return message;
        }
    }
}

bool TestClient::WaitClosed(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!m_Eof) {
        if (Left(deadline).count() <= 0) return false;
        m_In.clear();
        if (!ReadMore(Left(deadline)) && !m_Eof) return false;
    }
    return true;
}

bool ParseServiceMessage(const std::string &text, ServiceMessage &out) {
    out = ServiceMessage();
    size_t end = text.find("\r\n\r\n");
    if (end == std::string::npos) return false;
    for (size_t at = 0; at < end;) {
        size_t e = text.find("\r\n", at);
        std::string line = text.substr(at, e - at);
        at = e + 2;
        size_t colon = line.find(':');
        if (colon == std::string::npos) return false;
        std::string name = line.substr(0, colon), value = Trim(line.substr(colon + 1));
        if (strcasecmp(name.c_str(), "Path") == 0) out.m_Path = value;
        if (strcasecmp(name.c_str(), "X-RequestId") == 0) out.m_RequestId = value;
        if (strcasecmp(name.c_str(), "Content-Type") == 0) out.m_ContentType = value;
    }
    out.m_Body = text.substr(end + 4);
    return true;
}

std::string AudioMessage(const std::string &requestId, const std::string &payload) {
    std::string header =
        "Path:audio\r\nX-RequestId:" + requestId +
        "\r\nX-Timestamp:2024-05-01T13:45:07.000005\r\nContent-Type:audio/x-wav\r\n";
    return std::string(1, static_cast<char>(header.size() >> 8)) +
           static_cast<char>(header.size() & 0xff) + header + payload;
}

std::string TextMessage(const std::string &path, const std::string &requestId,
                        const std::string &body) {
    return "Path:" + path + "\r\n" +
           (requestId.empty() ? std::string() : "X-RequestId:" + requestId + "\r\n") +
           "X-Timestamp:2024-05-01T13:45:07.000005\r\nContent-Type:application/json; "
           "charset=utf-8\r\n\r\n" +
           body;
}

std::string NewRequestId() {
    static const char kHex[] = "0123456789ABCDEF";
    std::string id;
    for (int i = 0; i < 32; ++i) id += kHex[Rng()() % 16];
    return id;
}

}  // namespace KoralTest
