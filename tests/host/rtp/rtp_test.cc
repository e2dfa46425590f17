// RTP through real sockets on 127.0.0.1: the sender's packets, each codec
// received as sent, the jitter buffer's ordering, loss and lateness, what the
// receiver does with datagrams that are not the negotiated stream, and
// RFC 4733 events and in-band tones becoming the host's digit frames, one run
// per digit. Digits from a sender to a receiver through the server are
// vantor_server_test's and vantor_client_test's.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <thread>

#include "jitter_buffer.h"
#include "mpf_frame.h"
#include "rtp_codec.h"
#include "rtp_packet.h"
#include "rtp_receiver.h"
#include "rtp_sender.h"
#include "rtp_socket.h"
#include "spandsp_dsp.h"

using namespace vantor;

namespace {

// A test's side of an RTP stream: a bound UDP socket on 127.0.0.1 that sends
// hand-made datagrams (any header, payload or garbage) and receives a sender's.
class RtpPeer {
  public:
    RtpPeer() {
        UdpEndpoint any;
        ResolveEndpoint("127.0.0.1", 0, &any);
        fd_ = BindUdp(any);
        port_ = BoundPort(fd_);
    }
    ~RtpPeer() { close(fd_); }
    unsigned port() const { return port_; }

    void SendTo(unsigned port, const std::vector<uint8_t> &datagram) const {
        UdpEndpoint to;
        ResolveEndpoint("127.0.0.1", port, &to);
        // Loopback sends to a socket with buffer room do not fail.
        ASSERT_EQ(sendto(fd_, datagram.data(), datagram.size(), 0,
                         reinterpret_cast<const sockaddr *>(&to.addr), to.len),
                  static_cast<ssize_t>(datagram.size()));
    }
    void SendRtp(unsigned port, const RtpHeader &header,
                 const std::vector<uint8_t> &payload) const {
        std::vector<uint8_t> packet;
        WriteRtpHeader(header, &packet);
        packet.insert(packet.end(), payload.begin(), payload.end());
        SendTo(port, packet);
    }
    // Receives count datagrams (fewer after five seconds without one).
    std::vector<std::vector<uint8_t>> Receive(size_t count) const {
        std::vector<std::vector<uint8_t>> got;
        while (got.size() < count) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 5000) <= 0) break;
            std::vector<uint8_t> datagram(65536);
            const ssize_t n = recv(fd_, datagram.data(), datagram.size(), 0);
            if (n < 0) continue;
            datagram.resize(static_cast<size_t>(n));
            got.push_back(std::move(datagram));
        }
        return got;
    }

  private:
    int fd_ = -1;
    unsigned port_ = 0;
};

// Datagrams a receiver has taken from its sockets, whatever became of them.
uint64_t Seen(const RtpStats &s) {
    return s.packets + s.wrong_source + s.wrong_payload_type + s.rtcp;
}

// Receives until the receiver has seen count datagrams (fails the test
// after ten seconds).
void WaitSeen(RtpReceiver *receiver, uint64_t count) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (Seen(receiver->stats()) < count && std::chrono::steady_clock::now() < give_up) {
        receiver->Receive();
        if (Seen(receiver->stats()) < count)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(Seen(receiver->stats()), count);
}

struct PlayedFrame {
    bool input = false;
    int type = 0;
    int marker = 0;
    uint32_t event_id = 0;
    uint32_t duration = 0;
    std::vector<int16_t> audio;
};

// The receiver's next frames as the media clock takes them.
std::vector<PlayedFrame> Play(RtpReceiver *receiver, size_t frames) {
    std::vector<PlayedFrame> played;
    const size_t samples = receiver->sampling_rate() / 100;
    for (size_t i = 0; i < frames; ++i) {
        PlayedFrame f;
        f.audio.assign(samples, 0x7777);
        mpf_frame_t frame;
        f.input = receiver->Next(&frame, f.audio.data());
        EXPECT_EQ(frame.codec_frame.buffer, f.audio.data());
        EXPECT_EQ(frame.codec_frame.size, samples * sizeof(int16_t));
        f.type = frame.type;
        f.marker = frame.marker;
        f.event_id = frame.event_frame.event_id;
        f.duration = frame.event_frame.duration;
        played.push_back(std::move(f));
    }
    return played;
}

