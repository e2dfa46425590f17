#include "server.h"

#include <signal.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>

#include "apt_log.h"
#include "mrcp_message_codec.h"
#include "mrcp_status_response.h"

namespace vantor {

namespace {

// The audio line a control line's channel takes its media from: the one whose
// mid is the line's cmid, else the first audio line.
long AudioLineFor(const SdpOffer &offer, size_t line) {
    const std::string &cmid = offer.lines[line].cmid;
    long first = -1;
    for (size_t i = 0; i < offer.lines.size(); ++i) {
        if (offer.lines[i].kind != SdpMediaLine::Kind::kAudio) continue;
        if (!cmid.empty() && offer.lines[i].mid == cmid) return static_cast<long>(i);
        if (first < 0) first = static_cast<long>(i);
    }
    return first;
}

RtpFormat ToRtpFormat(const AudioFormat &format) {
    RtpFormat rtp;
    rtp.encoding = format.encoding == "PCMA"  ? RtpEncoding::kPcma
                   : format.encoding == "L16" ? RtpEncoding::kL16
                                              : RtpEncoding::kPcmu;
    rtp.payload_type = format.payload_type;
    rtp.rate = format.rate;
    rtp.event_payload_type = format.event_payload_type;
    return rtp;
}

SipReply Refusal(int status, unsigned retry_after_s = 0) {
    SipReply reply;
    reply.status = status;
    reply.retry_after_s = retry_after_s;
    return reply;
}

}  // namespace

Server::Server(su_root_t *root, const ServerConfig &config, EngineHost *host)
    : root_(root),
      config_(config),
      host_(host),
      listener_(root, static_cast<MrcpConnectionHandler *>(this)),
      sip_(root, static_cast<SipAgentHandler *>(this)) {
    apr_pool_create(&scratch_, nullptr);
}

Server::~Server() {
    if (wake_index_ >= 0) su_root_deregister(root_, wake_index_);
    if (signal_index_ >= 0) su_root_deregister(root_, signal_index_);
    if (wake_fd_ >= 0) ::close(wake_fd_);
    if (signal_fd_ >= 0) ::close(signal_fd_);
    if (stop_timer_) su_timer_destroy(stop_timer_);
    if (answer_timer_) su_timer_destroy(answer_timer_);
    if (scratch_) apr_pool_destroy(scratch_);
}

bool Server::Start(std::string *error) {
    wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    signal_fd_ = signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);
    if (wake_fd_ < 0 || signal_fd_ < 0 || !scratch_) {
        *error = std::string("cannot create the loop's descriptors: ") + strerror(errno);
        return false;
    }
    if (su_wait_create(wake_wait_, wake_fd_, SU_WAIT_IN) != 0 ||
        su_wait_create(signal_wait_, signal_fd_, SU_WAIT_IN) != 0) {
        *error = "cannot wait on the loop's descriptors";
        return false;
    }
    wake_index_ =
        su_root_register(root_, wake_wait_, OnWake, reinterpret_cast<su_wakeup_arg_t *>(this), 0);
    signal_index_ = su_root_register(root_, signal_wait_, OnSignal,
                                     reinterpret_cast<su_wakeup_arg_t *>(this), 0);
    stop_timer_ = su_timer_create(su_root_task(root_), 10000);
    answer_timer_ = su_timer_create(su_root_task(root_), 0);
    if (wake_index_ < 0 || signal_index_ < 0 || !stop_timer_ || !answer_timer_) {
        *error = "cannot register with the loop";
        return false;
    }
    if (!listener_.Open(config_.mrcp_address, config_.mrcp_port, error)) return false;
    return sip_.Start(config_.sip_address, config_.sip_port, config_.sip_udp, config_.sip_tcp,
                      error);
}

// --- SIP ---

