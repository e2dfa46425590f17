// vantor-server's core: SIP offers become host channels, MRCP requests reach
// them by Channel-Identifier, and the plugin's responses and events go back on
// the connection each channel is bound to.
//
// Threads: everything runs on the loop thread (sofia-sip's su_root) except
// PostPluginMessage, which the plugin's threads call through the engine
// host's message handler: it queues the message and wakes the loop through an
// eventfd, and so do the plugin's answers to channel open and close: the loop
// never waits for the plugin. An INVITE is answered once its channels' opens
// are; a channel whose dialog ended while it opened is closed once open.
#pragma once

#include <sofia-sip/su_wait.h>

#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "engine_host.h"
#include "mrcp_listener.h"
#include "pending_answers.h"
#include "server_config.h"
#include "session_table.h"
#include "sip_agent.h"

namespace vantor {

class Server : private SipAgentHandler, private MrcpConnectionHandler {
  public:
    Server(su_root_t *root, const ServerConfig &config, EngineHost *host);
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // Listens for SIP and MRCP and for SIGINT/SIGTERM (which the caller has
    // blocked in every thread). False with a reason.
    bool Start(std::string *error);
    unsigned sip_port() const { return sip_.port(); }
    unsigned mrcp_port() const { return listener_.port(); }
    // BYE to every dialog (503 to an INVITE still opening), every channel
    // closed; the loop breaks when SIP is done.
    void Stop(const std::string &why);
    // After the loop: closes whatever is left, waiting (within the answer
    // time) for the plugin's answers still due.
    void Finish();

    // Any thread: a message the plugin sent on a channel.
    void PostPluginMessage(const MessageRecord &record);
    // Any thread: the plugin answered the open or close of the channel.
    void PostChannelAnswer(HostChannel *channel);

  private:
    SipReply OnOffer(nua_handle_t *handle, bool in_dialog, const std::string &sdp) override;
    void OnDialogEnded(nua_handle_t *handle, const std::string &why) override;
    void OnShutdownDone() override;
    void OnMrcpMessage(MrcpConnection *connection, const std::string &message) override;
    void OnMrcpClosed(MrcpConnection *connection) override;

    static int OnWake(su_root_magic_t *magic, su_wait_t *wait, su_wakeup_arg_t *arg);
    static int OnSignal(su_root_magic_t *magic, su_wait_t *wait, su_wakeup_arg_t *arg);
    static void OnStopTimeout(su_root_magic_t *magic, su_timer_t *timer, su_timer_arg_t *arg);
    static void OnAnswerTimeout(su_root_magic_t *magic, su_timer_t *timer, su_timer_arg_t *arg);
    void DeliverPluginMessages();
    void CollectAnswers();
    void Settle(HostChannel *channel);
    bool OpenChannel(Dialog *dialog, const SdpOffer &offer, size_t line, SipReply *refusal);
    void Opened(HostChannel *channel);
    void CloseChannel(Dialog *dialog, ServerChannel *channel);
    void CloseDialog(Dialog *dialog);
    void Expect(HostChannel *host, Dialog *dialog, bool closing);
    void ArmAnswerTimer();
    SipReply AnswerOffer(Dialog *dialog);
    void OfferDone(Dialog *dialog);
    void Refuse(MrcpConnection *connection, uint32_t request_id, int status,
                const std::string &identifier, const std::string &why);

    su_root_t *root_;
    ServerConfig config_;
    EngineHost *host_;
    SessionTable table_;
    MrcpListener listener_;
    SipAgent sip_;
    bool stopping_ = false;

    int wake_fd_ = -1;
    int signal_fd_ = -1;
    su_wait_t wake_wait_[1];
    su_wait_t signal_wait_[1];
    int wake_index_ = -1;
    int signal_index_ = -1;
    su_timer_t *stop_timer_ = nullptr;
    apr_pool_t *scratch_ = nullptr;  // parses requests to route them

    PendingAnswers pending_;
    su_timer_t *answer_timer_ = nullptr;

    std::mutex queue_mutex_;
    std::deque<std::pair<std::string, std::string>> queue_;  // channel name, message text
    std::deque<HostChannel *> answers_;
};

}  // namespace vantor