// Digit runs in played frames, each start-to-end run as its digit, and
// whether every run was well formed (start, middles, end, durations growing
// by one frame).
struct DigitRuns {
    std::string digits;
    bool well_formed = true;
};
DigitRuns FindDigits(const std::vector<PlayedFrame> &frames) {
    DigitRuns runs;
    bool open = false;
    uint32_t id = 0;
    uint32_t step = 0;
    uint32_t last = 0;
    for (const PlayedFrame &f : frames) {
        const bool event = f.type & MEDIA_FRAME_TYPE_EVENT;
        if (!event) {
            if (open || f.marker != MPF_MARKER_NONE) runs.well_formed = false;
            continue;
        }
        if (!(f.type & MEDIA_FRAME_TYPE_AUDIO)) runs.well_formed = false;
        if (!open) {
            if (f.marker != MPF_MARKER_START_OF_EVENT) runs.well_formed = false;
            open = true;
            id = f.event_id;
            step = f.duration;
            last = f.duration;
            runs.digits += mpf_event_id_to_dtmf_char(id);
            continue;
        }
        if (f.event_id != id || f.duration != last + step || f.marker == MPF_MARKER_START_OF_EVENT)
            runs.well_formed = false;
        last = f.duration;
        if (f.marker == MPF_MARKER_END_OF_EVENT) open = false;
    }
    if (open) runs.well_formed = false;
    return runs;
}

constexpr unsigned kDepthMs = 60;

std::unique_ptr<RtpReceiver> OpenReceiver() {
    std::string error;
    auto receiver = RtpReceiver::Open("127.0.0.1", 0, 0, kDepthMs, &error);
    EXPECT_TRUE(receiver) << error;
    return receiver;
}

// A receiver and a sender on 127.0.0.1 streaming to each other in format.
struct Stream {
    std::unique_ptr<RtpReceiver> receiver = OpenReceiver();
    std::unique_ptr<RtpSender> sender;
    explicit Stream(const RtpFormat &format) {
        std::string error;
        sender = RtpSender::Open("127.0.0.1", 0, 0, &error);
        EXPECT_TRUE(sender) << error;
        if (!receiver || !sender) return;
        receiver->Start(format, "127.0.0.1", sender->port());
        EXPECT_TRUE(sender->Start(format, "127.0.0.1", receiver->port(), &error)) << error;
    }
};

std::vector<int16_t> Sweep(size_t count) {
    std::vector<int16_t> samples(count);
    for (size_t i = 0; i < count; ++i)
        samples[i] = static_cast<int16_t>(static_cast<int>((i * 7919) % 24000) - 12000);
    return samples;
}

std::vector<uint8_t> Payload(size_t bytes, uint8_t value) {
    return std::vector<uint8_t>(bytes, value);
}

