#include "client_call.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "apt_log.h"
#include "client_sdp.h"
#include "mrcp_recog_header.h"
#include "mrcp_recog_resource.h"
#include "mrcp_session.h"
#include "rtp_sender.h"
#include "rtp_socket.h"
#include "sip_session.h"

namespace vantor {

namespace {

const mrcp_request_id kRequestId = 1;
const mrcp_request_id kStopId = 2;
// Wall-clock bound on the wait for the result beyond the input's own length:
// the recognizer bounds every recognition itself, so this only catches a
// server that never answers.
const long kResultWaitMs = 120000;
constexpr unsigned kDtmfOnMs = 100;
constexpr unsigned kDtmfOffMs = 100;
constexpr unsigned kDtmfLeadMs = 200;

std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

int Fail(const std::string &message) {
    fprintf(stderr, "vantor-client: %s\n", message.c_str());
    return 1;
}

// The address this machine reaches host from (no packet is sent).
std::string LocalAddressFor(const std::string &host) {
    UdpEndpoint to;
    if (!ResolveEndpoint(host, 5060, &to)) return "";
    const int fd = socket(to.addr.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return "";
    std::string address;
    sockaddr_storage local{};
    socklen_t len = sizeof(local);
    if (connect(fd, reinterpret_cast<const sockaddr *>(&to.addr), to.len) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&local), &len) == 0) {
        address = EndpointText(local);
        address = address.substr(0, address.rfind(':'));
    }
    close(fd);
    return address;
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The input, on its own thread: the file or the digits, then silence (a
// caller who stopped talking) until the sender is stopped.
void StreamInput(const ClientOptions &o, const WavAudio &audio, RtpSender *sender) {
    const bool sent =
        o.mode == ClientOptions::Mode::kDtmf
            ? sender->SendSilence(kDtmfLeadMs) && sender->SendDtmf(o.digits, kDtmfOnMs, kDtmfOffMs)
            : sender->SendAudio(audio.samples.data(), audio.samples.size());
    if (sent)
        while (sender->SendSilence(100)) {
        }
}

// One call's recognition: its channel, its audio and where it stands.
struct Leg {
    std::string channel;  // Channel-Identifier
    std::string label;    // printed with its messages
    std::string prefix;   // of its errors: "" with one call, else "call N: "
    RtpSender *sender = nullptr;
    std::thread media;
    std::chrono::steady_clock::time_point until;
    std::chrono::steady_clock::time_point stop_at = std::chrono::steady_clock::time_point::max();
    bool in_progress = false;
    bool stop_sent = false;
    bool done = false;
    int code = 1;
};

std::string ChannelOf(const mrcp_message_t *message) {
    const mrcp_channel_id &c = message->channel_id;
    if (!c.session_id.buf) return "";
    return std::string(c.session_id.buf, c.session_id.length) + "@" +
           std::string(c.resource_name.buf ? c.resource_name.buf : "", c.resource_name.length);
}

// The recognition on every open channel at once, over one MRCP connection:
// RECOGNIZE, each call's input streamed once it is in progress, the events
// of each printed (or the refusing response, or the STOP's response when
// asked to stop). The exit status: the worst of the calls'.
int Recognize(const ClientOptions &o, const WavAudio &audio, std::vector<Leg> *legs,
              MrcpSession *mrcp, const std::function<bool()> &idle,
              const std::function<void(const MessageRecord &)> &print,
              std::chrono::steady_clock::time_point start) {
    using Clock = std::chrono::steady_clock;
    std::string error;
    std::vector<std::pair<std::string, std::string>> headers = {{"Content-Type", "text/uri-list"}};
    headers.insert(headers.end(), o.headers.begin(), o.headers.end());
    const long input_ms =
        o.mode == ClientOptions::Mode::kDtmf
            ? static_cast<long>(kDtmfLeadMs + o.digits.size() * (kDtmfOnMs + kDtmfOffMs))
            : static_cast<long>(audio.samples.size() * 1000 / o.format.rate);
    for (Leg &leg : *legs) {
        leg.until = Clock::now() + std::chrono::milliseconds(o.timeout_ms);
        if (!mrcp->SendRequest(leg.channel, "RECOGNIZE", kRequestId, headers, o.grammar + "\r\n",
                               &error)) {
            for (Leg &l : *legs) l.done = true;
            Fail(error);
            break;
        }
    }
    apr_pool_t *pool = nullptr;
    apr_pool_create(&pool, nullptr);
    auto open = [legs] {
        for (const Leg &leg : *legs)
            if (!leg.done) return true;
        return false;
    };
    while (open()) {
        const auto now = Clock::now();
        auto next = Clock::time_point::max();
        for (Leg &leg : *legs) {
            if (leg.done) continue;
            if (!leg.stop_sent && now >= leg.stop_at) {
                leg.stop_sent = true;
                leg.until = now + std::chrono::milliseconds(o.timeout_ms);
                if (!mrcp->SendRequest(leg.channel, "STOP", kStopId, {}, "", &error)) {
                    Fail(leg.prefix + error);
                    leg.done = true;
                    continue;
                }
            }
            next = std::min(next, leg.stop_sent ? leg.until : std::min(leg.until, leg.stop_at));
        }
        if (!open()) break;
        const long wait_ms = static_cast<long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count());
        mrcp_message_t *message = nullptr;
        const MrcpSession::Wait wait =
            mrcp->Receive(wait_ms > 0 ? wait_ms : 0, idle, pool, &message, &error);
        if (wait == MrcpSession::Wait::kTimeout) {
            for (Leg &leg : *legs) {
                if (leg.done || Clock::now() < leg.until) continue;  // else time to stop
                Fail(leg.prefix + (leg.stop_sent ? "no response to STOP"
                                   : leg.in_progress
                                       ? "no RECOGNITION-COMPLETE within " +
                                             std::to_string(kResultWaitMs + input_ms) + " ms"
                                       : "no response to RECOGNIZE"));
                leg.done = true;
            }
            continue;
        }
        if (wait != MrcpSession::Wait::kMessage) {
            if (wait == MrcpSession::Wait::kClosed) Fail("the server closed the MRCP connection");
            if (wait == MrcpSession::Wait::kError) Fail(error);
            for (Leg &leg : *legs) leg.done = true;
            break;
        }
        Leg *leg = nullptr;
        const std::string channel = ChannelOf(message);
        for (Leg &l : *legs)
            if (l.channel == channel) leg = &l;
        MessageRecord record;
        if (!MakeMessageRecord(message, &record, &error)) {
            Fail(error);
            for (Leg &l : *legs) l.done = true;
            break;
        }
        apr_pool_clear(pool);
        if (!leg || leg->done) continue;
        record.t = SecondsSince(start);
        record.channel = leg->label;
        if (!record.is_event && record.request_id == kStopId) {
            print(record);  // the recognition ended without a result
            leg->done = true;
            continue;
        }
        if (record.request_id != kRequestId) continue;
        if (!record.is_event) {
            if (record.state != "IN-PROGRESS") {
                print(record);  // refused
                leg->done = true;
                continue;
            }
            leg->in_progress = true;
            leg->until = Clock::now() + std::chrono::milliseconds(kResultWaitMs + input_ms);
            if (o.stop_after_ms >= 0)
                leg->stop_at = Clock::now() + std::chrono::milliseconds(o.stop_after_ms);
            leg->media = std::thread(StreamInput, std::cref(o), std::cref(audio), leg->sender);
            continue;
        }
        if (record.id == RECOGNIZER_START_OF_INPUT) print(record);
        if (record.id == RECOGNIZER_RECOGNITION_COMPLETE) {
            print(record);
            if (record.cause == RECOGNIZER_COMPLETION_CAUSE_SUCCESS ||
                record.cause == RECOGNIZER_COMPLETION_CAUSE_SUCCESS_MAXTIME)
                leg->code = 0;
            leg->done = true;
        }
    }
    int code = 0;
    for (Leg &leg : *legs) {
        if (leg.media.joinable()) {
            leg.sender->Stop();
            leg.media.join();
        }
        code = std::max(code, leg.code);
    }
    apr_pool_destroy(pool);
    return code;
}

}  // namespace

void InterruptClientCall() { interrupted = true; }

bool CheckClientAudio(const ClientOptions &o, WavAudio *audio, std::string *error) {
    if (o.mode != ClientOptions::Mode::kRecognize) return true;
    if (!ReadWavFile(o.wav_file, audio, error)) return false;
    if (audio->channel_count != 1) {
        *error = o.wav_file + " has " + std::to_string(audio->channel_count) +
                 " channels; mono is needed";
        return false;
    }
    if (audio->sampling_rate != o.format.rate) {
        *error = o.wav_file + " is sampled at " + std::to_string(audio->sampling_rate) +
                 " Hz but the call sends " + std::to_string(o.format.rate) +
                 " Hz; give a file at that rate" +
                 (audio->sampling_rate == 16000 ? " (or --codec l16 --rate 16000)" : "");
        return false;
    }
    return true;
}

int RunClientCall(const ClientOptions &o, const WavAudio &audio,
                  const std::function<void(const MessageRecord &)> &print) {
    const auto start = std::chrono::steady_clock::now();
    std::string error;
    const std::string local = LocalAddressFor(o.server_host);
    if (local.empty()) return Fail("the server host " + o.server_host + " is not reachable");

    // Each call: its RTP sender and its SIP dialog; the first opens the MRCP
    // connection, the others offer to share it.
    struct Call {
        std::unique_ptr<RtpSender> sender;
        SipSession sip;
        bool up = false;
    };
    const int count = o.calls;
    std::vector<std::unique_ptr<Call>> calls;
    std::vector<Leg> legs(static_cast<size_t>(count));
    std::vector<ServerAnswer> answers(static_cast<size_t>(count));
    std::vector<RtpFormat> formats(static_cast<size_t>(count), o.format);
    bool ready = true;
    for (int i = 0; i < count && ready; ++i) {
        const std::string prefix = count > 1 ? "call " + std::to_string(i + 1) + ": " : "";
        calls.push_back(std::make_unique<Call>());
        Call &call = *calls.back();
        call.sender = RtpSender::Open(local, 0, 0, &error);
        if (!call.sender) {
            ready = false;
            Fail(prefix + error);
            break;
        }
        ClientOffer offer;
        offer.address = local;
        offer.rtp_port = call.sender->port();
        offer.format = o.format;
        offer.existing_connection = i > 0;
        std::string answer_sdp;
        if (!call.sip.Open(local, &error) ||
            !call.sip.Invite(o.server, WriteOffer(offer), o.timeout_ms, &answer_sdp, &error)) {
            ready = false;
            Fail(prefix + error);
            break;
        }
        call.up = true;
        ServerAnswer &answer = answers[static_cast<size_t>(i)];
        RtpFormat &format = formats[static_cast<size_t>(i)];
        if (!ReadAnswer(answer_sdp, offer, &answer, &error)) {
            Fail(prefix + "unusable answer: " + error);
            ready = false;
        } else if ((format.event_payload_type = answer.event_payload_type) < 0 &&
                   o.mode == ClientOptions::Mode::kDtmf) {
            Fail(prefix + "the server did not accept telephone-event: digits cannot be sent");
            ready = false;
        } else if (i > 0 && (answer.mrcp_address != answers[0].mrcp_address ||
                             answer.mrcp_port != answers[0].mrcp_port)) {
            Fail(prefix + "the server answered another MRCP address than the first call's");
            ready = false;
        }
        Leg &leg = legs[static_cast<size_t>(i)];
        leg.channel = answer.channel;
        leg.prefix = prefix;
        leg.sender = call.sender.get();
        leg.label = o.mode == ClientOptions::Mode::kDtmf ? "dtmf" : "recognize";
        if (count > 1) leg.label += "/" + std::to_string(i + 1);
    }
    int code = 1;
    MrcpSession mrcp;
    if (ready && !mrcp.Connect(answers[0].mrcp_address, answers[0].mrcp_port, o.timeout_ms, &error))
        ready = Fail(error) == 0;
    for (int i = 0; i < count && ready; ++i) {
        const ServerAnswer &answer = answers[static_cast<size_t>(i)];
        if (!calls[static_cast<size_t>(i)]->sender->Start(
                formats[static_cast<size_t>(i)], answer.rtp_address, answer.rtp_port, &error))
            ready = Fail(legs[static_cast<size_t>(i)].prefix + error) == 0;
    }
    if (ready) {
        // SIP is serviced while MRCP is awaited; a server's BYE or a signal
        // ends the wait.
        auto idle = [&calls] {
            bool up = !interrupted;
            for (auto &call : calls) {
                call->sip.Step(0);
                up = up && !call->sip.ended();
            }
            return up;
        };
        code = Recognize(o, audio, &legs, &mrcp, idle, print, start);
        if (interrupted) Fail("interrupted: hanging up");
    }
    for (size_t i = 0; i < calls.size(); ++i) {
        Call &call = *calls[i];
        if (!call.up) continue;
        if (call.sip.ended()) {
            Fail(legs[i].prefix + "the server ended the call");
            code = 1;
        } else if (!call.sip.Bye(o.timeout_ms, &error)) {
            Fail(legs[i].prefix + error);
            code = 1;
        }
    }
    return code;
}

}  // namespace vantor
