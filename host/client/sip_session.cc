#include "sip_session.h"

#include <sofia-sip/nua.h>
#include <sofia-sip/sip_status.h>
#include <sofia-sip/su.h>
#include <sofia-sip/su_log.h>

#include <chrono>
#include <cstdio>

#include "apt_log.h"

namespace vantor {

namespace {
// sofia-sip's own log lines go to the host log at debug priority.
void SofiaLog(void *, char const *format, va_list args) {
    char line[1024];
    vsnprintf(line, sizeof(line), format, args);
    apt_log(nullptr, APT_LOG_MARK, APT_PRIO_DEBUG, "sofia-sip: %s", line);
}
}  // namespace

struct SipSession::State {
    su_home_t home[1] = {SU_HOME_INIT(home)};
    su_root_t *root = nullptr;
    nua_t *nua = nullptr;
    nua_handle_t *handle = nullptr;
    bool initialized = false;

    // Set by the callback.
    int invite_status = 0;  // final status of the INVITE, 0 while waiting
    std::string invite_phrase;
    std::string answer;
    int bye_status = 0;
    bool established = false;
    bool ended = false;
    bool shut_down = false;

    static void Callback(nua_event_t event, int status, char const *phrase, nua_t *nua,
                         nua_magic_t *magic, nua_handle_t *nh, nua_hmagic_t *hmagic,
                         sip_t const *sip, tagi_t tags[]);
    // Runs the loop until done() or timeout; false on timeout.
    template <typename Done>
    bool Until(Done done, long timeout_ms) {
        const auto give_up =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (!done()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  give_up - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0) return false;
            su_root_step(root, left > 100 ? 100 : left);
        }
        return true;
    }
};

void SipSession::State::Callback(nua_event_t event, int status, char const *phrase, nua_t *,
                                 nua_magic_t *magic, nua_handle_t *, nua_hmagic_t *,
                                 sip_t const *sip, tagi_t[]) {
    auto *s = reinterpret_cast<State *>(magic);
    switch (event) {
        case nua_r_invite:
            if (status < 200) break;
            s->invite_status = status;
            s->invite_phrase = phrase ? phrase : "";
            if (status < 300) {
                s->established = true;
                if (sip && sip->sip_payload && sip->sip_payload->pl_data)
                    s->answer.assign(sip->sip_payload->pl_data, sip->sip_payload->pl_len);
            }
            break;
        case nua_i_bye:
            apt_log(nullptr, APT_LOG_MARK, APT_PRIO_NOTICE, "SIP dialog ended by the server");
            s->ended = true;
            break;
        case nua_r_bye:
            if (status >= 200) s->bye_status = status;
            break;
        case nua_r_shutdown:
            if (status >= 200) s->shut_down = true;
            break;
        default:
            break;
    }
}

SipSession::SipSession() : state_(std::make_unique<State>()) {}

SipSession::~SipSession() {
    State &s = *state_;
    if (s.nua) {
        if (s.handle) nua_handle_destroy(s.handle);
        nua_shutdown(s.nua);
        s.Until([&] { return s.shut_down; }, 2000);
        nua_destroy(s.nua);
    }
    if (s.root) su_root_destroy(s.root);
    su_home_deinit(s.home);
    if (s.initialized) su_deinit();
}

bool SipSession::Open(const std::string &local_address, std::string *error) {
    State &s = *state_;
    if (su_init() != 0) {
        *error = "cannot initialise sofia-sip";
        return false;
    }
    s.initialized = true;
    su_log_redirect(nullptr, SofiaLog, nullptr);
    s.root = su_root_create(nullptr);
    if (!s.root) {
        *error = "cannot create the SIP event loop";
        return false;
    }
    const std::string host =
        local_address.find(':') == std::string::npos ? local_address : "[" + local_address + "]";
    const std::string url = "sip:" + host + ":*";
    s.nua = nua_create(s.root, &State::Callback, reinterpret_cast<nua_magic_t *>(&s),
                       NUTAG_URL(url.c_str()), NUTAG_MEDIA_ENABLE(0), TAG_END());
    if (!s.nua) {
        *error = "cannot start the SIP user agent on " + local_address;
        return false;
    }
    return true;
}

bool SipSession::Invite(const std::string &uri, const std::string &offer, long timeout_ms,
                        std::string *answer, std::string *error) {
    State &s = *state_;
    s.handle = nua_handle(s.nua, nullptr, SIPTAG_TO_STR(uri.c_str()), TAG_END());
    if (!s.handle) {
        *error = "cannot create a SIP dialog to " + uri;
        return false;
    }
    nua_invite(s.handle, SIPTAG_CONTENT_TYPE_STR("application/sdp"),
               SIPTAG_PAYLOAD_STR(offer.c_str()), TAG_END());
    if (!s.Until([&] { return s.invite_status != 0; }, timeout_ms)) {
        *error = "no final answer to the INVITE within " + std::to_string(timeout_ms) + " ms";
        return false;
    }
    if (s.invite_status >= 300) {
        *error = "INVITE answered " + std::to_string(s.invite_status) + " " + s.invite_phrase;
        return false;
    }
    *answer = s.answer;
    return true;
}

void SipSession::Step(long ms) { su_root_step(state_->root, ms); }

bool SipSession::ended() const { return state_->ended; }

bool SipSession::Bye(long timeout_ms, std::string *error) {
    State &s = *state_;
    if (!s.established || s.ended) return true;
    nua_bye(s.handle, TAG_END());
    if (!s.Until([&] { return s.bye_status != 0; }, timeout_ms)) {
        *error = "no answer to the BYE within " + std::to_string(timeout_ms) + " ms";
        return false;
    }
    s.ended = true;
    if (s.bye_status >= 300) {
        *error = "BYE answered " + std::to_string(s.bye_status);
        return false;
    }
    return true;
}

}  // namespace vantor
