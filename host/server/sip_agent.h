// SIP for the server (sofia-sip's NUA, on the loop's thread): listens on UDP
// and/or TCP, hands each INVITE's SDP offer (and each re-INVITE's) to the
// handler and answers with what it decides (at once, or later through
// Answer while the loop serves others), tells when a dialog ends (BYE,
// CANCEL, ACK timeout, our own BYE), and sends BYE to every dialog at
// shutdown. OPTIONS, CANCEL and requests for unknown dialogs (481) are
// answered by the stack itself.
#pragma once

#include <sofia-sip/nua.h>
#include <sofia-sip/su_wait.h>

#include <set>
#include <string>

namespace vantor {

struct SipReply {
    int status = 500;            // answered with the standard reason phrase; 0: later, by Answer
    std::string sdp;             // with a 2xx
    unsigned retry_after_s = 0;  // with a 503
};

class SipAgentHandler {
  public:
    virtual ~SipAgentHandler() = default;
    // An offer of a new dialog (in_dialog false) or of a re-INVITE.
    virtual SipReply OnOffer(nua_handle_t *handle, bool in_dialog, const std::string &sdp) = 0;
    // The dialog is over; its handle is destroyed after this returns.
    virtual void OnDialogEnded(nua_handle_t *handle, const std::string &why) = 0;
    // Shutdown finished (every BYE answered, or given up).
    virtual void OnShutdownDone() = 0;
};

class SipAgent {
  public:
    SipAgent(su_root_t *root, SipAgentHandler *handler);
    ~SipAgent();
    SipAgent(const SipAgent &) = delete;
    SipAgent &operator=(const SipAgent &) = delete;

    // Listens on address:port (0: a port free for both transports). False with a reason.
    bool Start(const std::string &address, unsigned port, bool udp, bool tcp, std::string *error);
    unsigned port() const { return port_; }
    // The final answer to an offer the handler answered later (status 0);
    // nothing when its INVITE has ended meanwhile (CANCEL, BYE).
    void Answer(nua_handle_t *handle, const SipReply &reply);
    // Sends BYE to the dialog; OnDialogEnded follows.
    void Bye(nua_handle_t *handle);
    // BYE to every dialog, then the stack's shutdown; OnShutdownDone follows.
    void Shutdown();
    size_t dialog_count() const { return dialogs_.size(); }

  private:
    static void OnEvent(nua_event_t event, int status, char const *phrase, nua_t *nua,
                        nua_magic_t *magic, nua_handle_t *nh, nua_hmagic_t *hmagic,
                        sip_t const *sip, tagi_t tags[]);
    void Handle(nua_event_t event, int status, const char *phrase, nua_handle_t *nh,
                const sip_t *sip, tagi_t tags[]);
    void OnInvite(nua_handle_t *nh, const sip_t *sip);
    void Ended(nua_handle_t *nh, const std::string &why);

    su_root_t *root_;
    SipAgentHandler *handler_;
    nua_t *nua_ = nullptr;
    unsigned port_ = 0;
    bool shutting_down_ = false;
    bool shutdown_sent_ = false;
    bool shutdown_done_ = false;
    std::set<nua_handle_t *> dialogs_;  // answered 2xx and not ended
    std::set<nua_handle_t *> pending_;  // INVITE being answered or refused
};

}  // namespace vantor
