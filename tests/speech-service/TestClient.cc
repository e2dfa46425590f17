#include "TestClient.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <cctype>
#include <random>

#include "KoralTest/WsFrame.h"

namespace KoralTest {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {

bool SameNoCase(const std::string &a, const std::string &b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

std::mt19937 &Rng() {
    static thread_local std::mt19937 rng{std::random_device{}()};
    return rng;
}

std::string Trim(const std::string &s) {
    size_t b = s.find_first_not_of(" \t"), e = s.find_last_not_of(" \t");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

}  // namespace

std::string HttpResponse::Header(const std::string &name) const {
    for (const auto &h : m_Headers) {
        if (SameNoCase(h.first, name)) return h.second;
    }
    return std::string();
}

uint16_t Message::CloseCode() const {
    if (m_Opcode != 8 || m_Data.size() < 2) return 0;
    return static_cast<uint16_t>(static_cast<unsigned char>(m_Data[0]) << 8 |
                                 static_cast<unsigned char>(m_Data[1]));
}

TestClient::TestClient(uint16_t port, std::string caFile)
    : m_Port(port), m_CaFile(std::move(caFile)) {}

TestClient::~TestClient() { Close(); }

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

bool TestClient::SendRaw(const std::string &bytes) { return Write(bytes); }

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
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    size_t end;
    while ((end = m_In.find("\r\n\r\n")) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= deadline ||
            !ReadMore(std::chrono::milliseconds(10000)))
            return response;
    }
    std::string head = m_In.substr(0, end);
    m_In.erase(0, end + 4);
    size_t lineEnd = head.find("\r\n");
    std::string status = head.substr(0, lineEnd);
    if (status.size() < 12 || status.compare(0, 5, "HTTP/") != 0) return response;
    response.m_Status = std::stoi(status.substr(9, 3));
    size_t at = lineEnd == std::string::npos ? head.size() : lineEnd + 2;
    while (at < head.size()) {
        size_t e = head.find("\r\n", at);
        std::string line = head.substr(at, e == std::string::npos ? std::string::npos : e - at);
        at = e == std::string::npos ? head.size() : e + 2;
        size_t colon = line.find(':');
        if (colon != std::string::npos)
            response.m_Headers.emplace_back(line.substr(0, colon), Trim(line.substr(colon + 1)));
    }
    std::string length = response.Header("Content-Length");
    size_t want = length.empty() ? 0 : std::stoul(length);
    while (m_In.size() < want) {
        if (!ReadMore(std::chrono::milliseconds(10000))) break;
    }
    response.m_Body = m_In.substr(0, want);
    m_In.erase(0, std::min(want, m_In.size()));
    return response;
}

HttpResponse TestClient::Upgrade(const std::string &target, const Headers &headers) {
    // Base64 of 16 random bytes.
    static const char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    unsigned char bytes[18] = {};
    for (int i = 0; i < 16; ++i) bytes[i] = static_cast<unsigned char>(Rng()());
    std::string key;
    for (int i = 0; i < 18; i += 3) {
        uint32_t v = static_cast<uint32_t>(bytes[i]) << 16 |
                     static_cast<uint32_t>(bytes[i + 1]) << 8 | bytes[i + 2];
        for (int k = 3; k >= 0; --k) key += kB64[(v >> (6 * k)) & 63];
    }
    key = key.substr(0, 22) + "==";
    std::string request =
        "GET " + target + " HTTP/1.1\r\nHost:127.0.0.1:" + std::to_string(m_Port) +
        "\r\nUpgrade:websocket\r\nConnection:upgrade\r\nSec-WebSocket-Key:" + key +
        "\r\nSec-WebSocket-Version:13\r\n";
    for (const auto &h : headers) request += h.first + ":" + h.second + "\r\n";
    request += "\r\n";
    return Exchange(request);
}

bool TestClient::SendFrame(int opcode, const std::string &payload, bool fin, bool masked) {
    if (!masked) return Write(KoralTest::WsFrameBytes(opcode, payload, fin));
    uint8_t key[4];
    for (uint8_t &k : key) k = static_cast<uint8_t>(Rng()());
    return Write(KoralTest::WsFrameBytes(opcode, payload, fin, key));
}

std::optional<Frame> TestClient::ReadFrame(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        if (m_In.size() >= 2) {
            const unsigned char *b = reinterpret_cast<const unsigned char *>(m_In.data());
            Frame f;
            f.m_Fin = (b[0] & 0x80) != 0;
            f.m_Opcode = b[0] & 0x0f;
            f.m_Masked = (b[1] & 0x80) != 0;
            uint64_t len = b[1] & 0x7f;
            size_t head = 2;
            if (len == 126 && m_In.size() >= 4) {
                len = static_cast<uint64_t>(b[2]) << 8 | b[3];
                head = 4;
            } else if (len == 127 && m_In.size() >= 10) {
                len = 0;
                for (int i = 0; i < 8; ++i) len = len << 8 | b[2 + i];
                head = 10;
            } else if (len >= 126) {
                head = SIZE_MAX;
            }
            if (head != SIZE_MAX) {
                size_t keyAt = head;
                if (f.m_Masked) head += 4;
                if (m_In.size() >= head + len) {
                    f.m_Payload = m_In.substr(head, len);
                    if (f.m_Masked) {
                        for (size_t i = 0; i < f.m_Payload.size(); ++i)
                            f.m_Payload[i] =
                                static_cast<char>(f.m_Payload[i] ^ m_In[keyAt + i % 4]);
                    }
                    m_In.erase(0, head + len);
                    return f;
                }
            }
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !ReadMore(left)) return std::nullopt;
    }
}

