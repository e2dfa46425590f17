// One call's incoming stream without its sockets: datagrams in (with the
// address they came from), 10 ms frames out. Checks each datagram against
// the negotiated peer, format and source, decodes it into the jitter buffer,
// tracks sequence numbers for loss, and turns telephone events or in-band
// tones into digit frames. Counts what it drops, and logs the 1st, 10th,
// 100th... drop of each kind (and change of source).
//
// Plain state for one thread (the media thread); RtpReceiver feeds it from
// its sockets, tests and fuzz targets feed it bytes.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "apt_log.h"
#include "dtmf_events.h"
#include "jitter_buffer.h"
#include "mpf_frame.h"
#include "rtp_packet.h"
#include "rtp_receiver.h"
#include "rtp_socket.h"

namespace vantor {

// The log source of the RTP media path's lines ("RTP").
apt_log_source_t *RtpLogSource();

// Largest datagram taken: 120 ms of 16 kHz L16 and its header. Longer ones
// are not audio this side negotiated.
constexpr size_t kRtpMaxDatagram = 4096;

// RFC 3550 appendix A.1, reduced: packets expected from the extended
// highest sequence number against distinct packets received (duplicates
// within the last 64 numbers are recognised and do not hide a loss).
class SequenceCounter {
  public:
    // The next packet starts a new count; what was lost so far is kept.
    void Restart();
    // False for a duplicate.
    bool Count(uint16_t seq);
    uint64_t Lost() const { return lost_before_ + (started_ ? Current() : 0); }

  private:
    uint64_t Current() const;
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

class RtpStream {
  public:
    // port: for log lines only.
    RtpStream(unsigned port, unsigned jitter_ms);

    // The negotiated format and peer (any_source: take packets from anyone);
    // starts the stream afresh.
    void Configure(const RtpFormat &format, const UdpEndpoint &remote, bool any_source);
    // One datagram of size bytes (size may exceed what data holds when the
    // socket truncated it: it is then dropped as too long).
    void Datagram(const uint8_t *data, size_t size, const sockaddr_storage &from);
    // One RTCP datagram: counted, nothing else.
    void Rtcp() { ++stats_.rtcp; }
    // The next 10 ms frame (buffer holds frame_samples()); true when it
    // carried received audio or a digit.
    bool Play(mpf_frame_t *frame, int16_t *buffer);

    size_t frame_samples() const { return frame_samples_; }
    const RtpStats &stats();

  private:
    void Accept(const RtpHeader &header, const uint8_t *payload, size_t size,
                const sockaddr_storage &from);

    const unsigned port_;
    const unsigned jitter_ms_;
    RtpFormat format_;
    UdpEndpoint remote_;
    bool any_source_ = true;
    size_t frame_samples_ = 80;
    std::optional<JitterBuffer> jitter_;
    std::optional<TelephoneEvents> events_;
    std::optional<InbandDtmf> inband_;
    SequenceCounter sequence_;
    bool have_ssrc_ = false;
    uint32_t ssrc_ = 0;
    uint64_t source_changes_ = 0;
    RtpStats stats_;
    std::vector<int16_t> decoded_;
};

}  // namespace vantor