SipReply Server::OnOffer(nua_handle_t *handle, bool in_dialog, const std::string &sdp) {
    SdpOffer offer;
    std::string error;
    if (!ParseSdpOffer(sdp, &offer, &error)) {
        apt_log(nullptr, APT_LOG_MARK, APT_PRIO_WARNING, "SIP Offer Refused 488: %s",
                error.c_str());
        return Refusal(488);
    }
    Dialog *dialog = table_.Find(handle);
    const bool fresh = dialog == nullptr;
    if (fresh && table_.size() >= config_.max_sessions) {
        apt_log(nullptr, APT_LOG_MARK, APT_PRIO_WARNING,
                "SIP Offer Refused 503: all %u sessions are in use", config_.max_sessions);
        return Refusal(503, config_.retry_after_s);
    }
    // The control lines the server takes, and the channels they need.
    std::vector<size_t> wanted;
    size_t new_channels = 0;
    for (size_t i = 0; i < offer.lines.size(); ++i) {
        const SdpMediaLine &m = offer.lines[i];
        if (m.kind != SdpMediaLine::Kind::kMrcp || m.port == 0) continue;
        if (strcasecmp(m.resource.c_str(), "speechrecog") != 0) {
            apt_log(nullptr, APT_LOG_MARK, APT_PRIO_WARNING,
                    "SIP Offer: resource \"%s\" of m-line %zu declined", m.resource.c_str(), i);
            continue;
        }
        // Its Channel-Identifier would be the first one's.
        if (!wanted.empty()) {
            apt_log(nullptr, APT_LOG_MARK, APT_PRIO_WARNING,
                    "SIP Offer: a second speechrecog resource (m-line %zu) declined", i);
            continue;
        }
        bool existing = false;
        if (dialog)
            for (const auto &c : dialog->channels) existing = existing || c->line == i;
        if (!existing) {
            long audio = AudioLineFor(offer, i);
            AudioFormat format;
            if (audio < 0 || offer.lines[audio].port == 0 ||
                !ChooseAudioFormat(offer.lines[audio], config_.codecs, &format)) {
                apt_log(nullptr, APT_LOG_MARK, APT_PRIO_WARNING,
                        "SIP Offer Refused 488: no audio line with an accepted codec for the "
                        "resource of m-line %zu",
                        i);
                return Refusal(488);
            }
            ++new_channels;
        }
        wanted.push_back(i);
    }
    if (fresh && wanted.empty()) {
        apt_log(nullptr, APT_LOG_MARK, APT_PRIO_WARNING,
                "SIP Offer Refused 488: no speechrecog resource in the offer");
        return Refusal(488);
    }
    const size_t limit = host_->max_channels();
    if (limit && host_->OpenChannelNames().size() + new_channels > limit) {
        apt_log(nullptr, APT_LOG_MARK, APT_PRIO_WARNING,
                "SIP Offer Refused 503: all %zu engine channels are in use", limit);
        return Refusal(503, config_.retry_after_s);
    }
    // A re-INVITE may move the caller's audio or change its codec: each line
    // in use must offer a codec the server takes at the rate its channel runs
    // at, else the re-INVITE is refused and the dialog keeps what it has.
    std::vector<std::pair<size_t, AudioFormat>> changed;  // by audio m-line
    if (dialog) {
        for (auto &entry : dialog->media) {
            if (entry.first >= offer.lines.size()) continue;
            const SdpMediaLine &a = offer.lines[entry.first];
            if (a.kind != SdpMediaLine::Kind::kAudio || a.port == 0) continue;
            bool kept = false;  // else it goes with the resources the offer removes
            for (const auto &c : dialog->channels)
                kept = kept || (c->audio_line == entry.first &&
                                std::find(wanted.begin(), wanted.end(), c->line) != wanted.end());
            if (!kept) continue;
            std::vector<AudioCodec> same_rate;
            for (const AudioCodec &codec : config_.codecs)
                if (codec.rate == entry.second.format.rate) same_rate.push_back(codec);
            AudioFormat format;
            if (!ChooseAudioFormat(a, same_rate, &format)) {
                apt_log(nullptr, APT_LOG_MARK, APT_PRIO_WARNING,
                        "SIP Offer Refused 488: no accepted codec at %u Hz on audio m-line %zu",
                        entry.second.format.rate, entry.first);
                return Refusal(488);
            }
            changed.emplace_back(entry.first, format);
        }
    }
    if (fresh) {
        std::string session;
        do session = host_->NewChannelId();
        while (!session.empty() && table_.HasSession(session));
        dialog = table_.Add(handle);
        dialog->session_id = session;
    }
    // The offer is taken: its audio sources and codecs apply.
    for (const auto &change : changed) {
        const size_t line = change.first;
        const AudioFormat &format = change.second;
        DialogMedia *media = &dialog->media[line];
        const SdpMediaLine &a = offer.lines[line];
        const AudioFormat &was = media->format;
        if (format.encoding == was.encoding && format.payload_type == was.payload_type &&
            format.event_payload_type == was.event_payload_type &&
            a.address == media->remote_address && a.port == media->remote_port)
            continue;
        apt_log(nullptr, APT_LOG_MARK, APT_PRIO_INFO,
                "SIP re-INVITE: audio m-line %zu of dialog %llu now %s/%u pt %d from %s:%u", line,
                (unsigned long long)dialog->id, format.encoding.c_str(), format.rate,
                format.payload_type, a.address.c_str(), a.port);
        media->format = format;
        media->remote_address = a.address;
        media->remote_port = a.port;
        media->receiver->Start(ToRtpFormat(format), a.address, a.port);
    }

    // Resources the offer removes (port 0, or gone) close first.
    std::vector<ServerChannel *> removed;
    for (const auto &c : dialog->channels)
        if (std::find(wanted.begin(), wanted.end(), c->line) == wanted.end())
            removed.push_back(c.get());
    for (ServerChannel *c : removed) CloseChannel(dialog, c);
    dialog->in_dialog = in_dialog;
    dialog->offer = offer;
    dialog->refusal = 0;
    for (size_t line : wanted) {
        bool existing = false;
        for (const auto &c : dialog->channels) existing = existing || c->line == line;
        if (existing) continue;
        SipReply refusal;
        if (!OpenChannel(dialog, offer, line, &refusal)) {
            if (fresh) {
                CloseDialog(dialog);
                table_.Remove(handle);
            }
            return refusal;
        }
    }
    if (dialog->opening > 0) {
        dialog->answering = true;
        SipReply later;
        later.status = 0;
        return later;
    }
    return AnswerOffer(dialog);
}