std::optional<Message> TestClient::ReadMessage(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    std::optional<Message> partial;
    while (true) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        std::optional<Frame> f = ReadFrame(left);
        if (!f) return std::nullopt;
        if (f->m_Opcode == 9) {
            ++m_Pings;
            m_LastPing = f->m_Payload;
            SendFrame(10, f->m_Payload);
            continue;
        }
        if (f->m_Opcode == 10) continue;
        if (f->m_Opcode == 8) {
            Message m;
            m.m_Opcode = 8;
            m.m_Data = f->m_Payload;
            return m;
        }
        if (f->m_Opcode == 0 && partial) {
            partial->m_Data += f->m_Payload;
            ++partial->m_Frames;
            partial->m_Masked = partial->m_Masked || f->m_Masked;
        } else {
            partial = Message();
            partial->m_Opcode = f->m_Opcode;
            partial->m_Data = f->m_Payload;
            partial->m_Masked = f->m_Masked;
        }
        if (f->m_Fin) return partial;
    }
}

bool TestClient::WaitClosed(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!m_Eof) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        m_In.clear();
        if (!ReadMore(left) && !m_Eof) return false;
    }
    return true;
}

bool ParseServiceMessage(const std::string &text, ServiceMessage &out) {
    out = ServiceMessage();
    size_t end = text.find("\r\n\r\n");
    if (end == std::string::npos) return false;
    size_t at = 0;
    while (at < end) {
        size_t e = text.find("\r\n", at);
        std::string line = text.substr(at, e - at);
        at = e + 2;
        size_t colon = line.find(':');
        if (colon == std::string::npos) return false;
        std::string name = line.substr(0, colon), value = Trim(line.substr(colon + 1));
        out.m_Headers.emplace_back(name, value);
        if (SameNoCase(name, "Path")) out.m_Path = value;
        if (SameNoCase(name, "X-RequestId")) out.m_RequestId = value;
        if (SameNoCase(name, "Content-Type")) out.m_ContentType = value;
    }
    out.m_Body = text.substr(end + 4);
    return true;
}

std::string AudioMessage(const std::string &requestId, const std::string &payload) {
    std::string header =
        "Path:audio\r\nX-RequestId:" + requestId +
        "\r\nX-Timestamp:2024-05-01T13:45:07.000005\r\nContent-Type:audio/x-wav\r\n";
    std::string message;
    message += static_cast<char>(header.size() >> 8);
    message += static_cast<char>(header.size() & 0xff);
    return message + header + payload;
}

std::string TextMessage(const std::string &path, const std::string &requestId,
                        const std::string &body) {
    std::string text = "Path:" + path + "\r\n";
    if (!requestId.empty()) text += "X-RequestId:" + requestId + "\r\n";
    text +=
        "X-Timestamp:2024-05-01T13:45:07.000005\r\nContent-Type:application/json; "
        "charset=utf-8\r\n\r\n";
    return text + body;
}

std::string NewRequestId() {
    static const char kHex[] = "0123456789ABCDEF";
    std::string id;
    for (int i = 0; i < 32; ++i) id += kHex[Rng()() % 16];
    return id;
}

}  // namespace KoralTest
