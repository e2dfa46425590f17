#include "rtp_packet.h"

namespace vantor {

namespace {
uint16_t Get16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t Get32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}
void Put16(uint16_t v, std::vector<uint8_t> *out) {
    out->push_back(static_cast<uint8_t>(v >> 8));
    out->push_back(static_cast<uint8_t>(v));
}
void Put32(uint32_t v, std::vector<uint8_t> *out) {
    Put16(static_cast<uint16_t>(v >> 16), out);
    Put16(static_cast<uint16_t>(v), out);
}
}  // namespace

RtpParse ParseRtp(const uint8_t *data, size_t size, RtpHeader *header, const uint8_t **payload,
                  size_t *payload_size) {
    if (size < 4 || (data[0] >> 6) != 2) return RtpParse::kInvalid;
    // RTCP packet types 192-223 land where marker and payload type sit; RTP
    // avoids payload types 64-95 for this reason (RFC 5761 section 4).
    const uint8_t second = data[1];
    if (second >= 192 && second <= 223) return RtpParse::kRtcp;
    if (size < kRtpHeaderSize) return RtpParse::kInvalid;
    const bool padding = data[0] & 0x20;
    const bool extension = data[0] & 0x10;
    const size_t csrc_count = data[0] & 0x0F;
    size_t offset = kRtpHeaderSize + 4 * csrc_count;
    if (offset > size) return RtpParse::kInvalid;
    if (extension) {
        if (offset + 4 > size) return RtpParse::kInvalid;
        offset += 4 + 4 * static_cast<size_t>(Get16(data + offset + 2));
        if (offset > size) return RtpParse::kInvalid;
    }
    size_t end = size;
    if (padding) {
        const size_t pad = data[size - 1];
        if (pad == 0 || pad > end - offset) return RtpParse::kInvalid;
        end -= pad;
    }
    header->marker = second & 0x80;
    header->payload_type = second & 0x7F;
    header->sequence = Get16(data + 2);
    header->timestamp = Get32(data + 4);
    header->ssrc = Get32(data + 8);
    *payload = data + offset;
    *payload_size = end - offset;
    return RtpParse::kRtp;
}

void WriteRtpHeader(const RtpHeader &header, std::vector<uint8_t> *out) {
    out->push_back(0x80);  // version 2, no padding, extension or CSRCs
    out->push_back(static_cast<uint8_t>((header.marker ? 0x80 : 0) | (header.payload_type & 0x7F)));
    Put16(header.sequence, out);
    Put32(header.timestamp, out);
    Put32(header.ssrc, out);
}

bool ParseTelephoneEvent(const uint8_t *payload, size_t size, TelephoneEvent *event) {
    if (size < kTelephoneEventSize) return false;
    event->event = payload[0];
    event->end = payload[1] & 0x80;
    event->volume = payload[1] & 0x3F;
    event->duration = Get16(payload + 2);
    return true;
}

void WriteTelephoneEvent(const TelephoneEvent &event, std::vector<uint8_t> *out) {
    out->push_back(event.event);
    out->push_back(static_cast<uint8_t>((event.end ? 0x80 : 0) | (event.volume & 0x3F)));
    Put16(event.duration, out);
}

}  // namespace vantor
