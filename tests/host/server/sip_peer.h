// A bare SIP user agent over UDP for the tests: builds INVITE, ACK, BYE and
// OPTIONS by hand, so that a test controls every byte and sees every answer,
// and answers the server's own BYE. One dialog per Call-ID.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace KoralTest {

struct SipMessage {
    std::string start_line;
    int status = 0;                              // responses
    std::string method;                          // requests; CSeq method of responses
    std::map<std::string, std::string> headers;  // lower-case names, first value
    std::string body;
    std::string text;

    std::string Header(const std::string &name) const;
    // The value of "a=NAME:" in the body ("" when missing).
    std::string SdpAttribute(const std::string &name) const;
    // The port of the body's first "m=TYPE" line (-1 when missing).
    int SdpPort(const std::string &type) const;
};

class SipPeer {
  public:
    explicit SipPeer(unsigned server_port);
    ~SipPeer();
    SipPeer(const SipPeer &) = delete;
    SipPeer &operator=(const SipPeer &) = delete;

    bool ok() const { return fd_ >= 0; }
    unsigned port() const { return port_; }

    // Sends an INVITE (a re-INVITE when the call has a dialog) with body as
    // application/sdp (none when empty), then returns its final response
    // (provisional ones skipped) in *response; false after timeout_ms.
    bool Invite(const std::string &call, const std::string &sdp, SipMessage *response,
                int timeout_ms = 10000);
    // Sends the INVITE alone: WaitFinal takes its answer.
    bool SendInvite(const std::string &call, const std::string &sdp);
    // ACK for the 2xx of the call's last INVITE.
    bool Ack(const std::string &call);
    // Sends an INVITE and at once its CANCEL, before any answer can arrive.
    bool InviteAndCancel(const std::string &call, const std::string &sdp);
    // The next final response to method with the call's current CSeq.
    bool WaitFinal(const std::string &call, const std::string &method, SipMessage *response,
                   int timeout_ms = 10000);
    // ACK for a failed INVITE of the call.
    void AckFailure(const std::string &call, const SipMessage &response);
    // Notes the To tag of a 2xx so that ACK and BYE name the dialog.
    void Answered(const std::string &call, const SipMessage &response);
    bool Bye(const std::string &call, SipMessage *response, int timeout_ms = 10000);
    bool Options(SipMessage *response, int timeout_ms = 10000);
    // Sends raw text as is.
    bool SendRaw(const std::string &text);
    // The next request from the server (answered 200 when it is a BYE); false after timeout_ms.
    bool WaitRequest(SipMessage *request, int timeout_ms);
    // The next final response to method with the given CSeq number.
    bool WaitResponse(const std::string &method, unsigned cseq, SipMessage *response,
                      int timeout_ms);

  private:
    struct Call {
        unsigned cseq = 0;
        std::string to_tag;
        std::string invite_branch;
    };
    std::string Request(const std::string &method, const std::string &call, unsigned cseq,
                        const std::string &branch, const std::string &body);
    bool Receive(SipMessage *message, int timeout_ms);

    int fd_ = -1;
    unsigned port_ = 0;
    unsigned server_port_;
    unsigned branch_ = 0;
    std::map<std::string, Call> calls_;
    std::vector<SipMessage> stash_;  // final responses no wait has taken yet
};

bool ParseSipMessage(const std::string &text, SipMessage *message);

// A non-blocking UDP socket bound to 127.0.0.1 on a port the system picks
// (*port); -1 on failure.
int BindLoopbackUdp(unsigned *port);

// An offer with one MRCP speechrecog line and one audio line offering the
// given payload lines (e.g. "0 101" with their rtpmaps).
std::string MrcpOffer(const std::string &connection, const std::string &audio_formats,
                      const std::string &rtpmaps, unsigned audio_port = 40000,
                      unsigned mrcp_port = 9);

}  // namespace KoralTest
