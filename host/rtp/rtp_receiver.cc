#include "rtp_receiver.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

#include "apt_log.h"
#include "dtmf_events.h"
#include "jitter_buffer.h"
#include "rtp_codec.h"
#include "rtp_packet.h"
#include "rtp_socket.h"

namespace vantor {

namespace {
// Datagrams read from each socket per 10 ms tick: a flood on one port costs
// the media thread (which serves every channel) a bounded share; the rest
// waits in, and overflows, the socket's own buffer.
constexpr int kMaxReadsPerTick = 128;
// Largest datagram taken: 120 ms of 16 kHz L16 and its header. Longer ones
// are not audio this side negotiated.
constexpr size_t kMaxDatagram = 4096;
// The jitter buffer keeps up to this much audio ahead of its depth.
constexpr unsigned kAheadMs = 1000;
// Telephone events further than this from the playout are not kept.
constexpr unsigned kEventHorizonMs = 4000;

// Log lines for drops of one kind: the 1st, 10th, 100th... so a flood is
// reported without flooding the log.
bool Worth(uint64_t count) {
    while (count >= 10 && count % 10 == 0) count /= 10;
    return count == 1;
}

// RFC 3550 appendix A.1, reduced: packets expected from the extended
// highest sequence number against distinct packets received (duplicates
// within the last 64 numbers are recognised and do not hide a loss).
class SequenceCounter {
  public:
    // The next packet starts a new count; what was lost so far is kept.
    void Restart() {
        if (started_) lost_before_ += Current();
        started_ = false;
    }
    // False for a duplicate.
    bool Count(uint16_t seq) {
        const uint16_t delta = static_cast<uint16_t>(seq - max_);
        if (started_ && delta >= kMaxDropout && delta <= 65536 - kMaxMisorder)
            Restart();  // a jump: the sender restarted its sequence numbers
        if (!started_) {
            started_ = true;
            base_ = seq;
            max_ = seq;
            cycles_ = 0;
            received_ = 1;
            seen_ = 1;
            return true;
        }
        const uint16_t ahead = static_cast<uint16_t>(seq - max_);
        if (ahead != 0 && ahead < kMaxDropout) {
            if (seq < max_) cycles_ += 65536;
            max_ = seq;
            seen_ = ahead < 64 ? (seen_ << ahead) | 1 : 1;
        } else {
            const uint16_t behind = static_cast<uint16_t>(max_ - seq);
            if (behind < 64) {
                if (seen_ & (uint64_t{1} << behind)) return false;
                seen_ |= uint64_t{1} << behind;
            }
        }
        ++received_;
        return true;
    }
    uint64_t Lost() const { return lost_before_ + (started_ ? Current() : 0); }

  private:
    uint64_t Current() const {
        const int64_t expected = static_cast<int64_t>(cycles_) + max_ - base_ + 1;
        const int64_t lost = expected - static_cast<int64_t>(received_);
        return static_cast<uint64_t>(lost > 0 ? lost : 0);
    }
    static constexpr uint16_t kMaxDropout = 3000;
    static constexpr uint16_t kMaxMisorder = 100;
    bool started_ = false;
    uint16_t base_ = 0;
    uint16_t max_ = 0;
    uint64_t cycles_ = 0;
    uint64_t received_ = 0;
    uint64_t seen_ = 0;  // bit n: max_ - n received
    uint64_t lost_before_ = 0;
};

apt_log_source_t *RtpLogSource() {
    static apt_log_source_t *source = [] {
        apt_log_source_t *s = nullptr;
        apt_log_source_assign("RTP", &s);
        return s;
    }();
    return source;
}
}  // namespace

struct RtpReceiver::Impl {
    int rtp_fd = -1;
    int rtcp_fd = -1;
    unsigned port = 0;
    unsigned jitter_ms = 60;

    // Set by Start (any thread), taken by the media thread.
    mutable std::mutex mutex;
    RtpFormat format;
    UdpEndpoint remote;
    bool any_source = false;
    bool started = false;
    bool attached = false;  // frames taken: their size (the rate) is fixed from now on
    uint64_t generation = 0;
    RtpStats shared_stats;

    // Media thread only.
    uint64_t applied_generation = 0;
    RtpFormat active;
    UdpEndpoint active_remote;
    bool active_any_source = false;
    bool active_started = false;
    size_t frame_samples = 80;
    std::optional<JitterBuffer> jitter;
    std::optional<TelephoneEvents> events;
    std::optional<InbandDtmf> inband;
    SequenceCounter sequence;
    bool have_ssrc = false;
    uint32_t ssrc = 0;
    RtpStats stats;
    std::vector<uint8_t> datagram = std::vector<uint8_t>(kMaxDatagram + 1);
    std::vector<int16_t> decoded;

