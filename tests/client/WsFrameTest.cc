// Frame codec on byte vectors: length forms, masking, several frames in one
// read, control frames skipped, frames split over reads, the size bound.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "KoralRxWsFrame.h"
#include "KoralTest/WsFrame.h"

using namespace KORAL;

namespace {

std::vector<uint8_t> Bytes(std::initializer_list<int> list) {
    std::vector<uint8_t> v;
    for (int b : list) {
        v.push_back(static_cast<uint8_t>(b));
    }
    return v;
}

// A frame as the service sends it: unmasked, or masked with `key` when given.
std::vector<uint8_t> ServerFrame(uint8_t opcode, const std::string &payload, bool fin = true,
                                 const uint8_t *key = nullptr) {
    const std::string bytes = KoralTest::WsFrameBytes(opcode, payload, fin, key);
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

// Reads every complete frame from `buffer` as the connection does, keeping
// the remainder; returns the text payloads.
std::vector<std::string> Drain(std::vector<uint8_t> &buffer) {
    std::vector<std::string> texts;
    for (;;) {
        WsFrame::Header h;
        std::string payload;
        WsFrame::ReadStatus st = WsFrame::ReadFrame(buffer.data(), buffer.size(),
                                                    WsFrame::kMaxReceivedPayload, h, payload);
        if (st != WsFrame::READ_FRAME) {
            return texts;
        }
        buffer.erase(buffer.begin(), buffer.begin() + h.m_HeaderSize + h.m_Length);
        if (h.m_Opcode == WsFrame::OPCODE_TEXT) {
            texts.push_back(payload);
        }
    }
}

TEST(WsFrameEncode, ThreeLengthForms) {
    const uint8_t key[4] = {1, 2, 3, 4};
    struct Case {
        size_t length;
        std::vector<uint8_t> head;
    } cases[] = {
        {125, Bytes({0x81, 0xFD, 1, 2, 3, 4})},
        {126, Bytes({0x81, 0xFE, 0x00, 0x7E, 1, 2, 3, 4})},
        {65535, Bytes({0x81, 0xFE, 0xFF, 0xFF, 1, 2, 3, 4})},
        {65536, Bytes({0x81, 0xFF, 0, 0, 0, 0, 0, 1, 0, 0, 1, 2, 3, 4})},
    };
    for (const Case &c : cases) {
        std::string payload(c.length, 'a');
        std::vector<uint8_t> frame;
        WsFrame::Encode(frame, WsFrame::OPCODE_TEXT, payload.data(), payload.size(), key);
        ASSERT_EQ(frame.size(), c.head.size() + c.length) << c.length;
        EXPECT_EQ(std::vector<uint8_t>(frame.begin(), frame.begin() + c.head.size()), c.head)
            << c.length;
        EXPECT_EQ(WsFrame::HeaderSize(c.length, true), c.head.size());
        // The service reads back what was sent.
        WsFrame::Header h;
        std::string back;
        ASSERT_EQ(WsFrame::ReadFrame(frame.data(), frame.size(), 1 << 20, h, back),
                  WsFrame::READ_FRAME);
        EXPECT_TRUE(h.m_Masked);
        EXPECT_EQ(back, payload);
    }
}

TEST(WsFrameEncode, KnownMaskedTextAndBinaryHeaders) {
    const uint8_t key[4] = {1, 2, 3, 4};
    std::vector<uint8_t> frame;
    WsFrame::Encode(frame, WsFrame::OPCODE_TEXT, "Hi", 2, key);
    EXPECT_EQ(frame, Bytes({0x81, 0x82, 0x01, 0x02, 0x03, 0x04, 0x49, 0x6B}));

    uint8_t head[WsFrame::kMaxHeaderSize];
    size_t n = WsFrame::EncodeHeader(head, WsFrame::OPCODE_BINARY, 300, key);
    EXPECT_EQ(std::vector<uint8_t>(head, head + n), Bytes({0x82, 0xFE, 0x01, 0x2C, 1, 2, 3, 4}));
    n = WsFrame::EncodeHeader(head, WsFrame::OPCODE_BINARY, 70000, key);
    EXPECT_EQ(std::vector<uint8_t>(head, head + n),
              Bytes({0x82, 0xFF, 0, 0, 0, 0, 0, 0x01, 0x11, 0x70, 1, 2, 3, 4}));
}

TEST(WsFrameEncode, MaskingPieceByPieceEqualsWholePayload) {
    const uint8_t key[4] = {0xA1, 0x5B, 0x3C, 0xF7};
    std::vector<uint8_t> src(1000);
    for (size_t i = 0; i < src.size(); ++i) {
        src[i] = static_cast<uint8_t>(i * 7 + 3);
    }
    std::vector<uint8_t> whole(src.size());
    WsFrame::MaskCopy(whole.data(), src.data(), src.size(), key, 0);
    for (size_t i = 0; i < src.size(); ++i) {
        ASSERT_EQ(whole[i], src[i] ^ key[i % 4]) << i;
    }
    // Pieces of odd sizes continue the key where the previous piece stopped.
    std::vector<uint8_t> pieces(src.size());
    size_t offsets[] = {0, 2, 3, 46, 47, 500, 999, 1000};
    for (size_t k = 0; k + 1 < sizeof(offsets) / sizeof(offsets[0]); ++k) {
        size_t a = offsets[k], b = offsets[k + 1];
        WsFrame::MaskCopy(pieces.data() + a, src.data() + a, b - a, key, a);
    }
    EXPECT_EQ(pieces, whole);
}

TEST(WsFrameEncode, MaskingKeysDifferPerFrame) {
    uint8_t a[4], b[4], c[4];
    WsFrame::RandomMaskKey(a);
    WsFrame::RandomMaskKey(b);
    WsFrame::RandomMaskKey(c);
    // Three equal 32-bit draws from a working generator do not happen.
    EXPECT_FALSE(memcmp(a, b, 4) == 0 && memcmp(b, c, 4) == 0);
}

TEST(WsFrameDecode, UnmaskedAndMaskedPayloads) {
    std::vector<uint8_t> plain = ServerFrame(WsFrame::OPCODE_TEXT, "Hi");
    EXPECT_EQ(plain, Bytes({0x81, 0x02, 0x48, 0x69}));
    const uint8_t key[4] = {9, 8, 7, 6};
    std::vector<uint8_t> masked = ServerFrame(WsFrame::OPCODE_TEXT, "hello", true, key);
    std::vector<uint8_t> both = plain;
    both.insert(both.end(), masked.begin(), masked.end());
    EXPECT_EQ(Drain(both), (std::vector<std::string>{"Hi", "hello"}));
    EXPECT_TRUE(both.empty());
}

TEST(WsFrameDecode, ThreeLengthFormsRoundTrip) {
    for (size_t n : {size_t(0), size_t(125), size_t(126), size_t(65535), size_t(65536)}) {
        std::string payload(n, 'x');
        for (size_t i = 0; i < n; ++i) {
            payload[i] = static_cast<char>('a' + i % 26);
        }
        std::vector<uint8_t> buffer = ServerFrame(WsFrame::OPCODE_TEXT, payload);
        std::vector<std::string> texts = Drain(buffer);
        ASSERT_EQ(texts.size(), 1u) << n;
        EXPECT_EQ(texts[0], payload) << n;
    }
}

TEST(WsFrameDecode, TwoTextFramesInOneReadWithPingBetween) {
    std::vector<uint8_t> buffer = ServerFrame(WsFrame::OPCODE_TEXT, "first");
    std::vector<uint8_t> ping = ServerFrame(WsFrame::OPCODE_PING, "are you there");
    std::vector<uint8_t> second = ServerFrame(WsFrame::OPCODE_TEXT, "second");
    buffer.insert(buffer.end(), ping.begin(), ping.end());
    buffer.insert(buffer.end(), second.begin(), second.end());
    EXPECT_EQ(Drain(buffer), (std::vector<std::string>{"first", "second"}));
}

TEST(WsFrameDecode, FrameSplitOverReadsAtEveryByte) {
    std::string payload(300, 'q');
    std::vector<uint8_t> frame = ServerFrame(WsFrame::OPCODE_TEXT, payload);
    for (size_t cut = 1; cut < frame.size(); ++cut) {
        std::vector<uint8_t> buffer(frame.begin(), frame.begin() + cut);
        ASSERT_TRUE(Drain(buffer).empty()) << cut;
        ASSERT_EQ(buffer.size(), cut);
        buffer.insert(buffer.end(), frame.begin() + cut, frame.end());
        std::vector<std::string> texts = Drain(buffer);
        ASSERT_EQ(texts.size(), 1u) << cut;
        EXPECT_EQ(texts[0], payload);
    }
}

TEST(WsFrameDecode, ContinuationFlagIsReported) {
    std::vector<uint8_t> frame = ServerFrame(WsFrame::OPCODE_TEXT, "part", false);
    WsFrame::Header h;
    std::string payload;
    ASSERT_EQ(WsFrame::ReadFrame(frame.data(), frame.size(), 1 << 20, h, payload),
              WsFrame::READ_FRAME);
    EXPECT_FALSE(h.m_Fin);
    EXPECT_EQ(payload, "part");
}

TEST(WsFrameDecode, OversizedFrameIsRejectedFromItsHeader) {
    // Only the header has arrived: the bound is judged before any payload.
    std::vector<uint8_t> head = Bytes({0x81, 0x7F, 0, 0, 0, 0, 0, 0x10, 0, 1});
    WsFrame::Header h;
    std::string payload;
    EXPECT_EQ(
        WsFrame::ReadFrame(head.data(), head.size(), WsFrame::kMaxReceivedPayload, h, payload),
        WsFrame::READ_TOO_LARGE);
    std::vector<uint8_t> huge = Bytes({0x82, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    EXPECT_EQ(WsFrame::DecodeHeader(huge.data(), huge.size(), WsFrame::kMaxReceivedPayload, h),
              WsFrame::DECODE_TOO_LARGE);
    // Exactly the bound is accepted (header read, payload awaited).
    std::vector<uint8_t> atBound = Bytes({0x81, 0x7F, 0, 0, 0, 0, 0, 0x10, 0, 0});
    EXPECT_EQ(
        WsFrame::DecodeHeader(atBound.data(), atBound.size(), WsFrame::kMaxReceivedPayload, h),
        WsFrame::DECODE_HEADER);
    EXPECT_EQ(h.m_Length, WsFrame::kMaxReceivedPayload);
}

}  // namespace
