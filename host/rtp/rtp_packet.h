// RTP packets (RFC 3550 section 5.1) and RFC 4733 telephone-event payloads:
// plain bytes in, bytes out. A parse never reads past the datagram, whatever
// its header claims.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vantor {

constexpr size_t kRtpHeaderSize = 12;  // fixed header, without CSRCs or extension

struct RtpHeader {
    bool marker = false;
    uint8_t payload_type = 0;
    uint16_t sequence = 0;
    uint32_t timestamp = 0;
    uint32_t ssrc = 0;
};

enum class RtpParse {
    kRtp,     // header filled, payload set
    kRtcp,    // an RTCP packet (multiplexed on the RTP port, RFC 5761)
    kInvalid  // not RTP version 2, or lengths that do not fit the datagram
};

// Parses one datagram; on kRtp, payload/payload_size point into data (CSRCs,
// extension and padding skipped).
RtpParse ParseRtp(const uint8_t *data, size_t size, RtpHeader *header, const uint8_t **payload,
                  size_t *payload_size);
// Appends the 12-byte header (no CSRCs, no extension) to out.
void WriteRtpHeader(const RtpHeader &header, std::vector<uint8_t> *out);

// RFC 4733 section 2.3: a named event's payload.
struct TelephoneEvent {
    uint8_t event = 0;  // 0-9, 10 '*', 11 '#', 12-15 'A'-'D', others not DTMF
    bool end = false;
    uint8_t volume = 0;     // -dBm0, 0-63
    uint16_t duration = 0;  // in timestamp units since the event's timestamp
};
constexpr size_t kTelephoneEventSize = 4;

// False when the payload is shorter than one event (trailing events ignored).
bool ParseTelephoneEvent(const uint8_t *payload, size_t size, TelephoneEvent *event);
void WriteTelephoneEvent(const TelephoneEvent &event, std::vector<uint8_t> *out);

}  // namespace vantor
