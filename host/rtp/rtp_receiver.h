// One call's incoming RTP (RFC 3550) on a local even port, turned into the
// 10 ms frames a channel's sink stream takes: G.711 and L16 decoded to 16-bit
// linear, ordered by a jitter buffer, silence for lost packets, and DTMF as
// the host's named-event frames, from RFC 4733 telephone-events or, when the
// offer has none, detected in the audio.
//
// Threads: Open, Start and stats from any thread (the signalling side);
// Next only from the media thread, once per tick, and it never blocks on the
// network. Packets are read from the socket by Next itself (non-blocking), so
// a receiver costs no thread of its own.
//
// The socket reading and the jitter buffer are this library's own rather than
// oRTP's RtpSession: oRTP either takes packets from any source or has the
// kernel filter them (nothing to count), follows payload type changes where a
// call must drop and count them, estimates its playout delay from packet
// arrival times on its own clock rather than from the media clock's ticks, and
// keeps process-wide state (init, global statistics, logging) that hundreds
// of calls would share. spandsp does the G.711 and tone-detection work.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "frame_source.h"
#include "mpf_frame.h"

namespace vantor {

enum class RtpEncoding { kPcmu, kPcma, kL16 };

struct RtpFormat {
    RtpEncoding encoding = RtpEncoding::kPcmu;
    int payload_type = 0;
    unsigned rate = 8000;
    int event_payload_type = -1;  // -1: no telephone-event: in-band DTMF detection
};

struct RtpStats {
    uint64_t packets = 0;  // accepted media and event packets
    uint64_t lost = 0;     // packets never received in time (their frames played as silence)
    uint64_t late = 0;     // packets that arrived after their time had been played
    uint64_t wrong_source = 0;
    uint64_t wrong_payload_type = 0;  // includes datagrams that are not RTP at all
    uint64_t rtcp = 0;
    uint64_t events = 0;  // DTMF digits delivered (one per RFC 4733 event or detected tone)
};

class RtpReceiver : public FrameSource {
  public:
    // Binds an even port in [port_min, port_max] on address (RTCP on port+1);
    // nullptr with a reason.
    static std::unique_ptr<RtpReceiver> Open(const std::string &address, unsigned port_min,
                                             unsigned port_max, unsigned jitter_ms,
                                             std::string *error);
    ~RtpReceiver() override;
    RtpReceiver(const RtpReceiver &) = delete;
    RtpReceiver &operator=(const RtpReceiver &) = delete;

    unsigned port() const;
    // The negotiated format and the peer packets must come from (SDP c= and
    // m=audio port). Until Start, packets are read and dropped. Call before
    // the media clock attaches the receiver: the frame size follows the rate,
    // which is fixed once frames are taken (a later Start keeps it).
    void Start(const RtpFormat &format, const std::string &remote_address, unsigned remote_port);

    unsigned sampling_rate() const override;
    bool Next(mpf_frame_t *frame, int16_t *buffer) override;  // media thread, every 10 ms
    // Media thread: reads what the sockets hold (a bounded number of
    // datagrams) without playing a frame; Next does it first.
    void Receive();
    RtpStats stats() const;

  private:
    struct Impl;
    explicit RtpReceiver(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace vantor