TEST(RtpMedia, EachCodecArrivesAsSentFromTheSender) {
    struct Case {
        RtpEncoding encoding;
        int payload_type;
        unsigned rate;
    };
    for (const Case &c : {Case{RtpEncoding::kPcmu, 0, 8000}, Case{RtpEncoding::kPcma, 8, 8000},
                          Case{RtpEncoding::kL16, 96, 8000}, Case{RtpEncoding::kL16, 97, 16000}}) {
        SCOPED_TRACE(testing::Message() << "payload type " << c.payload_type << " at " << c.rate);
        Stream stream({c.encoding, c.payload_type, c.rate, 101});
        ASSERT_TRUE(stream.receiver && stream.sender);
        RtpReceiver *receiver = stream.receiver.get();
        RtpSender *sender = stream.sender.get();
        EXPECT_EQ(receiver->port() % 2, 0u);
        EXPECT_EQ(sender->port() % 2, 0u);
        EXPECT_EQ(receiver->sampling_rate(), c.rate);

        const size_t frame = c.rate / 100;
        const std::vector<int16_t> sent = Sweep(30 * frame);  // 300 ms: 15 packets
        ASSERT_TRUE(sender->SendAudio(sent.data(), sent.size()));
        EXPECT_EQ(sender->packets_sent(), 15u);
        WaitSeen(receiver, 15);

        // What the codec gives back is what must be played.
        std::vector<uint8_t> coded;
        RtpEncode(c.encoding, sent.data(), sent.size(), &coded);
        std::vector<int16_t> expected;
        RtpDecode(c.encoding, coded.data(), coded.size(), &expected);
        if (c.encoding == RtpEncoding::kL16) {
            EXPECT_EQ(expected, sent);
        }

        const size_t lead = kDepthMs / 10;
        const std::vector<PlayedFrame> played = Play(receiver, lead + 30 + 3);
        for (size_t i = 0; i < played.size(); ++i) {
            EXPECT_EQ(played[i].type, MEDIA_FRAME_TYPE_AUDIO) << i;
            EXPECT_EQ(played[i].input, i >= lead && i < lead + 30) << i;
        }
        std::vector<int16_t> all;
        for (const PlayedFrame &f : played) all.insert(all.end(), f.audio.begin(), f.audio.end());
        EXPECT_EQ(std::vector<int16_t>(all.begin(), all.begin() + lead * frame),
                  std::vector<int16_t>(lead * frame, 0));
        EXPECT_EQ(
            std::vector<int16_t>(all.begin() + lead * frame, all.begin() + (lead + 30) * frame),
            expected);
        const RtpStats stats = receiver->stats();
        EXPECT_EQ(stats.packets, 15u);
        EXPECT_EQ(stats.lost + stats.late + stats.wrong_source + stats.wrong_payload_type, 0u);
    }
}

TEST(RtpMedia, SenderNumbersStampsAndMarksItsPackets) {
    RtpPeer peer;
    std::string error;
    auto sender = RtpSender::Open("127.0.0.1", 0, 0, &error);
    ASSERT_TRUE(sender) << error;
    ASSERT_TRUE(sender->Start(RtpFormat{RtpEncoding::kPcmu, 0, 8000, 101}, "127.0.0.1", peer.port(),
                              &error));
    EXPECT_FALSE(sender->SendDtmf("5x", 100, 0));   // refused whole: nothing sent
    const std::vector<int16_t> audio = Sweep(480);  // 60 ms: 3 packets
    ASSERT_TRUE(sender->SendAudio(audio.data(), audio.size()));
    ASSERT_TRUE(sender->SendDtmf("5", 100, 40));  // 5 event packets, 2 of them repeats: 7; then 2
    ASSERT_TRUE(sender->SendAudio(audio.data(), 200));  // padded to 2 packets
    const auto datagrams = peer.Receive(3 + 7 + 2 + 2);
    ASSERT_EQ(datagrams.size(), 14u);
    EXPECT_EQ(sender->packets_sent(), 14u);

    std::vector<RtpHeader> headers;
    std::vector<std::vector<uint8_t>> payloads;
    for (const auto &d : datagrams) {
        RtpHeader h;
        const uint8_t *payload = nullptr;
        size_t size = 0;
        ASSERT_EQ(ParseRtp(d.data(), d.size(), &h, &payload, &size), RtpParse::kRtp);
        headers.push_back(h);
        payloads.emplace_back(payload, payload + size);
    }
    for (size_t i = 0; i < headers.size(); ++i) {
        EXPECT_EQ(headers[i].ssrc, headers[0].ssrc);
        EXPECT_EQ(headers[i].sequence, static_cast<uint16_t>(headers[0].sequence + i));
    }
    const uint32_t t0 = headers[0].timestamp;
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(headers[i].payload_type, 0);
        EXPECT_EQ(headers[i].marker, i == 0);
        EXPECT_EQ(headers[i].timestamp, t0 + 160 * i);
        EXPECT_EQ(payloads[i].size(), 160u);
    }
    // The event: one timestamp, the marker on its first packet, durations
    // growing by a packet, the last sent three times with the end bit.
    for (size_t i = 3; i < 10; ++i) {
        const size_t k = std::min<size_t>(i - 3, 4);
        EXPECT_EQ(headers[i].payload_type, 101);
        EXPECT_EQ(headers[i].marker, i == 3);
        EXPECT_EQ(headers[i].timestamp, t0 + 480);
        TelephoneEvent ev;
        ASSERT_TRUE(ParseTelephoneEvent(payloads[i].data(), payloads[i].size(), &ev));
        EXPECT_EQ(ev.event, 5);
        EXPECT_EQ(ev.duration, 160 * (k + 1));
        EXPECT_EQ(ev.end, i >= 7);
    }
    // Silence after the digit and the audio go on where the event's time ends.
    for (size_t i = 10; i < 14; ++i) {
        EXPECT_EQ(headers[i].payload_type, 0);
        EXPECT_EQ(headers[i].marker, i == 10);
        EXPECT_EQ(headers[i].timestamp, t0 + 480 + 800 + 160 * (i - 10));
    }
    EXPECT_EQ(payloads[11], std::vector<uint8_t>(160, 0xFF));  // µ-law silence
}

