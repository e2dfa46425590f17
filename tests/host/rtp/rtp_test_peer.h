// A test's side of an RTP stream: a bound UDP socket on 127.0.0.1 that sends
// hand-made datagrams (any header, payload or garbage) to a receiver, and a
// player that drains a receiver's sockets before playing its frames.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "rtp_packet.h"
#include "rtp_receiver.h"

namespace KoralTest {

using vantor::RtpHeader;
using vantor::RtpReceiver;
using vantor::RtpStats;

class RtpPeer {
  public:
    RtpPeer();
    ~RtpPeer();
    unsigned port() const { return port_; }
    void SendTo(unsigned port, const std::vector<uint8_t> &datagram) const;
    // An RTP packet with the given header fields and payload.
    void SendRtp(unsigned port, const RtpHeader &header, const std::vector<uint8_t> &payload) const;
    // Receives count datagrams (fewer after a few seconds without one).
    std::vector<std::vector<uint8_t>> Receive(size_t count) const;

  private:
    int fd_ = -1;
    unsigned port_ = 0;
};

// Datagrams a receiver has taken from its sockets, whatever became of them.
uint64_t Seen(const RtpStats &s);
// Receives until the receiver has seen count datagrams (fails the test after
// a few seconds).
void WaitSeen(RtpReceiver *receiver, uint64_t count);

struct PlayedFrame {
    bool input = false;
    int type = 0;
    int marker = 0;
    uint32_t event_id = 0;
    uint32_t duration = 0;
    std::vector<int16_t> audio;
};
std::vector<PlayedFrame> Play(RtpReceiver *receiver, size_t frames);
// Audio of the played frames, joined.
std::vector<int16_t> Joined(const std::vector<PlayedFrame> &frames);

// Digit runs found in played frames: each start-to-end run as its digit,
// and whether every run was well formed (start, middles, end, durations
// growing by one frame).
struct DigitRuns {
    std::string digits;
    bool well_formed = true;
};
DigitRuns FindDigits(const std::vector<PlayedFrame> &frames);

}  // namespace KoralTest