SipReply Server::AnswerOffer(Dialog *dialog) {
    const SdpOffer &offer = dialog->offer;
    std::vector<AnswerLine> lines(offer.lines.size());
    for (const auto &c : dialog->channels) {
        if (c->line >= lines.size()) continue;
        lines[c->line].accepted = true;
        lines[c->line].port = listener_.port();
        lines[c->line].channel_identifier = c->identifier;
    }
    for (const auto &entry : dialog->media) {
        if (entry.first >= lines.size()) continue;
        lines[entry.first].accepted = true;
        lines[entry.first].port = entry.second.receiver->port();
        lines[entry.first].format = entry.second.format;
    }
    dialog->answer = lines;
    SipReply reply;
    reply.status = 200;
    reply.sdp =
        BuildSdpAnswer(offer, lines, config_.rtp_address, dialog->id, ++dialog->sdp_version);
    apt_log(nullptr, APT_LOG_MARK, APT_PRIO_INFO, "SIP %s Answered: dialog %llu, %zu channel(s)",
            dialog->in_dialog ? "re-INVITE" : "INVITE", (unsigned long long)dialog->id,
            dialog->channels.size());
    return reply;
}

// The last open of an offer answered: the offer is answered with the
// channels, or refused (a new dialog then ends).
void Server::OfferDone(Dialog *dialog) {
    dialog->answering = false;
    nua_handle_t *handle = static_cast<nua_handle_t *>(dialog->handle);
    if (dialog->refusal == 0) {
        sip_.Answer(handle, AnswerOffer(dialog));
        return;
    }
    SipReply refusal = Refusal(dialog->refusal);
    if (!dialog->in_dialog) {
        CloseDialog(dialog);
        table_.Remove(handle);
    }
    sip_.Answer(handle, refusal);
}