TEST(RtpMedia, JitterBufferPlaysInOrderSilenceForLossAndCountsLatecomers) {
    RtpPeer peer;
    auto receiver = OpenReceiver();
    receiver->Start(RtpFormat{RtpEncoding::kPcmu, 0, 8000, 101}, "127.0.0.1", peer.port());
    // Ten 20 ms packets, each a constant µ-law value of its own: the fourth
    // lost, the sixth and seventh swapped, the eighth duplicated.
    auto packet = [&](int i) {
        RtpHeader h;
        h.payload_type = 0;
        h.sequence = static_cast<uint16_t>(65530 + i);  // wraps on the way
        h.timestamp = 4294967000u + 160u * static_cast<uint32_t>(i);
        h.ssrc = 0x1234;
        h.marker = i == 0;
        peer.SendRtp(receiver->port(), h, Payload(160, static_cast<uint8_t>(0x20 + i)));
    };
    for (int i : {0, 1, 2, 4, 6, 5, 7, 7, 8, 9}) packet(i);
    WaitSeen(receiver.get(), 10);
    const size_t lead = kDepthMs / 10;
    const std::vector<PlayedFrame> played = Play(receiver.get(), lead + 20);
    for (int i = 0; i < 10; ++i) {
        std::vector<int16_t> value;
        const uint8_t code = static_cast<uint8_t>(0x20 + i);
        RtpDecode(RtpEncoding::kPcmu, &code, 1, &value);
        for (int half = 0; half < 2; ++half) {
            const PlayedFrame &f = played[lead + 2 * i + half];
            EXPECT_EQ(f.input, i != 3) << i;
            EXPECT_EQ(f.audio, std::vector<int16_t>(80, i == 3 ? 0 : value[0])) << i;
        }
    }
    RtpStats stats = receiver->stats();
    EXPECT_EQ(stats.packets, 10u);
    EXPECT_EQ(stats.lost, 1u);
    EXPECT_EQ(stats.late, 0u);

    // The lost packet turns up after its time: counted late, not played.
    packet(3);
    WaitSeen(receiver.get(), 11);
    stats = receiver->stats();
    EXPECT_EQ(stats.late, 1u);
    EXPECT_EQ(stats.lost, 0u);
    for (const PlayedFrame &f : Play(receiver.get(), 10)) EXPECT_FALSE(f.input);

    // The stream's next packets are due already (the sender stalled and the
    // playout ran dry): the playout starts again a depth behind them.
    packet(12);
    packet(13);
    WaitSeen(receiver.get(), 13);
    const std::vector<PlayedFrame> resumed = Play(receiver.get(), lead + 4 + 1);
    for (size_t i = 0; i < resumed.size(); ++i)
        EXPECT_EQ(resumed[i].input, i >= lead && i < lead + 4) << i;
    EXPECT_EQ(receiver->stats().late, 1u);
}

