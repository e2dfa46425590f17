#include "sip_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <sstream>

#include "KoralTest/Poll.h"
#include "rtp_socket.h"

namespace KoralTest {

namespace {

std::string Lower(std::string text) {
    for (char &c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string Trim(const std::string &text) {
    size_t begin = text.find_first_not_of(" \t");
    size_t end = text.find_last_not_of(" \t\r");
    return begin == std::string::npos ? "" : text.substr(begin, end - begin + 1);
}

}  // namespace

std::string SipMessage::Header(const std::string &name) const {
    auto it = headers.find(Lower(name));
    return it == headers.end() ? "" : it->second;
}

std::string SipMessage::SdpAttribute(const std::string &name) const {
    const std::string key = "a=" + name + ":";
    size_t at = body.find(key);
    if (at == std::string::npos) return "";
    size_t end = body.find_first_of("\r\n", at);
    return body.substr(at + key.size(), end - at - key.size());
}

int SipMessage::SdpPort(const std::string &type) const {
    size_t at = body.find("m=" + type + " ");
    if (at == std::string::npos) return -1;
    return atoi(body.c_str() + at + 3 + type.size());
}

bool ParseSipMessage(const std::string &text, SipMessage *message) {
    *message = SipMessage();
    message->text = text;
    size_t head_end = text.find("\r\n\r\n");
    if (head_end == std::string::npos) return false;
    message->body = text.substr(head_end + 4);
    std::istringstream lines(text.substr(0, head_end));
    std::string line;
    std::getline(lines, line);
    message->start_line = Trim(line);
    if (message->start_line.compare(0, 8, "SIP/2.0 ") == 0)
        message->status = atoi(message->start_line.c_str() + 8);
    else
        message->method = message->start_line.substr(0, message->start_line.find(' '));
    while (std::getline(lines, line)) {
        size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string name = Lower(Trim(line.substr(0, colon)));
        if (!message->headers.count(name)) message->headers[name] = Trim(line.substr(colon + 1));
    }
    if (message->status) {
        std::string cseq = message->Header("CSeq");
        message->method = Trim(cseq.substr(cseq.find(' ') + 1));
    }
    return true;
}

int BindLoopbackUdp(unsigned *port) {
    vantor::UdpEndpoint loopback;
    if (!vantor::ResolveEndpoint("127.0.0.1", 0, &loopback)) return -1;
    const int fd = vantor::BindUdp(loopback);
    *port = fd >= 0 ? vantor::BoundPort(fd) : 0;
    return fd;
}

SipPeer::SipPeer(unsigned server_port) : server_port_(server_port) {
    fd_ = BindLoopbackUdp(&port_);
}

SipPeer::~SipPeer() {
    if (fd_ >= 0) close(fd_);
}

bool SipPeer::SendRaw(const std::string &text) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(server_port_));
    return sendto(fd_, text.data(), text.size(), 0, reinterpret_cast<sockaddr *>(&addr),
                  sizeof(addr)) == static_cast<ssize_t>(text.size());
}

std::string SipPeer::Request(const std::string &method, const std::string &call, unsigned cseq,
                             const std::string &branch, const std::string &body) {
    const std::string me = "127.0.0.1:" + std::to_string(port_);
    const std::string server = "sip:recognizer@127.0.0.1:" + std::to_string(server_port_);
    const Call &c = calls_[call];
    std::string text = method + " " + server + " SIP/2.0\r\n";
    text += "Via: SIP/2.0/UDP " + me + ";branch=" + branch + "\r\n";
    text += "From: <sip:peer@" + me + ">;tag=from-" + call + "\r\n";
    text += "To: <" + server + ">" + (c.to_tag.empty() ? "" : ";tag=" + c.to_tag) + "\r\n";
    text += "Call-ID: " + call + "@vantor-test\r\n";
    text += "CSeq: " + std::to_string(cseq) + " " + method + "\r\n";
    text += "Contact: <sip:peer@" + me + ">\r\n";
    text += "Max-Forwards: 70\r\n";
    if (!body.empty()) text += "Content-Type: application/sdp\r\n";
    text += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    return text;
}

bool SipPeer::Receive(SipMessage *message, int timeout_ms) {
    const auto deadline = DeadlineIn(timeout_ms);
    for (;;) {
        if (!WaitReadable(fd_, deadline)) return false;
        char buffer[65536];
        ssize_t n = recv(fd_, buffer, sizeof(buffer), 0);
        if (n <= 0) continue;
        if (ParseSipMessage(std::string(buffer, static_cast<size_t>(n)), message)) return true;
    }
}

bool SipPeer::WaitRequest(SipMessage *request, int timeout_ms) {
    for (;;) {
        if (!Receive(request, timeout_ms)) return false;
        if (request->status) continue;
        if (request->method == "BYE") {
            std::string ok = "SIP/2.0 200 OK\r\n";
            for (const char *h : {"Via", "From", "To", "Call-ID", "CSeq"})
                ok += std::string(h) + ": " + request->Header(h) + "\r\n";
            ok += "Content-Length: 0\r\n\r\n";
            SendRaw(ok);
        }
        return true;
    }
}

bool SipPeer::WaitResponse(const std::string &method, unsigned cseq, SipMessage *response,
                           int timeout_ms) {
    auto matches = [&](const SipMessage &m) {
        return m.status >= 200 && m.method == method &&
               static_cast<unsigned>(atoi(m.Header("CSeq").c_str())) == cseq;
    };
    for (auto it = stash_.begin(); it != stash_.end(); ++it)
        if (matches(*it)) {
            *response = *it;
            stash_.erase(it);
            return true;
        }
    const auto deadline = DeadlineIn(timeout_ms);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0 || !Receive(response, static_cast<int>(left))) return false;
        if (matches(*response)) return true;
        // Another final response is kept for a later wait.
        if (response->status >= 200) stash_.push_back(*response);
    }
}

