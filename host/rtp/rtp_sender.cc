#include "rtp_sender.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>

#include "mpf_frame.h"
#include "rtp_codec.h"
#include "rtp_packet.h"

namespace vantor {

namespace {
constexpr auto kPacketTime = std::chrono::milliseconds(20);
// A sender that fell behind its schedule (a stalled thread, a busy machine)
// catches up by sending at once: the receiver's jitter buffer takes a burst
// and no audio is lost. Further behind than this (a caller that paused
// between sends) it starts a new talkspurt instead: marker set, timestamps
// advanced by the pause, so that a receiver is not handed seconds at once.
constexpr auto kMaxLag = std::chrono::milliseconds(1000);
constexpr uint8_t kEventVolume = 10;  // -dBm0
constexpr int kEndRepeats = 3;        // RFC 4733 section 2.5.1.4

uint32_t Random32() {
    static thread_local std::mt19937 engine(std::random_device{}());
    return static_cast<uint32_t>(engine());
}
}  // namespace

std::unique_ptr<RtpSender> RtpSender::Open(const std::string &address, unsigned port_min,
                                           unsigned port_max, std::string *error) {
    int rtp = -1;
    int rtcp = -1;
    unsigned port = 0;
    if (!BindRtpPair(address, port_min, port_max, &rtp, &rtcp, &port, error)) return nullptr;
    return std::unique_ptr<RtpSender>(new RtpSender(rtp, rtcp, port));
}

RtpSender::RtpSender(int rtp_fd, int rtcp_fd, unsigned port)
    : rtp_fd_(rtp_fd),
      rtcp_fd_(rtcp_fd),
      port_(port),
      sequence_(static_cast<uint16_t>(Random32())),
      timestamp_(Random32()),
      ssrc_(Random32()) {}

RtpSender::~RtpSender() {
    close(rtp_fd_);
    close(rtcp_fd_);
}

bool RtpSender::Start(const RtpFormat &format, const std::string &remote_address,
                      unsigned remote_port, std::string *error) {
    if (format.rate != 8000 && !(format.encoding == RtpEncoding::kL16 && format.rate == 16000)) {
        *error = "cannot send at " + std::to_string(format.rate) + " Hz in this encoding";
        return false;
    }
    if (!ResolveEndpoint(remote_address, remote_port, &remote_) || remote_port == 0) {
        *error = "RTP peer " + remote_address + ":" + std::to_string(remote_port) +
                 " is not a numeric address and port";
        return false;
    }
    format_ = format;
    packet_samples_ = format.rate / 50;
    return true;
}

void RtpSender::Stop() {
    {
        std::lock_guard<std::mutex> lock(stop_mutex_);
        stop_ = true;
    }
    stop_cond_.notify_all();
}

bool RtpSender::Pace() {
    const auto now = std::chrono::steady_clock::now();
    if (!pacing_) {
        pacing_ = true;
        due_ = now;
    } else if (now > due_ + kMaxLag) {
        const auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(now - due_);
        timestamp_ += static_cast<uint32_t>(gap.count() / 20 * static_cast<long>(packet_samples_));
        due_ = now;
        marker_ = true;
    }
    std::unique_lock<std::mutex> lock(stop_mutex_);
    if (stop_cond_.wait_until(lock, due_, [this] { return stop_; })) return false;
    due_ += kPacketTime;
    return true;
}

bool RtpSender::SendPacket(int payload_type, bool marker, uint32_t timestamp,
                           const std::vector<uint8_t> &payload) {
    RtpHeader header;
    header.marker = marker;
    header.payload_type = static_cast<uint8_t>(payload_type);
    header.sequence = sequence_++;
    header.timestamp = timestamp;
    header.ssrc = ssrc_;
    std::vector<uint8_t> packet;
    packet.reserve(kRtpHeaderSize + payload.size());
    WriteRtpHeader(header, &packet);
    packet.insert(packet.end(), payload.begin(), payload.end());
    const ssize_t n = sendto(rtp_fd_, packet.data(), packet.size(), 0,
                             reinterpret_cast<const sockaddr *>(&remote_.addr), remote_.len);
    // A full socket buffer or a refused datagram is a lost packet, as on any
    // network: the stream goes on.
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != ECONNREFUSED) return false;
    ++packets_sent_;
    return true;
}

bool RtpSender::SendFrames(const int16_t *samples, size_t count) {
    std::vector<int16_t> chunk(packet_samples_, 0);
    std::vector<uint8_t> payload;
    for (size_t at = 0; at < count; at += packet_samples_) {
        const size_t n = std::min(packet_samples_, count - at);
        if (samples)
            std::copy(samples + at, samples + at + n, chunk.begin());
        else
            std::fill(chunk.begin(), chunk.end(), 0);
        std::fill(chunk.begin() + static_cast<long>(n), chunk.end(), 0);
        payload.clear();
        RtpEncode(format_.encoding, chunk.data(), chunk.size(), &payload);
        if (!Pace()) return false;
        if (!SendPacket(format_.payload_type, marker_, timestamp_, payload)) return false;
        marker_ = false;
        timestamp_ += static_cast<uint32_t>(packet_samples_);
    }
    return true;
}

bool RtpSender::SendAudio(const int16_t *samples, size_t count) {
    return SendFrames(samples, count);
}

bool RtpSender::SendSilence(unsigned ms) {
    return SendFrames(nullptr, static_cast<size_t>(format_.rate) * ms / 1000);
}

bool RtpSender::SendDtmf(const std::string &digits, unsigned on_ms, unsigned off_ms) {
    if (format_.event_payload_type < 0) return false;
    for (char c : digits)
        if (mpf_dtmf_char_to_event_id(c) == 0xFF) return false;
    const unsigned packets = std::max(1u, on_ms / 20);
    std::vector<uint8_t> payload;
    for (char c : digits) {
        TelephoneEvent event;
        event.event = static_cast<uint8_t>(mpf_dtmf_char_to_event_id(c));
        event.volume = kEventVolume;
        const uint32_t start = timestamp_;
        for (unsigned i = 1; i <= packets; ++i) {
            if (!Pace()) return false;
            event.duration = static_cast<uint16_t>(i * packet_samples_);
            const int repeats = i == packets ? kEndRepeats : 1;
            event.end = i == packets;
            for (int r = 0; r < repeats; ++r) {
                payload.clear();
                WriteTelephoneEvent(event, &payload);
                if (!SendPacket(format_.event_payload_type, i == 1, start, payload)) return false;
            }
        }
        timestamp_ = start + static_cast<uint32_t>(packets * packet_samples_);
        marker_ = true;  // audio after an event starts a new talkspurt
        if (!SendSilence(off_ms)) return false;
    }
    return true;
}

}  // namespace vantor