TEST(JitterBuffer, DelayStaysBoundedAndTimestampJumpsNeedConfirming) {
    JitterBuffer jitter(80, 480, 8000);
    std::vector<int16_t> packet(160, 100);
    std::vector<int16_t> frame(80);
    uint32_t ts = 0;
    EXPECT_FALSE(jitter.Take(frame.data(), &ts));
    EXPECT_EQ(jitter.Put(1000, packet.data(), packet.size()), JitterBuffer::PutResult::kStored);
    EXPECT_EQ(jitter.playout(), 1000u - 480);
    // A sender far ahead of the clock: a burst of a second of packets is
    // kept, but the delay is worked down to three quarters of the ring.
    for (uint32_t i = 1; i < 50; ++i)
        EXPECT_EQ(jitter.Put(1000 + 160 * i, packet.data(), packet.size()),
                  JitterBuffer::PutResult::kStored);
    for (int i = 0; i < 20; ++i) jitter.Take(frame.data(), &ts);
    const uint32_t newest = 1000 + 160 * 50;
    EXPECT_EQ(newest - jitter.playout(), 5840u);  // 13 frames skipped, 7 played
    // One stray timestamp far away is dropped; three in a row are a restarted
    // sender and the playout follows them.
    const uint32_t before = jitter.playout();
    EXPECT_EQ(jitter.Put(900000000, packet.data(), packet.size()),
              JitterBuffer::PutResult::kDiscarded);
    EXPECT_EQ(jitter.playout(), before);
    EXPECT_EQ(jitter.Put(newest, packet.data(), packet.size()), JitterBuffer::PutResult::kStored);
    EXPECT_EQ(jitter.Put(50000000, packet.data(), packet.size()),
              JitterBuffer::PutResult::kDiscarded);
    EXPECT_EQ(jitter.Put(50000160, packet.data(), packet.size()),
              JitterBuffer::PutResult::kDiscarded);
    EXPECT_EQ(jitter.Put(50000320, packet.data(), packet.size()),
              JitterBuffer::PutResult::kReanchored);
    EXPECT_EQ(jitter.playout(), 50000320u - 480);
    // Oversized packets are cut to the ring, never written past it.
    std::vector<int16_t> huge(100000, 7);
    jitter.Put(50000480, huge.data(), huge.size());
}