bool Server::OpenChannel(Dialog *dialog, const SdpOffer &offer, size_t line, SipReply *refusal) {
    const long audio = AudioLineFor(offer, line);
    const SdpMediaLine &a = offer.lines[audio];
    AudioFormat format;
    ChooseAudioFormat(a, config_.codecs, &format);
    std::string error;
    auto found = dialog->media.find(static_cast<size_t>(audio));
    if (found == dialog->media.end()) {
        DialogMedia media;
        media.receiver = RtpReceiver::Open(config_.rtp_address, config_.rtp_port_min,
                                           config_.rtp_port_max, config_.jitter_ms, &error);
        if (!media.receiver) {
            apt_log(nullptr, APT_LOG_MARK, APT_PRIO_WARNING, "SIP Offer Refused 503: %s",
                    error.c_str());
            *refusal = Refusal(503, config_.retry_after_s);
            return false;
        }
        media.format = format;
        media.remote_address = a.address;
        media.remote_port = a.port;
        media.receiver->Start(ToRtpFormat(format), a.address, a.port);
        found = dialog->media.emplace(static_cast<size_t>(audio), std::move(media)).first;
    } else {
        format = found->second.format;
    }
    RtpReceiver *media = found->second.receiver.get();
    // One audio line feeds one channel: another on it hears silence.
    FrameSource *source = media;
    for (const auto &c : dialog->channels)
        if (c->audio_line == static_cast<size_t>(audio)) source = nullptr;

    auto channel = std::make_unique<ServerChannel>();
    // A resource removed and offered again gets a new name while the old
    // channel may still be closing: plugin messages find their channel by it.
    const std::string base = "d" + std::to_string(dialog->id) + "-m" + std::to_string(line);
    channel->name = base;
    for (int n = 1; HostChannel *same = host_->FindChannel(channel->name); ++n) {
        if (same->state() == HostChannel::State::kClosed) break;
        channel->name = base + "-" + std::to_string(n);
    }
    channel->line = line;
    channel->dialog = dialog;
    channel->audio_line = static_cast<size_t>(audio);
    channel->source = source;
    HostChannel *hc = host_->CreateChannel(channel->name, format.rate, MRCP_VERSION_2, &error,
                                           dialog->session_id);
    if (!hc) {
        const bool full = error.find("in use") != std::string::npos;
        apt_log(nullptr, APT_LOG_MARK, APT_PRIO_WARNING, "SIP Offer Refused %d: channel %s: %s",
                full ? 503 : 500, channel->name.c_str(), error.c_str());
        *refusal = full ? Refusal(503, config_.retry_after_s) : Refusal(500);
        return false;
    }
    if (!host_->BeginOpenChannel(hc, &error)) {
        apt_log(nullptr, APT_LOG_MARK, APT_PRIO_WARNING, "SIP Offer Refused 500: channel %s: %s",
                channel->name.c_str(), error.c_str());
        *refusal = Refusal(500);
        return false;
    }
    channel->host = hc;
    channel->identifier = hc->channel_identifier();
    apt_log(nullptr, APT_LOG_MARK, APT_PRIO_INFO, "Open Channel %s [%s] %s/%u pt %d",
            channel->name.c_str(), channel->identifier.c_str(), format.encoding.c_str(),
            format.rate, format.payload_type);
    Expect(hc, dialog, false);
    ++dialog->opening;
    dialog->channels.push_back(std::move(channel));
    return true;
}

// The plugin answered the open of a channel (or gave no answer in time).
void Server::Opened(HostChannel *host) {
    PendingAnswers::Entry awaited = pending_.Take(host);
    std::string error;
    Dialog *dialog = awaited.dialog;
    ServerChannel *channel = nullptr;
    if (dialog)
        for (const auto &c : dialog->channels)
            if (c->host == awaited.host) channel = c.get();
    const std::string name = awaited.host->name();
    if (!host_->EndOpenChannel(awaited.host, &error, channel ? channel->source : nullptr)) {
        const bool answered = awaited.host->open_answer().Count() > 0;
        if (channel) {
            apt_log(nullptr, APT_LOG_MARK, APT_PRIO_WARNING,
                    "SIP Offer Refused 500: channel %s: %s", name.c_str(), error.c_str());
            channel->host = nullptr;  // destroyed when refused, kept by the plugin otherwise
            CloseChannel(dialog, channel);
            dialog->refusal = 500;
        } else {
            apt_log(nullptr, APT_LOG_MARK, APT_PRIO_WARNING, "Open Channel %s Failed: %s",
                    name.c_str(), error.c_str());
        }
        if (answered) {
            host_->ForgetChannel(awaited.host);
        } else {
            // The plugin may still answer: the channel is closed if it does.
            pending_.GiveUp(awaited);
        }
    } else if (!channel) {
        // Its dialog ended while it opened.
        if (host_->BeginCloseChannel(awaited.host, &error))
            Expect(awaited.host, nullptr, true);
        else
            apt_log(nullptr, APT_LOG_MARK, APT_PRIO_ERROR, "Close Channel %s Failed: %s",
                    name.c_str(), error.c_str());
    } else {
        channel->open = true;
        table_.Index(channel);
    }
    if (dialog && --dialog->opening == 0 && dialog->answering) OfferDone(dialog);
}

