// The server's CPU per received RTP packet (20 ms of audio): the socket read,
// the header checks, decoding, the jitter buffer and the two 10 ms frames
// played from it, for G.711 at 8 kHz and L16 at 16 kHz, with telephone-event
// negotiated and with in-band DTMF detection (no telephone-event), which runs
// the tone detector over every frame. Packets come over 127.0.0.1 from a
// plain socket; their sending is kept out of the timing.
#include <apr_general.h>
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <string>
#include <vector>

#include "apt_log.h"
#include "mpf_frame.h"
#include "rtp_codec.h"
#include "rtp_packet.h"
#include "rtp_receiver.h"
#include "rtp_socket.h"

namespace {

constexpr int kBatch = 16;  // packets sent per pause of the timing

void BM_ReceivePacket(benchmark::State &state) {
    const auto encoding = static_cast<vantor::RtpEncoding>(state.range(0));
    const unsigned rate = static_cast<unsigned>(state.range(1));
    const bool inband = state.range(2) != 0;
    std::string error;
    auto receiver = vantor::RtpReceiver::Open("127.0.0.1", 0, 0, 60, &error);
    vantor::UdpEndpoint any;
    vantor::ResolveEndpoint("127.0.0.1", 0, &any);
    const int fd = vantor::BindUdp(any);
    if (!receiver || fd < 0) {
        state.SkipWithError(error.c_str());
        return;
    }
    receiver->Start(vantor::RtpFormat{encoding, encoding == vantor::RtpEncoding::kL16 ? 96 : 0,
                                      rate, inband ? -1 : 101},
                    "127.0.0.1", vantor::BoundPort(fd));
    vantor::UdpEndpoint to;
    vantor::ResolveEndpoint("127.0.0.1", receiver->port(), &to);

    const size_t samples = rate / 50;
    std::vector<int16_t> voice(samples);
    for (size_t i = 0; i < samples; ++i)
        voice[i] = static_cast<int16_t>(3000 * std::sin(2 * M_PI * 440 * i / rate) +
                                        1500 * std::sin(2 * M_PI * 1210 * i / rate));
    std::vector<uint8_t> payload;
    vantor::RtpEncode(encoding, voice.data(), voice.size(), &payload);
    vantor::RtpHeader header;
    header.payload_type = encoding == vantor::RtpEncoding::kL16 ? 96 : 0;
    header.ssrc = 42;
    std::vector<uint8_t> packet;
    std::vector<int16_t> frame(rate / 100);
    mpf_frame_t f;
    uint64_t packets = 0;
    while (state.KeepRunningBatch(kBatch)) {
        state.PauseTiming();
        for (int i = 0; i < kBatch; ++i) {
            packet.clear();
            header.sequence = static_cast<uint16_t>(packets);
            header.timestamp = static_cast<uint32_t>(packets * samples);
            ++packets;
            vantor::WriteRtpHeader(header, &packet);
            packet.insert(packet.end(), payload.begin(), payload.end());
            sendto(fd, packet.data(), packet.size(), 0,
                   reinterpret_cast<const sockaddr *>(&to.addr), to.len);
        }
        state.ResumeTiming();
        for (int i = 0; i < 2 * kBatch; ++i) receiver->Next(&f, frame.data());
    }
    const vantor::RtpStats stats = receiver->stats();
    state.counters["lost"] = static_cast<double>(stats.lost);
    state.counters["late"] = static_cast<double>(stats.late);
    close(fd);
}

// encoding (0 PCMU, 2 L16), rate, in-band DTMF detection
BENCHMARK(BM_ReceivePacket)
    ->ArgNames({"encoding", "rate", "inband"})
    ->Args({0, 8000, 0})
    ->Args({0, 8000, 1})
    ->Args({2, 16000, 0})
    ->Args({2, 16000, 1})
    ->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char **argv) {
    apr_initialize();
    apt_log_priority_set(APT_PRIO_ERROR);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    apr_terminate();
    return 0;
}
