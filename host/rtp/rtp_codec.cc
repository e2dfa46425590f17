#include "rtp_codec.h"

#include "spandsp_dsp.h"

namespace vantor {

size_t RtpBytesPerSample(RtpEncoding encoding) { return encoding == RtpEncoding::kL16 ? 2 : 1; }

void RtpDecode(RtpEncoding encoding, const uint8_t *payload, size_t size,
               std::vector<int16_t> *samples) {
    switch (encoding) {
        case RtpEncoding::kPcmu:
            for (size_t i = 0; i < size; ++i) samples->push_back(ulaw_to_linear(payload[i]));
            break;
        case RtpEncoding::kPcma:
            for (size_t i = 0; i < size; ++i) samples->push_back(alaw_to_linear(payload[i]));
            break;
        case RtpEncoding::kL16:
            for (size_t i = 0; i + 1 < size; i += 2)
                samples->push_back(static_cast<int16_t>(payload[i] << 8 | payload[i + 1]));
            break;
    }
}

void RtpEncode(RtpEncoding encoding, const int16_t *samples, size_t count,
               std::vector<uint8_t> *payload) {
    switch (encoding) {
        case RtpEncoding::kPcmu:
            for (size_t i = 0; i < count; ++i) payload->push_back(linear_to_ulaw(samples[i]));
            break;
        case RtpEncoding::kPcma:
            for (size_t i = 0; i < count; ++i) payload->push_back(linear_to_alaw(samples[i]));
            break;
        case RtpEncoding::kL16:
            for (size_t i = 0; i < count; ++i) {
                const auto v = static_cast<uint16_t>(samples[i]);
                payload->push_back(static_cast<uint8_t>(v >> 8));
                payload->push_back(static_cast<uint8_t>(v));
            }
            break;
    }
}

}  // namespace vantor