void Server::CloseChannel(Dialog *dialog, ServerChannel *channel) {
    table_.Unindex(channel);
    std::string error;
    if (channel->host && !channel->open) {
        // Closed once its open is answered.
        pending_.Detach(channel->host);
        --dialog->opening;
    } else if (channel->host && !host_->BeginCloseChannel(channel->host, &error)) {
        apt_log(nullptr, APT_LOG_MARK, APT_PRIO_ERROR, "Close Channel %s Failed: %s",
                channel->name.c_str(), error.c_str());
    } else if (channel->host) {
        Expect(channel->host, nullptr, true);
    }
    const size_t audio = channel->audio_line;
    const std::string channel_name = channel->name;
    auto &channels = dialog->channels;
    for (auto it = channels.begin(); it != channels.end(); ++it)
        if (it->get() == channel) {
            channels.erase(it);
            break;
        }
    bool used = false;
    for (const auto &c : channels) used = used || c->audio_line == audio;
    auto media = dialog->media.find(audio);
    if (!used && media != dialog->media.end()) {
        const RtpStats s = media->second.receiver->stats();
        apt_log(nullptr, APT_LOG_MARK, APT_PRIO_INFO,
                "RTP Stats %s: packets=%llu lost=%llu late=%llu wrong-source=%llu "
                "wrong-payload-type=%llu rtcp=%llu events=%llu",
                channel_name.c_str(), (unsigned long long)s.packets, (unsigned long long)s.lost,
                (unsigned long long)s.late, (unsigned long long)s.wrong_source,
                (unsigned long long)s.wrong_payload_type, (unsigned long long)s.rtcp,
                (unsigned long long)s.events);
        dialog->media.erase(media);
    }
}

void Server::CloseDialog(Dialog *dialog) {
    while (!dialog->channels.empty()) CloseChannel(dialog, dialog->channels.back().get());
    dialog->media.clear();
    dialog->answering = false;
}

// --- Channel open and close answers ---

void Server::Expect(HostChannel *host, Dialog *dialog, bool closing) {
    pending_.Expect(host, dialog, closing, std::chrono::milliseconds(host_->answer_timeout_ms()));
    ArmAnswerTimer();
}

void Server::ArmAnswerTimer() {
    PendingAnswers::Clock::time_point first;
    su_timer_reset(answer_timer_);
    if (!pending_.NextDeadline(&first)) return;
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
                          first - std::chrono::steady_clock::now())
                          .count();
    su_timer_set_interval(answer_timer_, OnAnswerTimeout, reinterpret_cast<su_timer_arg_t *>(this),
                          static_cast<su_duration_t>(std::max<long long>(wait, 0) + 1));
}

void Server::OnAnswerTimeout(su_root_magic_t *, su_timer_t *, su_timer_arg_t *arg) {
    auto *self = reinterpret_cast<Server *>(arg);
    for (HostChannel *host : self->pending_.Late(PendingAnswers::Clock::now()))
        self->Settle(host);  // ends each with "no answer"
    self->ArmAnswerTimer();
}

// Takes the answer to the open or close of the channel, or its absence when
// it is late.
void Server::Settle(HostChannel *host) {
    const PendingAnswers::Entry *awaited = pending_.Find(host);
    if (!awaited) return;  // given up on already
    if (!awaited->closing) {
        Opened(host);
        return;
    }
    std::string error;
    pending_.Take(host);
    if (host_->EndCloseChannel(host, &error))
        host_->ForgetChannel(host);
    else
        apt_log(nullptr, APT_LOG_MARK, APT_PRIO_ERROR, "Close Channel %s Failed: %s",
                host->name().c_str(), error.c_str());
}

void Server::PostChannelAnswer(HostChannel *channel) {
    {
        std::lock_guard<std::mutex> lock(queue_mutex_);
        answers_.push_back(channel);
    }
    uint64_t one = 1;
    (void)!::write(wake_fd_, &one, sizeof(one));
}

void Server::CollectAnswers() {
    std::deque<HostChannel *> batch;
    {
        std::lock_guard<std::mutex> lock(queue_mutex_);
        batch.swap(answers_);
    }
    for (HostChannel *host : batch) {
        // Only an answer still awaited: one taken already (at its time limit,
        // just as it came) may be followed by the other kind of wait.
        const PendingAnswers::Entry *awaited = pending_.Find(host);
        if (awaited && PendingAnswers::Answered(*awaited)) Settle(host);
    }
    if (!batch.empty()) ArmAnswerTimer();
}

