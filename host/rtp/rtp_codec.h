// Payload codecs of the RTP media path: G.711 µ-law and A-law (spandsp) and
// L16 in network byte order, to and from 16-bit linear samples.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "rtp_receiver.h"

namespace vantor {

// Bytes one sample takes in the payload: 1 for G.711, 2 for L16.
size_t RtpBytesPerSample(RtpEncoding encoding);
// Decodes a payload into samples (appended); a trailing odd byte of L16 is ignored.
void RtpDecode(RtpEncoding encoding, const uint8_t *payload, size_t size,
               std::vector<int16_t> *samples);
// Encodes samples into a payload (appended).
void RtpEncode(RtpEncoding encoding, const int16_t *samples, size_t count,
               std::vector<uint8_t> *payload);

}  // namespace vantor
