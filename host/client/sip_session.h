// The client's SIP dialog (RFC 3261) through sofia-sip's NUA user agent: one
// INVITE carrying the SDP offer, its answer, and the BYE. Single-threaded:
// sofia-sip's work happens inside the calls here and Step, on the caller's
// thread, so the client services SIP between its MRCP reads.
#pragma once

#include <memory>
#include <string>

namespace vantor {

class SipSession {
  public:
    SipSession();
    ~SipSession();
    SipSession(const SipSession &) = delete;
    SipSession &operator=(const SipSession &) = delete;

    // Starts the user agent on local_address (numeric), any free port.
    bool Open(const std::string &local_address, std::string *error);
    // Sends the offer to uri (sip:HOST:PORT) and waits for the final answer:
    // true with the answer's SDP on 2xx, else false with the status in *error.
    bool Invite(const std::string &uri, const std::string &offer, long timeout_ms,
                std::string *answer, std::string *error);
    // Lets SIP run for up to ms (0: only what is ready).
    void Step(long ms);
    // The server ended the dialog (its BYE).
    bool ended() const;
    // Ends the dialog (when still up) and waits for the answer.
    bool Bye(long timeout_ms, std::string *error);

    struct State;

  private:
    std::unique_ptr<State> state_;
};

}  // namespace vantor
