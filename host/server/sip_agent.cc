#include "sip_agent.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sofia-sip/nua_tag.h>
#include <sofia-sip/sip_protos.h>
#include <sofia-sip/sip_status.h>
#include <sofia-sip/su_tag_io.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "apt_log.h"

namespace vantor {

namespace {

// A port that both a UDP and a TCP socket can bind on address now: the stack
// binds each transport on one port, which it cannot choose by itself.
unsigned FreeSipPort(const std::string &address, bool udp, bool tcp) {
    in_addr in{};
    if (inet_pton(AF_INET, address.c_str(), &in) != 1) return 0;
    for (int attempt = 0; attempt < 50; ++attempt) {
        int first = ::socket(AF_INET, (tcp ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr = in;
        socklen_t len = sizeof(addr);
        if (first < 0) return 0;
        if (::bind(first, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 ||
            getsockname(first, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
            ::close(first);
            return 0;
        }
        bool ok = true;
        if (udp && tcp) {
            int second = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            ok = second >= 0 &&
                 ::bind(second, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0;
            if (second >= 0) ::close(second);
        }
        ::close(first);
        if (ok) return ntohs(addr.sin_port);
    }
    return 0;
}

}  // namespace

SipAgent::SipAgent(su_root_t *root, SipAgentHandler *handler) : root_(root), handler_(handler) {}

SipAgent::~SipAgent() {
    if (!nua_) return;
    // The stack is destroyed only once shut down: give it a bounded time.
    if (!shutdown_done_) {
        if (!shutdown_sent_) {
            shutdown_sent_ = true;
            nua_shutdown(nua_);
        }
        for (int i = 0; i < 100 && !shutdown_done_; ++i) su_root_step(root_, 50);
    }
    if (shutdown_done_)
        nua_destroy(nua_);
    else
        apt_log(nullptr, APT_LOG_MARK, APT_PRIO_WARNING, "SIP Stack Left Undestroyed: no shutdown");
}

bool SipAgent::Start(const std::string &address, unsigned port, bool udp, bool tcp,
                     std::string *error) {
    if (port == 0) port = FreeSipPort(address, udp, tcp);
    if (port == 0) {
        *error = "no free SIP port on " + address;
        return false;
    }
    std::string url = "sip:" + address + ":" + std::to_string(port);
    if (udp != tcp) url += udp ? ";transport=udp" : ";transport=tcp";
    nua_ = nua_create(root_, OnEvent, this, NUTAG_URL(url.c_str()), NUTAG_MEDIA_ENABLE(0),
                      NUTAG_AUTOANSWER(0), NUTAG_ENABLEINVITE(1),
                      SIPTAG_USER_AGENT_STR("vantor-server"), TAG_END());
    if (!nua_) {
        *error = "cannot listen for SIP on " + url;
        return false;
    }
    // Requests are answered with an Allow that names what the server takes.
    nua_set_params(nua_, NUTAG_ALLOW("INVITE, ACK, BYE, CANCEL, OPTIONS"), TAG_END());
    port_ = port;
    apt_log(nullptr, APT_LOG_MARK, APT_PRIO_NOTICE, "SIP Agent %s", url.c_str());
    return true;
}

void SipAgent::OnEvent(nua_event_t event, int status, char const *phrase, nua_t *,
                       nua_magic_t *magic, nua_handle_t *nh, nua_hmagic_t *, sip_t const *sip,
                       tagi_t tags[]) {
    static_cast<SipAgent *>(magic)->Handle(event, status, phrase, nh, sip, tags);
}

void SipAgent::Handle(nua_event_t event, int status, const char *phrase, nua_handle_t *nh,
                      const sip_t *sip, tagi_t tags[]) {
    switch (event) {
        case nua_i_invite:
            OnInvite(nh, sip);
            break;
        case nua_i_state: {
            int state = nua_callstate_init;
            tl_gets(tags, NUTAG_CALLSTATE_REF(state), TAG_END());
            if (state == nua_callstate_terminated) Ended(nh, "call terminated");
            break;
        }
        case nua_i_bye:
            apt_log(nullptr, APT_LOG_MARK, APT_PRIO_INFO, "SIP BYE Received");
            break;
        case nua_i_cancel:
            apt_log(nullptr, APT_LOG_MARK, APT_PRIO_INFO, "SIP CANCEL Received");
            break;
        case nua_r_bye:
            if (status >= 200)
                apt_log(nullptr, APT_LOG_MARK, APT_PRIO_INFO, "SIP BYE Answered %d %s", status,
                        phrase ? phrase : "");
            break;
        case nua_r_shutdown:
            if (status >= 200) {
                if (status >= 300)
                    apt_log(nullptr, APT_LOG_MARK, APT_PRIO_WARNING, "SIP Shutdown: %d %s", status,
                            phrase ? phrase : "");
                shutdown_done_ = true;
                if (shutting_down_) handler_->OnShutdownDone();
            }
            break;
        case nua_i_error:
            apt_log(nullptr, APT_LOG_MARK, APT_PRIO_WARNING, "SIP Error %d %s", status,
                    phrase ? phrase : "");
            break;
        default:
            break;
    }
}

void SipAgent::OnInvite(nua_handle_t *nh, const sip_t *sip) {
    const bool in_dialog = dialogs_.count(nh) > 0;
    // A new INVITE's handle is ours until its call state ends.
    if (!in_dialog) pending_.insert(nh);
    SipReply reply;
    if (shutting_down_) {
        reply.status = 503;
        reply.retry_after_s = 5;
        apt_log(nullptr, APT_LOG_MARK, APT_PRIO_WARNING, "SIP INVITE Refused 503: shutting down");
    } else if (!sip || !sip->sip_payload || !sip->sip_payload->pl_data ||
               (sip->sip_content_type &&
                strcasecmp(sip->sip_content_type->c_type, "application/sdp") != 0)) {
        reply.status = 488;
        apt_log(nullptr, APT_LOG_MARK, APT_PRIO_WARNING,
                "SIP INVITE Refused 488: no SDP offer in the request");
    } else {
        reply = handler_->OnOffer(nh, in_dialog,
                                  std::string(sip->sip_payload->pl_data, sip->sip_payload->pl_len));
    }
    // Status 0: answered once the channels are open (the stack has sent 100
    // Trying); the loop serves others meanwhile.
    if (reply.status != 0) Answer(nh, reply);
}

void SipAgent::Answer(nua_handle_t *nh, const SipReply &reply) {
    const bool pending = pending_.count(nh) > 0;
    if (!pending && dialogs_.count(nh) == 0) return;
    const std::string retry = std::to_string(reply.retry_after_s);
    if (reply.status >= 200 && reply.status < 300) {
        nua_respond(nh, reply.status, sip_status_phrase(reply.status),
                    SIPTAG_CONTENT_TYPE_STR("application/sdp"),
                    SIPTAG_PAYLOAD_STR(reply.sdp.c_str()), TAG_END());
        pending_.erase(nh);
        dialogs_.insert(nh);
    } else {
        nua_respond(nh, reply.status, sip_status_phrase(reply.status),
                    TAG_IF(reply.retry_after_s > 0, SIPTAG_RETRY_AFTER_STR(retry.c_str())),
                    TAG_END());
    }
}

void SipAgent::Ended(nua_handle_t *nh, const std::string &why) {
    const bool known = dialogs_.erase(nh) > 0;
    const bool pending = pending_.erase(nh) > 0;
    if (!known && !pending) return;
    handler_->OnDialogEnded(nh, why);
    nua_handle_destroy(nh);
    if (shutting_down_ && dialogs_.empty() && !shutdown_sent_) {
        shutdown_sent_ = true;
        nua_shutdown(nua_);
    }
}

void SipAgent::Bye(nua_handle_t *handle) {
    if (dialogs_.count(handle)) nua_bye(handle, TAG_END());
}

void SipAgent::Shutdown() {
    if (shutting_down_ || !nua_) return;
    shutting_down_ = true;
    if (dialogs_.empty()) {
        shutdown_sent_ = true;
        nua_shutdown(nua_);
        return;
    }
    for (nua_handle_t *nh : std::set<nua_handle_t *>(dialogs_)) nua_bye(nh, TAG_END());
}

}  // namespace vantor
