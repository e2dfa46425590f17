// DTMF through real sockets on 127.0.0.1: RFC 4733 events and in-band tones
// reach the channel as the host's digit frames, one run per digit.
#include <gtest/gtest.h>

#include "rtp_packet.h"
#include "rtp_receiver.h"
#include "rtp_sender.h"
#include "rtp_test_peer.h"
#include "spandsp_dsp.h"

using namespace KoralTest;
using namespace vantor;

namespace {

using KoralTest::FindDigits;
using KoralTest::Play;
using KoralTest::PlayedFrame;
using KoralTest::RtpPeer;
using KoralTest::WaitSeen;

constexpr unsigned kDepthMs = 60;

TEST(RtpDtmf, TelephoneEventsBecomeOneRunPerDigit) {
    std::string error;
    auto receiver = RtpReceiver::Open("127.0.0.1", 0, 0, kDepthMs, &error);
    ASSERT_TRUE(receiver) << error;
    auto sender = RtpSender::Open("127.0.0.1", 0, 0, &error);
    ASSERT_TRUE(sender) << error;
    const RtpFormat format{RtpEncoding::kPcma, 8, 8000, 101};
    receiver->Start(format, "127.0.0.1", sender->port());
    ASSERT_TRUE(sender->Start(format, "127.0.0.1", receiver->port(), &error)) << error;
    ASSERT_TRUE(sender->SendSilence(40));
    ASSERT_TRUE(sender->SendDtmf("12#", 100, 60));
    ASSERT_TRUE(sender->SendSilence(40));
    // 2 + 3 digits of (7 event packets + 3 silence) + 2
    WaitSeen(receiver.get(), 34);
    const std::vector<PlayedFrame> played =
        Play(receiver.get(), kDepthMs / 10 + 4 + 3 * 16 + 4 + 5);
    const KoralTest::DigitRuns runs = FindDigits(played);
    EXPECT_EQ(runs.digits, "12#");
    EXPECT_TRUE(runs.well_formed);
    // Each digit lasts its 100 ms: ten frames, the last ending it.
    size_t event_frames = 0;
    for (const PlayedFrame &f : played) {
        if (!(f.type & MEDIA_FRAME_TYPE_EVENT)) continue;
        ++event_frames;
        EXPECT_TRUE(f.input);
        EXPECT_EQ(f.audio, std::vector<int16_t>(80, 0));  // no audio was sent meanwhile
        if (f.marker == MPF_MARKER_END_OF_EVENT) {
            EXPECT_EQ(f.duration, 800u);
        }
    }
    EXPECT_EQ(event_frames, 30u);
    const RtpStats stats = receiver->stats();
    EXPECT_EQ(stats.events, 3u);
    EXPECT_EQ(stats.late, 0u);
    EXPECT_EQ(stats.lost, 0u);
}

TEST(RtpDtmf, LostEndsRepeatsAndForeignEventsYieldNoStrayDigits) {
    RtpPeer peer;
    std::string error;
    auto receiver = RtpReceiver::Open("127.0.0.1", 0, 0, kDepthMs, &error);
    ASSERT_TRUE(receiver) << error;
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
    const KoralTest::DigitRuns runs = FindDigits(played);
    EXPECT_EQ(runs.digits, "79");
    EXPECT_TRUE(runs.well_formed);
    EXPECT_EQ(receiver->stats().events, 2u);

    // A stream of nothing but events still plays its digit.
    auto events_only = RtpReceiver::Open("127.0.0.1", 0, 0, kDepthMs, &error);
    ASSERT_TRUE(events_only) << error;
    events_only->Start(RtpFormat{RtpEncoding::kPcmu, 0, 8000, 101}, "127.0.0.1", peer.port());
    for (uint16_t d : {160, 320, 480, 640, 640, 640}) {
        RtpHeader h{d == 160, 101, seq++, 80000, 9};
        std::vector<uint8_t> payload;
        WriteTelephoneEvent(TelephoneEvent{4, d == 640, 10, d}, &payload);
        peer.SendRtp(events_only->port(), h, payload);
    }
    WaitSeen(events_only.get(), 6);
    const KoralTest::DigitRuns only = FindDigits(Play(events_only.get(), kDepthMs / 10 + 10));
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
        std::string error;
        auto receiver = RtpReceiver::Open("127.0.0.1", 0, 0, kDepthMs, &error);
        ASSERT_TRUE(receiver) << error;
        auto sender = RtpSender::Open("127.0.0.1", 0, 0, &error);
        ASSERT_TRUE(sender) << error;
        const RtpFormat format{c.encoding, c.payload_type, c.rate, -1};
        receiver->Start(format, "127.0.0.1", sender->port());
        ASSERT_TRUE(sender->Start(format, "127.0.0.1", receiver->port(), &error)) << error;
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
            WaitSeen(receiver.get(), packets);
            for (PlayedFrame &f : Play(receiver.get(), 20)) played.push_back(std::move(f));
        }
        for (PlayedFrame &f : Play(receiver.get(), kDepthMs / 10 + 2))
            played.push_back(std::move(f));
        const KoralTest::DigitRuns runs = FindDigits(played);
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
