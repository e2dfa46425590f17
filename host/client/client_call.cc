#include "client_call.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

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

// One recognition on an open channel: RECOGNIZE, the input streamed once it
// is in progress, START-OF-INPUT and RECOGNITION-COMPLETE printed (or the
// refusing response, or the STOP's response when asked to stop). The exit
// status.
int Recognize(const ClientOptions &o, const WavAudio &audio, const std::string &channel,
              MrcpSession *mrcp, RtpSender *sender, const std::function<bool()> &idle,
              const std::function<void(const MessageRecord &)> &print,
              std::chrono::steady_clock::time_point start) {
    using Clock = std::chrono::steady_clock;
    std::string error;
    std::vector<std::pair<std::string, std::string>> headers = {{"Content-Type", "text/uri-list"}};
    headers.insert(headers.end(), o.headers.begin(), o.headers.end());
    if (!mrcp->SendRequest(channel, "RECOGNIZE", kRequestId, headers, o.grammar + "\r\n", &error))
        return Fail(error);
    const long input_ms =
        o.mode == ClientOptions::Mode::kDtmf
            ? static_cast<long>(kDtmfLeadMs + o.digits.size() * (kDtmfOnMs + kDtmfOffMs))
            : static_cast<long>(audio.samples.size() * 1000 / o.format.rate);
    apr_pool_t *pool = nullptr;
    apr_pool_create(&pool, nullptr);
    std::thread media;
    auto until = Clock::now() + std::chrono::milliseconds(o.timeout_ms);
    Clock::time_point stop_at = Clock::time_point::max();
    bool in_progress = false;
    bool stop_sent = false;
    int code = 1;
    for (bool done = false; !done;) {
        const auto now = Clock::now();
        if (!stop_sent && now >= stop_at) {
            stop_sent = true;
            until = now + std::chrono::milliseconds(o.timeout_ms);
            if (!mrcp->SendRequest(channel, "STOP", kStopId, {}, "", &error)) {
                Fail(error);
                break;
            }
        }
        const auto next = stop_sent ? until : std::min(until, stop_at);
        const long wait_ms = static_cast<long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count());
        mrcp_message_t *message = nullptr;
        const MrcpSession::Wait wait =
            mrcp->Receive(wait_ms > 0 ? wait_ms : 0, idle, pool, &message, &error);
        switch (wait) {
            case MrcpSession::Wait::kMessage:
                break;
            case MrcpSession::Wait::kTimeout:
                if (Clock::now() < until) continue;  // time to stop
                Fail(stop_sent     ? "no response to STOP"
                     : in_progress ? "no RECOGNITION-COMPLETE within " +
                                         std::to_string(kResultWaitMs + input_ms) + " ms"
                                   : "no response to RECOGNIZE");
                done = true;
                continue;
            case MrcpSession::Wait::kClosed:
                Fail("the server closed the MRCP connection");
                done = true;
                continue;
            case MrcpSession::Wait::kError:
                Fail(error);
                done = true;
                continue;
            case MrcpSession::Wait::kInterrupted:
                done = true;
                continue;
        }
        MessageRecord record;
        if (!MakeMessageRecord(message, &record, &error)) {
            Fail(error);
            break;
        }
        record.t = SecondsSince(start);
        record.channel = o.mode == ClientOptions::Mode::kDtmf ? "dtmf" : "recognize";
        apr_pool_clear(pool);
        if (!record.is_event && record.request_id == kStopId) {
            print(record);  // the recognition ended without a result
            break;
        }
        if (record.request_id != kRequestId) continue;
        if (!record.is_event) {
            if (record.state != "IN-PROGRESS") {
                print(record);  // refused
                break;
            }
            in_progress = true;
            until = Clock::now() + std::chrono::milliseconds(kResultWaitMs + input_ms);
            if (o.stop_after_ms >= 0)
                stop_at = Clock::now() + std::chrono::milliseconds(o.stop_after_ms);
            media = std::thread(StreamInput, std::cref(o), std::cref(audio), sender);
            continue;
        }
        if (record.id == RECOGNIZER_START_OF_INPUT) print(record);
        if (record.id == RECOGNIZER_RECOGNITION_COMPLETE) {
            print(record);
            if (record.cause == RECOGNIZER_COMPLETION_CAUSE_SUCCESS ||
                record.cause == RECOGNIZER_COMPLETION_CAUSE_SUCCESS_MAXTIME)
                code = 0;
            break;
        }
    }
    if (media.joinable()) {
        sender->Stop();
        media.join();
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

    auto sender = RtpSender::Open(local, 0, 0, &error);
    if (!sender) return Fail(error);
    ClientOffer offer;
    offer.address = local;
    offer.rtp_port = sender->port();
    offer.format = o.format;

    SipSession sip;
    std::string answer_sdp;
    if (!sip.Open(local, &error) ||
        !sip.Invite(o.server, WriteOffer(offer), o.timeout_ms, &answer_sdp, &error))
        return Fail(error);
    int code = 1;
    ServerAnswer answer;
    MrcpSession mrcp;
    RtpFormat format = o.format;
    if (!ReadAnswer(answer_sdp, offer, &answer, &error)) {
        Fail("unusable answer: " + error);
    } else if ((format.event_payload_type = answer.event_payload_type) < 0 &&
               o.mode == ClientOptions::Mode::kDtmf) {
        Fail("the server did not accept telephone-event: digits cannot be sent");
    } else if (!mrcp.Connect(answer.mrcp_address, answer.mrcp_port, o.timeout_ms, &error) ||
               !sender->Start(format, answer.rtp_address, answer.rtp_port, &error)) {
        Fail(error);
    } else {
        // SIP is serviced while MRCP is awaited; the server's BYE or a signal
        // ends the wait.
        auto idle = [&sip] {
            sip.Step(0);
            return !sip.ended() && !interrupted;
        };
        code = Recognize(o, audio, answer.channel, &mrcp, sender.get(), idle, print, start);
        if (interrupted) Fail("interrupted: hanging up");
    }
    if (sip.ended()) {
        Fail("the server ended the call");
        code = 1;
    } else if (!sip.Bye(o.timeout_ms, &error)) {
        Fail(error);
        code = 1;
    }
    return code;
}

}  // namespace vantor
