// Frames the media clock takes from a channel's input queue.
#include "input_queue.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Frame {
    int type, marker;
    apr_uint32_t id, duration;
    std::vector<int16_t> audio;
};

std::vector<Frame> Drain(vantor::InputQueue &q) {
    std::vector<Frame> out;
    std::vector<int16_t> buf(q.frame_samples());
    mpf_frame_t f;
    while (q.Next(&f, buf.data())) {
        EXPECT_EQ(f.codec_frame.size, q.frame_samples() * 2);
        EXPECT_EQ(f.codec_frame.buffer, buf.data());
        out.push_back({f.type, f.marker, f.event_frame.event_id, f.event_frame.duration, buf});
    }
    return out;
}

TEST(InputQueue, AudioIsCutIntoPaddedFrames) {
    vantor::InputQueue q(8000);
    ASSERT_EQ(q.frame_samples(), 80u);
    std::vector<int16_t> samples(200);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = (int16_t)(i + 1);
    q.PushAudio(samples.data(), samples.size());
    EXPECT_EQ(q.Pending(), 3u);
    auto frames = Drain(q);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].type, MEDIA_FRAME_TYPE_AUDIO);
    EXPECT_EQ(frames[0].audio[0], 1);
    EXPECT_EQ(frames[2].audio[39], 200);
    EXPECT_EQ(frames[2].audio[40], 0);  // padding
}

TEST(InputQueue, EmptyQueueGivesSilence) {
    vantor::InputQueue q(16000);
    std::vector<int16_t> buf(160, 7);
    mpf_frame_t f;
    EXPECT_FALSE(q.Next(&f, buf.data()));
    EXPECT_EQ(f.type, MEDIA_FRAME_TYPE_AUDIO);
    EXPECT_EQ(f.codec_frame.size, 320u);
    for (int16_t s : buf) ASSERT_EQ(s, 0);
    q.PushSilence(25);  // whole frames: 30 ms
    EXPECT_EQ(q.Pending(), 3u);
}

TEST(InputQueue, DtmfStartMiddleEndAndGap) {
    vantor::InputQueue q(8000);
    ASSERT_TRUE(q.PushDtmf("5#", 50, 30));
    auto frames = Drain(q);
    ASSERT_EQ(frames.size(), 16u);  // (5 event + 3 silence) per digit
    EXPECT_EQ(frames[0].type, MEDIA_FRAME_TYPE_AUDIO | MEDIA_FRAME_TYPE_EVENT);
    EXPECT_EQ(frames[0].marker, MPF_MARKER_START_OF_EVENT);
    EXPECT_EQ(frames[0].id, 5u);
    EXPECT_EQ(frames[0].duration, 80u);  // 10 ms in 8 kHz timestamp units
    EXPECT_EQ(frames[2].marker, MPF_MARKER_NONE);
    EXPECT_EQ(frames[4].marker, MPF_MARKER_END_OF_EVENT);
    EXPECT_EQ(frames[4].duration, 400u);
    EXPECT_EQ(frames[5].type, MEDIA_FRAME_TYPE_AUDIO);
    EXPECT_EQ(frames[8].id, 11u);  // '#'
    EXPECT_EQ(frames[8].marker, MPF_MARKER_START_OF_EVENT);
    EXPECT_FALSE(q.PushDtmf("1x", 100, 100));
    EXPECT_EQ(q.Pending(), 0u);
}

TEST(InputQueue, ShortDigitStillHasStartAndEnd) {
    vantor::InputQueue q(16000);
    ASSERT_TRUE(q.PushDtmf("1", 0, 0));
    auto frames = Drain(q);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].marker, MPF_MARKER_START_OF_EVENT);
    EXPECT_EQ(frames[1].marker, MPF_MARKER_END_OF_EVENT);
    EXPECT_EQ(frames[1].duration, 320u);  // 20 ms at 16 kHz
}

TEST(InputQueue, WaitEmpty) {
    vantor::InputQueue q(8000);
    EXPECT_TRUE(q.WaitEmpty(0));
    q.PushSilence(10);
    EXPECT_FALSE(q.WaitEmpty(1));
    Drain(q);
    EXPECT_TRUE(q.WaitEmpty(1));
}

}  // namespace