void Server::OnDialogEnded(nua_handle_t *handle, const std::string &why) {
    Dialog *dialog = table_.Find(handle);
    if (!dialog) return;
    apt_log(nullptr, APT_LOG_MARK, APT_PRIO_INFO, "SIP Dialog %llu Ended: %s",
            (unsigned long long)dialog->id, why.c_str());
    CloseDialog(dialog);
    table_.Remove(handle);
}

void Server::OnShutdownDone() {
    apt_log(nullptr, APT_LOG_MARK, APT_PRIO_NOTICE, "SIP Shutdown Done");
    su_root_break(root_);
}

void Server::Stop(const std::string &why) {
    if (stopping_) return;
    stopping_ = true;
    apt_log(nullptr, APT_LOG_MARK, APT_PRIO_NOTICE, "Stop Server: %s", why.c_str());
    // Channels close before their dialogs end, so that no event follows the BYE;
    // an INVITE still waiting for its channels is refused.
    for (Dialog *dialog : table_.All()) {
        const bool unanswered = dialog->answering && !dialog->in_dialog;
        const bool answering = dialog->answering;
        CloseDialog(dialog);
        if (!answering) continue;
        apt_log(nullptr, APT_LOG_MARK, APT_PRIO_WARNING, "SIP INVITE Refused 503: shutting down");
        nua_handle_t *handle = static_cast<nua_handle_t *>(dialog->handle);
        if (unanswered) table_.Remove(handle);
        sip_.Answer(handle, Refusal(503, config_.retry_after_s));
    }
    listener_.CloseAll();
    su_timer_set(stop_timer_, OnStopTimeout, reinterpret_cast<su_timer_arg_t *>(this));
    sip_.Shutdown();
}

void Server::OnStopTimeout(su_root_magic_t *, su_timer_t *, su_timer_arg_t *arg) {
    auto *self = reinterpret_cast<Server *>(arg);
    apt_log(nullptr, APT_LOG_MARK, APT_PRIO_WARNING, "SIP Shutdown Timed Out: %zu dialog(s) left",
            self->sip_.dialog_count());
    su_root_break(self->root_);
}

void Server::Finish() {
    for (Dialog *dialog : table_.All()) {
        CloseDialog(dialog);
        table_.Remove(dialog->handle);
    }
    listener_.CloseAll();
    // The loop is over: what the plugin has not answered yet is waited for
    // here, each answer once more for as long as the loop would have.
    std::set<std::pair<HostChannel *, bool>> waited;
    while (!pending_.empty()) {
        const PendingAnswers::Entry &awaited = pending_.front();
        HostChannel *host = awaited.host;
        if (!PendingAnswers::Answered(awaited) && !waited.insert({host, awaited.closing}).second) {
            apt_log(nullptr, APT_LOG_MARK, APT_PRIO_ERROR,
                    "Open Channel %s Failed: the plugin never answered", host->name().c_str());
            pending_.Take(host);
            continue;
        }
        if (awaited.closing)
            host_->WaitCloseAnswer(awaited.host);
        else
            host_->WaitOpenAnswer(awaited.host);
        Settle(host);
    }
    su_timer_reset(answer_timer_);
    DeliverPluginMessages();
}

int Server::OnSignal(su_root_magic_t *, su_wait_t *, su_wakeup_arg_t *arg) {
    auto *self = reinterpret_cast<Server *>(arg);
    signalfd_siginfo info;
    while (::read(self->signal_fd_, &info, sizeof(info)) == sizeof(info))
        self->Stop(std::string("signal ") + strsignal(static_cast<int>(info.ssi_signo)));
    return 0;
}

// --- Plugin messages ---

void Server::PostPluginMessage(const MessageRecord &record) {
    {
        std::lock_guard<std::mutex> lock(queue_mutex_);
        queue_.emplace_back(record.channel, record.text);
    }
    uint64_t one = 1;
    (void)!::write(wake_fd_, &one, sizeof(one));
}

int Server::OnWake(su_root_magic_t *, su_wait_t *, su_wakeup_arg_t *arg) {
    auto *self = reinterpret_cast<Server *>(arg);
    uint64_t count = 0;
    (void)!::read(self->wake_fd_, &count, sizeof(count));
    self->CollectAnswers();
    self->DeliverPluginMessages();
    return 0;
}

