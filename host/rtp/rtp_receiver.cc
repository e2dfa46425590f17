#include "rtp_receiver.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

#include "apt_log.h"
#include "rtp_socket.h"
#include "rtp_stream.h"

namespace vantor {

namespace {
// Datagrams read from each socket per 10 ms tick: a flood on one port costs
// the media thread (which serves every channel) a bounded share; the rest
// waits in, and overflows, the socket's own buffer.
constexpr int kMaxReadsPerTick = 128;
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
    bool active_started = false;
    std::optional<RtpStream> stream;
    std::vector<uint8_t> datagram = std::vector<uint8_t>(kRtpMaxDatagram + 1);

    ~Impl() {
        if (rtp_fd >= 0) close(rtp_fd);
        if (rtcp_fd >= 0) close(rtcp_fd);
    }

    void Apply();
    void Read();
    void Publish() {
        const RtpStats &s = stream->stats();
        std::lock_guard<std::mutex> lock(mutex);
        shared_stats = s;
    }
};

void RtpReceiver::Impl::Apply() {
    RtpFormat f;
    UdpEndpoint r;
    bool any = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        attached = true;
        if (generation == applied_generation && stream) return;
        applied_generation = generation;
        f = format;
        r = remote;
        any = any_source;
        active_started = started;
    }
    if (!stream) stream.emplace(port, jitter_ms);
    stream->Configure(f, r, any);
}

void RtpReceiver::Impl::Read() {
    for (int i = 0; i < kMaxReadsPerTick; ++i) {
        const ssize_t n = recv(rtcp_fd, datagram.data(), datagram.size(), MSG_TRUNC);
        if (n < 0) break;
        stream->Rtcp();  // reports are of no use to a recognizer: read and let go
    }
    for (int i = 0; i < kMaxReadsPerTick; ++i) {
        sockaddr_storage from{};
        socklen_t from_len = sizeof(from);
        const ssize_t n = recvfrom(rtp_fd, datagram.data(), datagram.size(), MSG_TRUNC,
                                   reinterpret_cast<sockaddr *>(&from), &from_len);
        if (n < 0) break;
        if (!active_started) continue;  // no call yet: nobody to hear it
        stream->Datagram(datagram.data(), static_cast<size_t>(n), from);
    }
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
    m.Apply();
    m.Read();
    const bool input = m.stream->Play(frame, buffer);
    m.Publish();
    return input;
}

void RtpReceiver::Receive() {
    Impl &m = *impl_;
    m.Apply();
    m.Read();
    m.Publish();
}

RtpStats RtpReceiver::stats() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->shared_stats;
}

}  // namespace vantor
