// Datagrams arriving on a call's RTP port, as any peer may send them: the
// stream checks, decodes and buffers them and plays 10 ms frames between
// them. Whatever arrives, every frame played has the negotiated size, a
// digit run is well formed (a start, then middles, then an end, the same
// event throughout), and the counters add up to the datagrams given.
//
// Input: a configuration byte (bits 0-1: PCMU, PCMA, L16 8 kHz, L16 16 kHz;
// bit 2: telephone-event negotiated; bit 3: packets taken from any source),
// then records of an operation byte and, for datagrams, a 16-bit length and
// that many bytes. Operation low bits: 0 a datagram from the peer, 1 one from
// a stranger, 2 an RTCP datagram, 3 play (op >> 2) & 15 frames.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "FuzzCommon.h"
#include "rtp_socket.h"
#include "rtp_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    KORAL::fuzz::RootPool();
    if (size < 1) return 0;
    using vantor::RtpEncoding;
    const uint8_t config = data[0];
    static const vantor::RtpFormat kFormats[] = {
        {RtpEncoding::kPcmu, 0, 8000, -1},
        {RtpEncoding::kPcma, 8, 8000, -1},
        {RtpEncoding::kL16, 96, 8000, -1},
        {RtpEncoding::kL16, 97, 16000, -1},
    };
    vantor::RtpFormat format = kFormats[config & 3];
    if (config & 4) format.event_payload_type = 101;
    vantor::UdpEndpoint peer;
    vantor::UdpEndpoint stranger;
    vantor::ResolveEndpoint("127.0.0.1", 4000, &peer);
    vantor::ResolveEndpoint("127.0.0.2", 4000, &stranger);
    vantor::RtpStream stream(1, 60);
    stream.Configure(format, peer, config & 8);

    const size_t samples = format.rate / 100;
    std::vector<int16_t> buffer(samples + 1);
    uint64_t datagrams = 0;
    bool in_digit = false;
    uint32_t digit = 0;
    for (size_t at = 1; at < size;) {
        const uint8_t op = data[at++];
        if ((op & 3) == 3) {
            for (int i = 0; i < ((op >> 2) & 15); ++i) {
                mpf_frame_t frame;
                buffer[samples] = 0x5A5A;  // a guard past the frame
                stream.Play(&frame, buffer.data());
                KORAL_FUZZ_CHECK(frame.codec_frame.size == samples * sizeof(int16_t));
                KORAL_FUZZ_CHECK(buffer[samples] == 0x5A5A);
                if (!(frame.type & MEDIA_FRAME_TYPE_EVENT)) {
                    KORAL_FUZZ_CHECK(!in_digit);
                    continue;
                }
                if (frame.marker == MPF_MARKER_START_OF_EVENT) {
                    KORAL_FUZZ_CHECK(!in_digit);
                    in_digit = true;
                    digit = frame.event_frame.event_id;
                } else {
                    KORAL_FUZZ_CHECK(in_digit && frame.event_frame.event_id == digit);
                    if (frame.marker == MPF_MARKER_END_OF_EVENT) in_digit = false;
                }
            }
            continue;
        }
        if (at + 2 > size) break;
        size_t length = static_cast<size_t>(data[at] << 8 | data[at + 1]);
        at += 2;
        if (length > size - at) length = size - at;
        if ((op & 3) == 2) {
            stream.Rtcp();
        } else {
            stream.Datagram(data + at, length, (op & 3) == 0 ? peer.addr : stranger.addr);
        }
        ++datagrams;
        at += length;
    }
    const vantor::RtpStats &s = stream.stats();
    KORAL_FUZZ_CHECK(s.packets + s.wrong_source + s.wrong_payload_type + s.rtcp == datagrams);
    return 0;
}
