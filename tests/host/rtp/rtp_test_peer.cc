#include "rtp_test_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "mpf_frame.h"
#include "rtp_socket.h"

using namespace vantor;

namespace KoralTest {

RtpPeer::RtpPeer() {
    UdpEndpoint any;
    ResolveEndpoint("127.0.0.1", 0, &any);
    fd_ = BindUdp(any);
    port_ = BoundPort(fd_);
}

RtpPeer::~RtpPeer() { close(fd_); }

void RtpPeer::SendTo(unsigned port, const std::vector<uint8_t> &datagram) const {
    UdpEndpoint to;
    ResolveEndpoint("127.0.0.1", port, &to);
    // Loopback sends to a socket with buffer room do not fail.
    ASSERT_EQ(sendto(fd_, datagram.data(), datagram.size(), 0,
                     reinterpret_cast<const sockaddr *>(&to.addr), to.len),
              static_cast<ssize_t>(datagram.size()));
}

void RtpPeer::SendRtp(unsigned port, const RtpHeader &header,
                      const std::vector<uint8_t> &payload) const {
    std::vector<uint8_t> packet;
    WriteRtpHeader(header, &packet);
    packet.insert(packet.end(), payload.begin(), payload.end());
    SendTo(port, packet);
}

std::vector<std::vector<uint8_t>> RtpPeer::Receive(size_t count) const {
    std::vector<std::vector<uint8_t>> got;
    while (got.size() < count) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0) break;
        std::vector<uint8_t> datagram(65536);
        const ssize_t n = recv(fd_, datagram.data(), datagram.size(), 0);
        if (n < 0) continue;
        datagram.resize(static_cast<size_t>(n));
        got.push_back(std::move(datagram));
    }
    return got;
}

uint64_t Seen(const RtpStats &s) {
    return s.packets + s.wrong_source + s.wrong_payload_type + s.rtcp;
}

void WaitSeen(RtpReceiver *receiver, uint64_t count) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (Seen(receiver->stats()) < count && std::chrono::steady_clock::now() < give_up) {
        receiver->Receive();
        if (Seen(receiver->stats()) < count)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(Seen(receiver->stats()), count);
}

std::vector<PlayedFrame> Play(RtpReceiver *receiver, size_t frames) {
    std::vector<PlayedFrame> played;
    const size_t samples = receiver->sampling_rate() / 100;
    for (size_t i = 0; i < frames; ++i) {
        PlayedFrame f;
        f.audio.assign(samples, 0x7777);
        mpf_frame_t frame;
        f.input = receiver->Next(&frame, f.audio.data());
        EXPECT_EQ(frame.codec_frame.buffer, f.audio.data());
        EXPECT_EQ(frame.codec_frame.size, samples * sizeof(int16_t));
        f.type = frame.type;
        f.marker = frame.marker;
        f.event_id = frame.event_frame.event_id;
        f.duration = frame.event_frame.duration;
        played.push_back(std::move(f));
    }
    return played;
}

std::vector<int16_t> Joined(const std::vector<PlayedFrame> &frames) {
    std::vector<int16_t> all;
    for (const PlayedFrame &f : frames) all.insert(all.end(), f.audio.begin(), f.audio.end());
    return all;
}

DigitRuns FindDigits(const std::vector<PlayedFrame> &frames) {
    DigitRuns runs;
    bool open = false;
    uint32_t id = 0;
    uint32_t step = 0;
    uint32_t last = 0;
    for (const PlayedFrame &f : frames) {
        const bool event = f.type & MEDIA_FRAME_TYPE_EVENT;
        if (!event) {
            if (open || f.marker != MPF_MARKER_NONE) runs.well_formed = false;
            continue;
        }
        if (!(f.type & MEDIA_FRAME_TYPE_AUDIO)) runs.well_formed = false;
        if (!open) {
            if (f.marker != MPF_MARKER_START_OF_EVENT) runs.well_formed = false;
            open = true;
            id = f.event_id;
            step = f.duration;
            last = f.duration;
            runs.digits += mpf_event_id_to_dtmf_char(id);
            continue;
        }
        if (f.event_id != id || f.duration != last + step || f.marker == MPF_MARKER_START_OF_EVENT)
            runs.well_formed = false;
        last = f.duration;
        if (f.marker == MPF_MARKER_END_OF_EVENT) open = false;
    }
    if (open) runs.well_formed = false;
    return runs;
}

}  // namespace KoralTest
