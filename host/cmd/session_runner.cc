#include "session_runner.h"

#include "apt_log.h"
#include "wav_file.h"

namespace vantor {

namespace {

// Does a message answer what the command waits for?
bool Matches(const ScriptCommand &c, const MessageRecord &m) {
    if (c.response) return !m.is_event && m.request_id == c.request_id;
    if (!m.is_event) return false;
    // Event names of either version match (START-OF-INPUT is START-OF-SPEECH in MRCPv1).
    apr_size_t id = mrcp_recog_event_id_find(c.event.c_str(), c.event.size(), MRCP_VERSION_2);
    if (id >= RECOGNIZER_EVENT_COUNT)
        id = mrcp_recog_event_id_find(c.event.c_str(), c.event.size(), MRCP_VERSION_1);
    return m.id == id;
}

}  // namespace

bool SessionRunner::Run(const std::vector<ScriptCommand> &commands, std::string *error) {
    for (const ScriptCommand &command : commands) {
        apt_log(nullptr, APT_LOG_MARK, APT_PRIO_DEBUG, "Script %s",
                DescribeCommand(command).c_str());
        std::string why;
        if (!Execute(command, &why)) {
            *error = DescribeCommand(command) + ": " + why;
            return false;
        }
    }
    for (const std::string &name : host_->OpenChannelNames()) {
        std::string why;
        HostChannel *channel = host_->FindChannel(name);
        if (channel->state() != HostChannel::State::kOpen) continue;
        apt_log(nullptr, APT_LOG_MARK, APT_PRIO_NOTICE, "Close Channel %s left open by the script",
                name.c_str());
        if (!host_->CloseChannel(channel, &why)) {
            *error = "end of script: channel " + name + ": " + why;
            return false;
        }
    }
    return true;
}

HostChannel *SessionRunner::Channel(const ScriptCommand &command, std::string *error) {
    HostChannel *channel = host_->FindChannel(command.channel);
    if (!channel || channel->state() == HostChannel::State::kClosed) {
        *error = "no open channel " + command.channel;
        return nullptr;
    }
    return channel;
}

bool SessionRunner::Execute(const ScriptCommand &c, std::string *error) {
    using Kind = ScriptCommand::Kind;
    if (c.kind == Kind::kSleep) {
        clock_->Sleep(c.ms);
        return true;
    }
    if (c.kind == Kind::kChannel) {
        HostChannel *channel = host_->CreateChannel(
            c.channel, c.rate, c.version == 1 ? MRCP_VERSION_1 : MRCP_VERSION_2, error);
        return channel && host_->OpenChannel(channel, error);
    }
    HostChannel *channel = Channel(c, error);
    if (!channel) return false;
    switch (c.kind) {
        case Kind::kSend:
            return host_->SendRequest(channel, c.method, c.request_id, c.headers, c.body,
                                      c.has_body, error);
        case Kind::kAudio: {
            WavAudio audio;
            if (!ReadWavFile(c.file, &audio, error)) return false;
            if (audio.channel_count != 1) {
                *error = std::to_string(audio.channel_count) + " channels; mono is needed";
                return false;
            }
            if (audio.sampling_rate != channel->sampling_rate()) {
                *error = "sampled at " + std::to_string(audio.sampling_rate) + " Hz but channel " +
                         channel->name() + " runs at " + std::to_string(channel->sampling_rate()) +
                         " Hz";
                return false;
            }
            channel->input().PushAudio(audio.samples.data(), audio.samples.size());
            return true;
        }
        case Kind::kSilence:
            channel->input().PushSilence(c.ms);
            return true;
        case Kind::kDtmf:
            if (!channel->input().PushDtmf(c.digits, c.on_ms, c.off_ms)) {
                *error = "bad DTMF digits " + c.digits;
                return false;
            }
            return true;
        case Kind::kWait:
        case Kind::kNone:
            return Wait(c, channel, error);
        case Kind::kDrain:
            if (!channel->input().WaitEmpty(c.timeout_ms)) {
                *error = "input still queued after " + std::to_string(c.timeout_ms) + " ms";
                return false;
            }
            return true;
        case Kind::kClose:
            if (channel->state() != HostChannel::State::kOpen) {
                *error = "the channel is not open";
                return false;
            }
            return host_->CloseChannel(channel, error);
        default:
            break;
    }
    *error = "unexpected command";
    return false;
}

bool SessionRunner::Wait(const ScriptCommand &c, HostChannel *channel, std::string *error) {
    MessageRecord m;
    bool found = channel->WaitMessage([&c](const MessageRecord &r) { return Matches(c, r); },
                                      c.timeout_ms, &m);
    std::string what = c.response ? "response " + std::to_string(c.request_id) : c.event;
    if (c.kind == ScriptCommand::Kind::kNone) {
        if (found) {
            *error = "unexpected " + what + " at " + std::to_string(m.t) + " s";
            return false;
        }
        return true;
    }
    if (!found) {
        *error = "no " + what + " within " + std::to_string(c.timeout_ms) + " ms";
        return false;
    }
    if (c.status >= 0 && m.status != c.status) {
        *error = what + " has status " + std::to_string(m.status) + ", expected " +
                 std::to_string(c.status);
        return false;
    }
    if (!c.state.empty() && m.state != c.state) {
        *error = what + " has state " + m.state + ", expected " + c.state;
        return false;
    }
    if (c.cause >= 0 && m.cause != c.cause) {
        *error = what + " has Completion-Cause " +
                 (m.cause < 0 ? std::string("none") : std::to_string(m.cause)) + ", expected " +
                 std::to_string(c.cause);
        return false;
    }
    return true;
}

}  // namespace vantor