bool SipPeer::SendInvite(const std::string &call, const std::string &sdp) {
    Call &c = calls_[call];
    c.cseq++;
    c.invite_branch = "z9hG4bK-" + call + "-" + std::to_string(++branch_);
    return SendRaw(Request("INVITE", call, c.cseq, c.invite_branch, sdp));
}

bool SipPeer::Invite(const std::string &call, const std::string &sdp, SipMessage *response,
                     int timeout_ms) {
    if (!SendInvite(call, sdp)) return false;
    Call &c = calls_[call];
    if (!WaitResponse("INVITE", c.cseq, response, timeout_ms)) return false;
    if (response->status >= 200 && response->status < 300 && c.to_tag.empty())
        Answered(call, *response);
    if (response->status >= 300) AckFailure(call, *response);
    return true;
}

void SipPeer::AckFailure(const std::string &call, const SipMessage &response) {
    Call &c = calls_[call];
    // Acknowledged in the INVITE's own transaction, with the response's To.
    std::string ack = Request("ACK", call, c.cseq, c.invite_branch, "");
    size_t line = ack.find("\r\nTo: ");
    size_t end = ack.find("\r\n", line + 2);
    ack.replace(line + 2, end - line - 2, "To: " + response.Header("To"));
    SendRaw(ack);
    if (c.to_tag.empty()) calls_.erase(call);
}

bool SipPeer::Ack(const std::string &call) {
    Call &c = calls_[call];
    return SendRaw(Request("ACK", call, c.cseq, "z9hG4bK-ack-" + std::to_string(++branch_), ""));
}

bool SipPeer::InviteAndCancel(const std::string &call, const std::string &sdp) {
    if (!SendInvite(call, sdp)) return false;
    const Call &c = calls_[call];
    return SendRaw(Request("CANCEL", call, c.cseq, c.invite_branch, ""));
}

bool SipPeer::WaitFinal(const std::string &call, const std::string &method, SipMessage *response,
                        int timeout_ms) {
    return WaitResponse(method, calls_[call].cseq, response, timeout_ms);
}

void SipPeer::Answered(const std::string &call, const SipMessage &response) {
    Call &c = calls_[call];
    const std::string to = response.Header("To");
    size_t tag = to.find(";tag=");
    if (tag != std::string::npos) c.to_tag = to.substr(tag + 5);
}

bool SipPeer::Bye(const std::string &call, SipMessage *response, int timeout_ms) {
    Call &c = calls_[call];
    c.cseq++;
    return SendRaw(Request("BYE", call, c.cseq, "z9hG4bK-bye-" + std::to_string(++branch_), "")) &&
           WaitResponse("BYE", c.cseq, response, timeout_ms);
}

bool SipPeer::Options(SipMessage *response, int timeout_ms) {
    const std::string n = std::to_string(++branch_);
    return SendRaw(Request("OPTIONS", "options-" + n, 1, "z9hG4bK-opt-" + n, "")) &&
           WaitResponse("OPTIONS", 1, response, timeout_ms);
}

std::string MrcpOffer(const std::string &connection, const std::string &audio_formats,
                      const std::string &rtpmaps, unsigned audio_port, unsigned mrcp_port) {
    return "v=0\r\n"
           "o=peer 1 1 IN IP4 127.0.0.1\r\n"
           "s=-\r\n"
           "c=IN IP4 127.0.0.1\r\n"
           "t=0 0\r\n"
           "m=application " +
           std::to_string(mrcp_port) +
           " TCP/MRCPv2 1\r\n"
           "a=setup:active\r\n"
           "a=connection:" +
           connection +
           "\r\n"
           "a=resource:speechrecog\r\n"
           "a=cmid:1\r\n"
           "m=audio " +
           std::to_string(audio_port) + " RTP/AVP " + audio_formats + "\r\n" + rtpmaps +
           "a=sendonly\r\n"
           "a=mid:1\r\n";
}

}  // namespace KoralTest
