// A small, strict client for the speech service's tests: raw HTTP requests
// (token endpoint, upgrade) and WebSocket frames read and written byte by
// byte over TCP or TLS (verifying the service's certificate against the test
// CA), so that tests see exactly what the service puts on the wire. Every
// read has a timeout.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace KoralTest {

using Headers = std::vector<std::pair<std::string, std::string>>;

struct HttpResponse {
    int m_Status = 0;  // 0: no response (connection closed or reset)
    Headers m_Headers;
    std::string m_Body;
    std::string Header(const std::string &name) const;
};

// A whole message as a client sees it.
struct Message {
    int m_Opcode = 0;  // 1 text, 2 binary, 8 close
    std::string m_Data;
    int m_Frames = 1;
    bool m_Masked = false;  // any of its frames
    uint16_t CloseCode() const;
};

class TestClient {
  public:
    // `caFile` empty: plain TCP.
    TestClient(uint16_t port, std::string caFile) : m_Port(port), m_CaFile(std::move(caFile)) {}
    ~TestClient() { Close(); }

    bool Open(std::string *error = nullptr);
    // Sends `request` as is and reads one response (Content-Length body).
    HttpResponse Exchange(const std::string &request);
    // Sends an upgrade request for `target` with the usual WebSocket headers
    // plus `headers`, and reads the response. Frames may follow on success.
    HttpResponse Upgrade(const std::string &target, const Headers &headers);

    // Client frames (masked with a fresh key unless `masked` is false).
    bool SendFrame(int opcode, const std::string &payload, bool fin = true, bool masked = true);
    bool SendText(const std::string &text) { return SendFrame(1, text); }
    bool SendBinary(const std::string &data) { return SendFrame(2, data); }
    // Reassembles fragments; pings are answered and kept in Pings(), not returned.
    std::optional<Message> ReadMessage(
        std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
    const std::vector<std::string> &Pings() const { return m_Pings; }
    // True when the peer closed the TCP connection (end of stream or reset)
    // within the timeout, discarding anything still arriving.
    bool WaitClosed(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
    void Close();

  private:
    bool Write(const std::string &bytes);
    // Appends what arrives within `timeout` to m_In; false on timeout or end.
    bool ReadMore(std::chrono::milliseconds timeout);
    // Takes one whole frame off m_In (unmasked, whatever its length).
    bool TakeFrame(Message &frame, bool &fin);

    uint16_t m_Port;
    std::string m_CaFile;
    boost::asio::io_context m_Io;
    std::unique_ptr<boost::asio::ssl::context> m_Ctx;
    std::unique_ptr<boost::asio::ssl::stream<boost::asio::ip::tcp::socket>> m_Tls;
    std::unique_ptr<boost::asio::ip::tcp::socket> m_Plain;
    std::string m_In;
    bool m_Eof = false;
    std::vector<std::string> m_Pings;
};

// Helpers for the service's text messages.
struct ServiceMessage {
    std::string m_Path;
    std::string m_RequestId;
    std::string m_ContentType;
    std::string m_Body;
};
bool ParseServiceMessage(const std::string &text, ServiceMessage &out);

// A client audio message: 2-byte header length, header lines, payload.
std::string AudioMessage(const std::string &requestId, const std::string &payload);
// A client text message (speech.config, telemetry).
std::string TextMessage(const std::string &path, const std::string &requestId,
                        const std::string &body);
std::string NewRequestId();

}  // namespace KoralTest