    ~Impl() {
        if (rtp_fd >= 0) close(rtp_fd);
        if (rtcp_fd >= 0) close(rtcp_fd);
    }

    void Apply();
    void ReadRtcp();
    void ReadRtp();
    void Accept(const RtpHeader &header, const uint8_t *payload, size_t size,
                const sockaddr_storage &from);
};

void RtpReceiver::Impl::Apply() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        attached = true;
        if (generation == applied_generation && jitter) return;
        applied_generation = generation;
        active = format;
        active_remote = remote;
        active_any_source = any_source;
        active_started = started;
    }
    frame_samples = active.rate / 100;
    jitter.emplace(frame_samples, static_cast<size_t>(active.rate) * jitter_ms / 1000,
                   static_cast<size_t>(active.rate) * kAheadMs / 1000);
    events.reset();
    inband.reset();
    if (active.event_payload_type >= 0)
        events.emplace(frame_samples, active.rate * kEventHorizonMs / 1000);
    else
        inband.emplace(active.rate);
    sequence.Restart();
    have_ssrc = false;
}

void RtpReceiver::Impl::ReadRtcp() {
    for (int i = 0; i < kMaxReadsPerTick; ++i) {
        const ssize_t n = recv(rtcp_fd, datagram.data(), datagram.size(), MSG_TRUNC);
        if (n < 0) break;
        ++stats.rtcp;  // reports are of no use to a recognizer: read and let go
    }
}

void RtpReceiver::Impl::ReadRtp() {
    for (int i = 0; i < kMaxReadsPerTick; ++i) {
        sockaddr_storage from{};
        socklen_t from_len = sizeof(from);
        const ssize_t n = recvfrom(rtp_fd, datagram.data(), datagram.size(), MSG_TRUNC,
                                   reinterpret_cast<sockaddr *>(&from), &from_len);
        if (n < 0) break;
        if (!active_started) continue;  // no call yet: nobody to hear it
        if (!active_any_source && !SameEndpoint(from, active_remote)) {
            if (Worth(++stats.wrong_source))
                apt_log(RtpLogSource(), APT_LOG_MARK, APT_PRIO_WARNING,
                        "RTP port %u: packet from unexpected source %s dropped (%llu so far)", port,
                        EndpointText(from).c_str(),
                        static_cast<unsigned long long>(stats.wrong_source));
            continue;
        }
        RtpHeader header;
        const uint8_t *payload = nullptr;
        size_t size = 0;
        const RtpParse parsed =
            static_cast<size_t>(n) > kMaxDatagram
                ? RtpParse::kInvalid
                : ParseRtp(datagram.data(), static_cast<size_t>(n), &header, &payload, &size);
        if (parsed == RtpParse::kRtcp) {
            ++stats.rtcp;
            continue;
        }
        if (parsed == RtpParse::kInvalid) {
            if (Worth(++stats.wrong_payload_type))
                apt_log(RtpLogSource(), APT_LOG_MARK, APT_PRIO_WARNING,
                        "RTP port %u: %zd-byte datagram from %s is not RTP, dropped (%llu so far)",
                        port, n, EndpointText(from).c_str(),
                        static_cast<unsigned long long>(stats.wrong_payload_type));
            continue;
        }
        Accept(header, payload, size, from);
    }
}

void RtpReceiver::Impl::Accept(const RtpHeader &header, const uint8_t *payload, size_t size,
                               const sockaddr_storage &from) {
    const bool media = header.payload_type == active.payload_type;
    const bool event =
        active.event_payload_type >= 0 && header.payload_type == active.event_payload_type;
    if (!media && !event) {
        if (Worth(++stats.wrong_payload_type))
            apt_log(RtpLogSource(), APT_LOG_MARK, APT_PRIO_WARNING,
                    "RTP port %u: payload type %u from %s not negotiated, dropped (%llu so far)",
                    port, header.payload_type, EndpointText(from).c_str(),
                    static_cast<unsigned long long>(stats.wrong_payload_type));
        return;
    }
    if (!have_ssrc || header.ssrc != ssrc) {
        if (have_ssrc)
            apt_log(RtpLogSource(), APT_LOG_MARK, APT_PRIO_NOTICE,
                    "RTP port %u: source %08x replaced by %08x: playout restarted", port, ssrc,
                    header.ssrc);
        // A new stream: its timestamps and sequence numbers start afresh.
        have_ssrc = true;
        ssrc = header.ssrc;
        sequence.Restart();
        jitter->Reset();
        if (events) events->Reset();
    }
    ++stats.packets;
    if (!sequence.Count(header.sequence)) return;  // a duplicate: its samples are in place
    if (media) {
        decoded.clear();
        RtpDecode(active.encoding, payload, size, &decoded);
        if (jitter->Put(header.timestamp, decoded.data(), decoded.size()) ==
            JitterBuffer::PutResult::kLate)
            ++stats.late;
        return;
    }
    TelephoneEvent ev;
    if (!ParseTelephoneEvent(payload, size, &ev)) {
        if (Worth(++stats.wrong_payload_type))
            apt_log(RtpLogSource(), APT_LOG_MARK, APT_PRIO_WARNING,
                    "RTP port %u: telephone-event of %zu bytes from %s dropped", port, size,
                    EndpointText(from).c_str());
        return;
    }
    if (events->Put(header.timestamp, ev, jitter->started(), jitter->playout()) ==
        TelephoneEvents::Result::kLate)
        ++stats.late;
}