void Server::DeliverPluginMessages() {
    std::deque<std::pair<std::string, std::string>> batch;
    {
        std::lock_guard<std::mutex> lock(queue_mutex_);
        batch.swap(queue_);
    }
    for (const auto &entry : batch) {
        ServerChannel *channel = table_.FindByName(entry.first);
        if (!channel || !channel->connection) {
            apt_log(nullptr, APT_LOG_MARK, APT_PRIO_INFO, "MRCP Message Dropped: channel %s is %s",
                    entry.first.c_str(), channel ? "bound to no connection" : "closed");
            continue;
        }
        channel->connection->Send(entry.second);
    }
}

// --- MRCP ---

void Server::Refuse(MrcpConnection *connection, uint32_t request_id, int status,
                    const std::string &identifier, const std::string &why) {
    apt_log(nullptr, APT_LOG_MARK, APT_PRIO_WARNING, "MRCP Request %u Refused %d: %s <%llu>",
            request_id, status, why.c_str(), (unsigned long long)connection->id());
    connection->Send(MrcpStatusResponse(request_id, status, identifier));
}

void Server::OnMrcpMessage(MrcpConnection *connection, const std::string &text) {
    uint32_t request_id = 0;
    std::string method;
    const bool request_line = ReadRequestLine(text, &request_id, &method);
    apr_pool_clear(scratch_);
    const char *why = nullptr;
    mrcp_message_t *message = mrcp_message_parse(text.data(), text.size(), scratch_, &why);
    if (!message) {
        const std::string reason = std::string("malformed message: ") + (why ? why : "unreadable");
        if (!request_line) {
            apt_log(nullptr, APT_LOG_MARK, APT_PRIO_WARNING, "MRCP %s from %s <%llu>",
                    reason.c_str(), connection->peer().c_str(),
                    (unsigned long long)connection->id());
            connection->Close("unanswerable message");
            return;
        }
        int status = 404;  // illegal header value or syntax
        if (text.compare(0, 9, "MRCP/2.0 ") != 0 && text.compare(0, 9, "MRCP/1.0 ") != 0)
            status = 502;
        else if (mrcp_recog_method_id_find(method.c_str(), method.size(), MRCP_VERSION_2) >=
                 RECOGNIZER_METHOD_COUNT)
            status = 401;  // method not allowed
        Refuse(connection, request_id, status, "", reason);
        return;
    }
    if (message->start_line.message_type != MRCP_MESSAGE_TYPE_REQUEST) {
        apt_log(nullptr, APT_LOG_MARK, APT_PRIO_WARNING,
                "MRCP Message Ignored: a client sends requests only <%llu>",
                (unsigned long long)connection->id());
        return;
    }
    request_id = message->start_line.request_id;
    if (message->start_line.version != MRCP_VERSION_2) {
        Refuse(connection, request_id, 502, "", "not MRCPv2");
        return;
    }
    const mrcp_channel_id &cid = message->channel_id;
    std::string identifier;
    if (cid.session_id.buf && cid.session_id.length)
        identifier = std::string(cid.session_id.buf, cid.session_id.length) + "@" +
                     std::string(cid.resource_name.buf ? cid.resource_name.buf : "",
                                 cid.resource_name.length);
    if (identifier.empty()) {
        Refuse(connection, request_id, 406, "", "no Channel-Identifier");
        return;
    }
    ServerChannel *channel = table_.FindByIdentifier(identifier);
    if (!channel) {
        Refuse(connection, request_id, 405, identifier, "no channel " + identifier);
        return;
    }
    if (channel->connection && channel->connection != connection) {
        Refuse(connection, request_id, 405, identifier,
               "channel " + identifier + " belongs to another connection");
        return;
    }
    Dialog *dialog = channel->dialog;
    if (dialog->any_request && request_id <= dialog->last_request_id) {
        Refuse(
            connection, request_id, 410, identifier,
            "request-id not above the session's last, " + std::to_string(dialog->last_request_id));
        return;
    }
    dialog->any_request = true;
    dialog->last_request_id = request_id;
    channel->connection = connection;
    apr_pool_t *pool = channel->host->NewRequestPool();
    mrcp_message_t *request =
        pool ? mrcp_message_parse(text.data(), text.size(), pool, &why) : nullptr;
    std::string error = pool ? "" : "no request pool";
    if (!request || !host_->ProcessRequest(channel->host, request, &error))
        Refuse(connection, request_id, 501, identifier, error);
}

void Server::OnMrcpClosed(MrcpConnection *connection) { table_.Unbind(connection); }

}  // namespace vantor
