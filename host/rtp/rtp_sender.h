// The sending side of a call's audio, for the client: PCM encoded to the
// negotiated format in 20 ms RTP packets sent at real-time pace (sequence
// numbers, timestamps, SSRC and marker as RFC 3550 wants them), and DTMF as
// RFC 4733 telephone-events (a start packet, updates, three end packets).
//
// The sending calls block for the audio's duration; Stop from any other
// thread makes them return at once.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "rtp_receiver.h"
#include "rtp_socket.h"

namespace vantor {

class RtpSender {
  public:
    // Binds an even port (RTCP above it) in [port_min, port_max] on address
    // (both 0: any); packets go out from it, so it is the port to offer.
    static std::unique_ptr<RtpSender> Open(const std::string &address, unsigned port_min,
                                           unsigned port_max, std::string *error);
    ~RtpSender();
    RtpSender(const RtpSender &) = delete;
    RtpSender &operator=(const RtpSender &) = delete;

    unsigned port() const { return port_; }
    // The negotiated format and where to send; false when the peer is not a
    // numeric address or the format is not one this side can encode.
    bool Start(const RtpFormat &format, const std::string &remote_address, unsigned remote_port,
               std::string *error);

    // Sends samples at the format's rate, the last packet padded with silence.
    // False when stopped or a send failed.
    bool SendAudio(const int16_t *samples, size_t count);
    bool SendSilence(unsigned ms);
    // Each digit as an event lasting on_ms, then off_ms of silence; false,
    // sending nothing, when a digit is not one of 0-9 * # A-D, or when the
    // format has no telephone-event payload type.
    bool SendDtmf(const std::string &digits, unsigned on_ms, unsigned off_ms);
    void Stop();

    uint64_t packets_sent() const { return packets_sent_.load(); }

  private:
    RtpSender(int rtp_fd, int rtcp_fd, unsigned port);
    // Waits until the next packet is due; false when stopped.
    bool Pace();
    bool SendPacket(int payload_type, bool marker, uint32_t timestamp,
                    const std::vector<uint8_t> &payload);
    bool SendFrames(const int16_t *samples, size_t count);

    const int rtp_fd_;
    const int rtcp_fd_;
    const unsigned port_;
    RtpFormat format_;
    UdpEndpoint remote_;
    size_t packet_samples_ = 160;

    uint16_t sequence_;
    uint32_t timestamp_;
    const uint32_t ssrc_;
    bool marker_ = true;  // the first packet starts a talkspurt
    bool pacing_ = false;
    std::chrono::steady_clock::time_point due_;
    std::atomic<uint64_t> packets_sent_{0};

    std::mutex stop_mutex_;
    std::condition_variable stop_cond_;
    bool stop_ = false;
};

}  // namespace vantor