TEST(RtpMedia, ForeignAndMalformedDatagramsAreCountedAndSurvived) {
    RtpPeer peer;
    RtpPeer stranger;
    auto receiver = OpenReceiver();
    receiver->Start(RtpFormat{RtpEncoding::kPcmu, 0, 8000, 101}, "127.0.0.1", peer.port());
    const unsigned port = receiver->port();
    RtpHeader h;
    h.ssrc = 77;
    auto valid = [&](const RtpPeer &from, int pt, int i) {
        h.payload_type = static_cast<uint8_t>(pt);
        h.sequence = static_cast<uint16_t>(i);
        h.timestamp = 160u * static_cast<uint32_t>(i);
        from.SendRtp(port, h, Payload(160, 0x10));
    };
    uint64_t sent = 0;
    for (int i = 0; i < 3; ++i, ++sent) valid(stranger, 0, i);  // right stream, wrong peer
    for (int i = 0; i < 2; ++i, ++sent) valid(peer, 8, i);      // PCMA was not negotiated
    // Datagrams that are not RTP, or whose header lies about its lengths.
    std::vector<std::vector<uint8_t>> garbage = {
        {},
        {0x80},
        std::vector<uint8_t>(11, 0x80),
        {0x40, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1},                    // version 1
        {0x8F, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1},                    // 15 CSRCs announced
        {0x90, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0xFF, 0xFF},  // extension past the end
        {0xA0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0},        // padding of 0
        {0xA0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0xFF},     // padding past the header
        std::vector<uint8_t>(5000, 0x80),                           // longer than any frame
    };
    for (const auto &g : garbage) peer.SendTo(port, g), ++sent;
    const uint64_t malformed = garbage.size();
    // RTCP is taken and let go, on its own port and multiplexed.
    peer.SendTo(port + 1, {0x80, 200, 0, 6, 0, 0, 0, 77});
    peer.SendTo(port + 1, {0x81, 201, 0, 1});
    peer.SendTo(port, {0x80, 203, 0, 1, 0, 0, 0, 77});
    sent += 3;
    WaitSeen(receiver.get(), sent);
    RtpStats stats = receiver->stats();
    EXPECT_EQ(stats.wrong_source, 3u);
    EXPECT_EQ(stats.wrong_payload_type, 2u + malformed);
    EXPECT_EQ(stats.rtcp, 3u);
    EXPECT_EQ(stats.packets, 0u);

    // A flood is read a bounded number at a time and leaves the stream intact.
    std::mt19937 random(7);
    const int flood = 150;  // what a default socket buffer holds
    for (int i = 0; i < flood; ++i) {
        std::vector<uint8_t> d(12 + random() % 40);
        for (auto &b : d) b = static_cast<uint8_t>(random());
        d[0] &= 0x7F;  // never version 2
        peer.SendTo(port, d);
    }
    receiver->Receive();
    EXPECT_LE(receiver->stats().wrong_payload_type - stats.wrong_payload_type, 128u);
    WaitSeen(receiver.get(), sent + flood);
    for (int i = 0; i < 5; ++i) valid(peer, 0, i);
    WaitSeen(receiver.get(), sent + flood + 5);
    size_t audio = 0;
    for (const PlayedFrame &f : Play(receiver.get(), kDepthMs / 10 + 12)) audio += f.input;
    EXPECT_EQ(audio, 10u);
    EXPECT_EQ(receiver->stats().packets, 5u);
}

TEST(RtpPorts, EvenPairsWithinTheRangeAndClearRefusals) {
    std::string error;
    EXPECT_FALSE(RtpReceiver::Open("localhost", 0, 0, kDepthMs, &error));
    EXPECT_NE(error.find("not a numeric address"), std::string::npos) << error;
    EXPECT_FALSE(RtpReceiver::Open("127.0.0.1", 5, 5, kDepthMs, &error));
    EXPECT_NE(error.find("no even port pair"), std::string::npos) << error;

    // A range of two pairs, found free a moment ago.
    unsigned base = 0;
    {
        auto probe = RtpReceiver::Open("127.0.0.1", 0, 0, kDepthMs, &error);
        ASSERT_TRUE(probe) << error;
        base = probe->port();
    }
    auto a = RtpReceiver::Open("127.0.0.1", base - 1, base + 3, kDepthMs, &error);
    ASSERT_TRUE(a) << error;
    auto b = RtpReceiver::Open("127.0.0.1", base - 1, base + 3, kDepthMs, &error);
    ASSERT_TRUE(b) << error;
    EXPECT_NE(a->port(), b->port());
    for (unsigned p : {a->port(), b->port()}) EXPECT_TRUE(p == base || p == base + 2) << p;
    EXPECT_FALSE(RtpReceiver::Open("127.0.0.1", base - 1, base + 3, kDepthMs, &error));
    EXPECT_NE(error.find("taken"), std::string::npos) << error;
}

