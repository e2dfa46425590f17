#include "mrcp_test_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>
#include <vector>

#include "KoralTest/Poll.h"

namespace KoralTest {

std::string MrcpReply::Header(const std::string &name) const {
    const std::string key = "\r\n" + name + ":";
    size_t at = text.find(key);
    if (at == std::string::npos) return "";
    size_t end = text.find("\r\n", at + key.size());
    std::string value = text.substr(at + key.size(), end - at - key.size());
    size_t begin = value.find_first_not_of(' ');
    return begin == std::string::npos ? "" : value.substr(begin);
}

std::string MrcpReply::Token(size_t index) const {
    std::istringstream line(start_line);
    std::string token;
    for (size_t i = 0; i <= index; ++i)
        if (!(line >> token)) return "";
    return token;
}

std::string MrcpRequest(const std::string &method, uint32_t id, const std::string &channel,
                        const std::string &headers, const std::string &body) {
    std::string rest = " " + method + " " + std::to_string(id) + "\r\n";
    if (!channel.empty()) rest += "Channel-Identifier:" + channel + "\r\n";
    rest += headers;
    if (!body.empty()) rest += "Content-Length:" + std::to_string(body.size()) + "\r\n";
    rest += "\r\n" + body;
    for (size_t length = rest.size() + 10;;) {
        std::string text = "MRCP/2.0 " + std::to_string(length) + rest;
        if (text.size() == length) return text;
        length = text.size();
    }
}

MrcpTestClient::MrcpTestClient(unsigned port) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
        close(fd_);
        fd_ = -1;
    }
}

MrcpTestClient::~MrcpTestClient() {
    if (fd_ >= 0) close(fd_);
}

bool MrcpTestClient::Send(const std::string &text) {
    size_t sent = 0;
    while (sent < text.size()) {
        ssize_t n = send(fd_, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

bool MrcpTestClient::SendRequest(const std::string &method, uint32_t id, const std::string &channel,
                                 const std::string &headers, const std::string &body) {
    return Send(MrcpRequest(method, id, channel, headers, body));
}

bool MrcpTestClient::Receive(MrcpReply *reply, int timeout_ms) {
    const auto deadline = DeadlineIn(timeout_ms);
    for (;;) {
        std::string message, error;
        if (reader_.Next(&message, &error) == vantor::MrcpStreamReader::Result::kMessage) {
            reply->text = message;
            reply->start_line = message.substr(0, message.find("\r\n"));
            return true;
        }
        if (reader_.failed() || !WaitReadable(fd_, deadline)) return false;
        char buffer[16384];
        ssize_t n = recv(fd_, buffer, sizeof(buffer), 0);
        if (n <= 0) return false;
        reader_.Feed(buffer, static_cast<size_t>(n));
    }
}

bool MrcpTestClient::WaitClosed(int timeout_ms) {
    const auto deadline = DeadlineIn(timeout_ms);
    for (;;) {
        if (!WaitReadable(fd_, deadline)) return false;
        char buffer[4096];
        ssize_t n = recv(fd_, buffer, sizeof(buffer), 0);
        if (n == 0 || (n < 0 && errno == ECONNRESET)) return true;
        // Bytes before the close (an error response) are passed over.
    }
}

}  // namespace KoralTest