std::unique_ptr<RtpReceiver> RtpReceiver::Open(const std::string &address, unsigned port_min,
                                               unsigned port_max, unsigned jitter_ms,
                                               std::string *error) {
    auto impl = std::make_unique<Impl>();
    if (!BindRtpPair(address, port_min, port_max, &impl->rtp_fd, &impl->rtcp_fd, &impl->port,
                     error)) {
        apt_log(RtpLogSource(), APT_LOG_MARK, APT_PRIO_WARNING, "RTP receiver not opened: %s",
                error->c_str());
        return nullptr;
    }
    impl->jitter_ms = jitter_ms;
    return std::unique_ptr<RtpReceiver>(new RtpReceiver(std::move(impl)));
}

RtpReceiver::RtpReceiver(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
RtpReceiver::~RtpReceiver() = default;

unsigned RtpReceiver::port() const { return impl_->port; }

void RtpReceiver::Start(const RtpFormat &format, const std::string &remote_address,
                        unsigned remote_port) {
    RtpFormat checked = format;
    if (checked.rate != 8000 && checked.rate != 16000) {
        apt_log(RtpLogSource(), APT_LOG_MARK, APT_PRIO_WARNING,
                "RTP port %u: rate %u not supported, 8000 taken", impl_->port, checked.rate);
        checked.rate = 8000;
    }
    if (checked.encoding != RtpEncoding::kL16) checked.rate = 8000;  // G.711 is 8 kHz only
    UdpEndpoint remote;
    // An unspecified peer (0.0.0.0, port 0, or not numeric) takes packets from anywhere.
    const bool known = ResolveEndpoint(remote_address, remote_port, &remote) && remote_port != 0 &&
                       remote_address != "0.0.0.0" && remote_address != "::";
    if (!known)
        apt_log(RtpLogSource(), APT_LOG_MARK, APT_PRIO_NOTICE,
                "RTP port %u: peer %s:%u unspecified, packets taken from any source", impl_->port,
                remote_address.c_str(), remote_port);
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (impl_->attached && checked.rate != impl_->format.rate) {
        // The media clock sized its frame buffer from the rate it saw.
        apt_log(RtpLogSource(), APT_LOG_MARK, APT_PRIO_ERROR,
                "RTP port %u: rate change to %u while frames are taken refused, %u kept",
                impl_->port, checked.rate, impl_->format.rate);
        checked.rate = impl_->format.rate;
    }
    impl_->format = checked;
    impl_->remote = remote;
    impl_->any_source = !known;
    impl_->started = true;
    ++impl_->generation;
}

unsigned RtpReceiver::sampling_rate() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->format.rate;
}

bool RtpReceiver::Next(mpf_frame_t *frame, int16_t *buffer) {
    Impl &m = *impl_;
    Receive();

    memset(frame, 0, sizeof(*frame));
    frame->type = MEDIA_FRAME_TYPE_AUDIO;
    frame->codec_frame.buffer = buffer;
    frame->codec_frame.size = m.frame_samples * sizeof(int16_t);
    uint32_t playout = 0;
    bool input = m.jitter && m.jitter->Take(buffer, &playout);
    if (!m.jitter) memset(buffer, 0, m.frame_samples * sizeof(int16_t));
    bool digit = false;
    if (m.jitter && m.jitter->started()) {
        if (m.events)
            digit = m.events->Annotate(playout, frame);
        else if (m.inband)
            digit = m.inband->Process(buffer, frame);
    }
    if (digit) ++m.stats.events;
    input = input || (frame->type & MEDIA_FRAME_TYPE_EVENT);
    std::lock_guard<std::mutex> lock(m.mutex);
    m.shared_stats = m.stats;
    return input;
}

void RtpReceiver::Receive() {
    Impl &m = *impl_;
    m.Apply();
    m.ReadRtcp();
    m.ReadRtp();
    m.stats.lost = m.sequence.Lost();
    std::lock_guard<std::mutex> lock(m.mutex);
    m.shared_stats = m.stats;
}

RtpStats RtpReceiver::stats() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->shared_stats;
}

}  // namespace vantor