TEST(RtpPacket, ParsesWhatTheWireHoldsAndWritesItBack) {
    RtpHeader h;
    h.marker = true;
    h.payload_type = 101;
    h.sequence = 0xBEEF;
    h.timestamp = 0xDEADBEEF;
    h.ssrc = 0x01020304;
    std::vector<uint8_t> wire;
    WriteRtpHeader(h, &wire);
    EXPECT_EQ(wire,
              (std::vector<uint8_t>{0x80, 0xE5, 0xBE, 0xEF, 0xDE, 0xAD, 0xBE, 0xEF, 1, 2, 3, 4}));
    WriteTelephoneEvent(TelephoneEvent{11, true, 10, 800}, &wire);
    RtpHeader parsed;
    const uint8_t *payload = nullptr;
    size_t size = 0;
    ASSERT_EQ(ParseRtp(wire.data(), wire.size(), &parsed, &payload, &size), RtpParse::kRtp);
    EXPECT_TRUE(parsed.marker);
    EXPECT_EQ(parsed.payload_type, 101);
    EXPECT_EQ(parsed.sequence, 0xBEEF);
    EXPECT_EQ(parsed.timestamp, 0xDEADBEEFu);
    EXPECT_EQ(parsed.ssrc, 0x01020304u);
    TelephoneEvent ev;
    ASSERT_TRUE(ParseTelephoneEvent(payload, size, &ev));
    EXPECT_EQ(ev.event, 11);
    EXPECT_TRUE(ev.end);
    EXPECT_EQ(ev.volume, 10);
    EXPECT_EQ(ev.duration, 800);
    EXPECT_FALSE(ParseTelephoneEvent(payload, 3, &ev));

    // Two CSRCs, a one-word extension and three bytes of padding around a
    // two-byte payload.
    const std::vector<uint8_t> full = {0xB2, 0x00, 0, 1, 0, 0, 0, 2,  0, 0, 0, 3,  // header
                                       0,    0,    0, 9, 0, 0, 0, 10,              // CSRCs
                                       0xBE, 0xDE, 0, 1, 1, 2, 3, 4,               // extension
                                       0x55, 0x66, 0, 0, 3};  // payload, padding
    ASSERT_EQ(ParseRtp(full.data(), full.size(), &parsed, &payload, &size), RtpParse::kRtp);
    ASSERT_EQ(size, 2u);
    EXPECT_EQ(payload[0], 0x55);
    EXPECT_EQ(payload[1], 0x66);
}

TEST(RtpDtmf, LostEndsRepeatsAndForeignEventsYieldNoStrayDigits) {
    RtpPeer peer;
    auto receiver = OpenReceiver();
    ASSERT_TRUE(receiver);
    receiver->Start(RtpFormat{RtpEncoding::kPcmu, 0, 8000, 101}, "127.0.0.1", peer.port());
    uint16_t seq = 0;
    auto audio = [&](uint32_t ts) {
        RtpHeader h{false, 0, seq++, ts, 9};
        peer.SendRtp(receiver->port(), h, std::vector<uint8_t>(160, 0xFF));
    };
    auto event = [&](uint32_t ts, uint8_t code, uint16_t duration, bool end) {
        RtpHeader h{duration == 160, 101, seq++, ts, 9};
        std::vector<uint8_t> payload;
        WriteTelephoneEvent(TelephoneEvent{code, end, 10, duration}, &payload);
        peer.SendRtp(receiver->port(), h, payload);
    };
    size_t sent = 0;
    audio(0), ++sent;
    // '7' whose end packets never arrive: it ends once its updates stop.
    event(160, 7, 160, false), event(160, 7, 320, false), sent += 2;
    // Flash (event 16) is no digit.
    event(1600, 16, 160, false), event(1600, 16, 320, true), sent += 2;
    // '9' sent twice over: repeats of its packets make one digit.
    for (int copy = 0; copy < 2; ++copy)
        for (uint16_t d : {160, 320, 480}) event(3200, 9, d, d == 480), ++sent;
    for (uint32_t ts = 4000; ts < 5600; ts += 160) audio(ts), ++sent;
    WaitSeen(receiver.get(), sent);
    std::vector<PlayedFrame> played = Play(receiver.get(), kDepthMs / 10 + 70);
    // Its end packets, arriving after the digit was played, change nothing.
    event(3200, 9, 480, true), event(3200, 9, 480, true), sent += 2;
    WaitSeen(receiver.get(), sent);
    for (PlayedFrame &f : Play(receiver.get(), 10)) played.push_back(std::move(f));
    const DigitRuns runs = FindDigits(played);
    EXPECT_EQ(runs.digits, "79");
    EXPECT_TRUE(runs.well_formed);
    EXPECT_EQ(receiver->stats().events, 2u);

    // A stream of nothing but events still plays its digit.
    auto events_only = OpenReceiver();
    ASSERT_TRUE(events_only);
    events_only->Start(RtpFormat{RtpEncoding::kPcmu, 0, 8000, 101}, "127.0.0.1", peer.port());
    for (uint16_t d : {160, 320, 480, 640, 640, 640}) {
        RtpHeader h{d == 160, 101, seq++, 80000, 9};
        std::vector<uint8_t> payload;
        WriteTelephoneEvent(TelephoneEvent{4, d == 640, 10, d}, &payload);
        peer.SendRtp(events_only->port(), h, payload);
    }
    WaitSeen(events_only.get(), 6);
    const DigitRuns only = FindDigits(Play(events_only.get(), kDepthMs / 10 + 10));
    EXPECT_EQ(only.digits, "4");
    EXPECT_TRUE(only.well_formed);
}

// Tones of digits with gaps, at 8000 Hz, from spandsp's generator.
std::vector<int16_t> Tones(const char *digits) {
    dtmf_tx_state_t *tx = dtmf_tx_init(nullptr);
    dtmf_tx_set_timing(tx, 100, 100);
    dtmf_tx_put(tx, digits, -1);
    std::vector<int16_t> samples(1600, 0);  // lead-in silence
    int16_t block[160];
    for (int n; (n = dtmf_tx(tx, block, 160)) > 0;) samples.insert(samples.end(), block, block + n);
    samples.resize(samples.size() + 1600, 0);
    dtmf_tx_free(tx);
    return samples;
}

TEST(RtpDtmf, InbandTonesBecomeDigitsWithoutTelephoneEvent) {
    struct Case {
        RtpEncoding encoding;
        int payload_type;
        unsigned rate;
    };
    const std::vector<int16_t> narrow = Tones("159");
    for (const Case &c : {Case{RtpEncoding::kPcmu, 0, 8000}, Case{RtpEncoding::kL16, 96, 16000}}) {
        SCOPED_TRACE(c.rate);
        Stream stream({c.encoding, c.payload_type, c.rate, -1});
        ASSERT_TRUE(stream.receiver && stream.sender);
        RtpReceiver *receiver = stream.receiver.get();
        RtpSender *sender = stream.sender.get();
        std::vector<int16_t> samples;
        for (int16_t s : narrow) samples.insert(samples.end(), c.rate / 8000, s);
        EXPECT_FALSE(sender->SendDtmf("1", 100, 0));  // no telephone-event negotiated
        // Played as it arrives, 200 ms at a time, as a call is.
        const size_t chunk = c.rate / 5;
        std::vector<PlayedFrame> played;
        uint64_t packets = 0;
        for (size_t at = 0; at < samples.size(); at += chunk) {
            const size_t n = std::min(chunk, samples.size() - at);
            ASSERT_TRUE(sender->SendAudio(samples.data() + at, n));
            packets += (n + c.rate / 50 - 1) / (c.rate / 50);
            WaitSeen(receiver, packets);
            for (PlayedFrame &f : Play(receiver, 20)) played.push_back(std::move(f));
        }
        for (PlayedFrame &f : Play(receiver, kDepthMs / 10 + 2)) played.push_back(std::move(f));
        const DigitRuns runs = FindDigits(played);
        EXPECT_EQ(runs.digits, "159");
        EXPECT_TRUE(runs.well_formed);
        EXPECT_EQ(receiver->stats().events, 3u);
        // The tone is muted once detected: the digit goes on, not the sound.
        for (const PlayedFrame &f : played) {
            if (f.type & MEDIA_FRAME_TYPE_EVENT) {
                EXPECT_EQ(f.audio, std::vector<int16_t>(c.rate / 100, 0));
            }
        }
    }
}

}  // namespace
