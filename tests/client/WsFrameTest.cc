// Frame codec on byte vectors: the exact bytes of the three length forms,
// masking continued across pieces, what a read of several server frames
// yields, and the size bound judged from the header alone. Streams cut
// anywhere and hostile bytes are the fuzz target's (fuzz_ws_frame).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "KoralRxWsFrame.h"
#include "KoralTest/WsFrame.h"

using namespace KORAL;

namespace {

std::vector<uint8_t> Bytes(std::initializer_list<int> list) {
    return std::vector<uint8_t>(list.begin(), list.end());
}

TEST(WsFrame, LengthFormsEncodeExactlyAndReadBack) {
    const uint8_t key[4] = {1, 2, 3, 4};
    std::vector<uint8_t> frame;
    WsFrame::Encode(frame, WsFrame::OPCODE_TEXT, "Hi", 2, key);
    EXPECT_EQ(frame, Bytes({0x81, 0x82, 0x01, 0x02, 0x03, 0x04, 0x49, 0x6B}));
    uint8_t head[WsFrame::kMaxHeaderSize];
    size_t n = WsFrame::EncodeHeader(head, WsFrame::OPCODE_BINARY, 70000, key);
    EXPECT_EQ(std::vector<uint8_t>(head, head + n),
              Bytes({0x82, 0xFF, 0, 0, 0, 0, 0, 0x01, 0x11, 0x70, 1, 2, 3, 4}));
    const std::pair<size_t, std::vector<uint8_t>> cases[] = {
        {125, Bytes({0x81, 0xFD, 1, 2, 3, 4})},
        {126, Bytes({0x81, 0xFE, 0x00, 0x7E, 1, 2, 3, 4})},
        {65535, Bytes({0x81, 0xFE, 0xFF, 0xFF, 1, 2, 3, 4})},
        {65536, Bytes({0x81, 0xFF, 0, 0, 0, 0, 0, 1, 0, 0, 1, 2, 3, 4})},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.first);
        std::string payload(c.first, 'a');
        frame.clear();
        WsFrame::Encode(frame, WsFrame::OPCODE_TEXT, payload.data(), payload.size(), key);
        ASSERT_EQ(frame.size(), c.second.size() + c.first);
        EXPECT_EQ(std::vector<uint8_t>(frame.begin(), frame.begin() + c.second.size()), c.second);
        EXPECT_EQ(WsFrame::HeaderSize(c.first, true), c.second.size());
        WsFrame::Header h;
        std::string back;
        ASSERT_EQ(WsFrame::ReadFrame(frame.data(), frame.size(), 1 << 20, h, back),
                  WsFrame::READ_FRAME);
        EXPECT_TRUE(h.m_Masked);
        EXPECT_EQ(back, payload);
    }
}

TEST(WsFrame, MaskingPieceByPieceEqualsWholePayload) {
    const uint8_t key[4] = {0xA1, 0x5B, 0x3C, 0xF7};
    std::vector<uint8_t> src(1000);
    for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<uint8_t>(i * 7 + 3);
    std::vector<uint8_t> whole(src.size());
    WsFrame::MaskCopy(whole.data(), src.data(), src.size(), key, 0);
    for (size_t i = 0; i < src.size(); ++i) ASSERT_EQ(whole[i], src[i] ^ key[i % 4]) << i;
    // Pieces of odd sizes continue the key where the previous piece stopped.
    std::vector<uint8_t> pieces(src.size());
    const size_t offsets[] = {0, 2, 3, 46, 47, 500, 999, 1000};
    for (size_t k = 0; k + 1 < 8; ++k) {
        const size_t a = offsets[k], b = offsets[k + 1];
        WsFrame::MaskCopy(pieces.data() + a, src.data() + a, b - a, key, a);
    }
    EXPECT_EQ(pieces, whole);
}

TEST(WsFrame, ServerFramesInOneReadAndTheSizeBound) {
    // Unmasked, masked, a ping and an unfinished fragment, read one by one.
    const uint8_t key[4] = {9, 8, 7, 6};
    const std::string stream = KoralTest::WsFrameBytes(WsFrame::OPCODE_TEXT, "Hi") +
                               KoralTest::WsFrameBytes(WsFrame::OPCODE_TEXT, "hello", true, key) +
                               KoralTest::WsFrameBytes(WsFrame::OPCODE_PING, "are you there") +
                               KoralTest::WsFrameBytes(WsFrame::OPCODE_TEXT, "part", false);
    EXPECT_EQ(stream.substr(0, 4), "\x81\x02Hi");
    std::vector<uint8_t> buffer(stream.begin(), stream.end());
    std::vector<std::string> read;
    WsFrame::Header h;
    std::string payload;
    while (WsFrame::ReadFrame(buffer.data(), buffer.size(), WsFrame::kMaxReceivedPayload, h,
                              payload) == WsFrame::READ_FRAME) {
        buffer.erase(buffer.begin(), buffer.begin() + h.m_HeaderSize + h.m_Length);
        read.push_back(std::to_string(h.m_Opcode) + (h.m_Fin ? " " : "+ ") + payload);
    }
    EXPECT_TRUE(buffer.empty());
    EXPECT_EQ(read, (std::vector<std::string>{"1 Hi", "1 hello", "9 are you there", "1+ part"}));

    // Only the header has arrived: the bound is judged before any payload.
    std::vector<uint8_t> over = Bytes({0x81, 0x7F, 0, 0, 0, 0, 0, 0x10, 0, 1});
    EXPECT_EQ(
        WsFrame::ReadFrame(over.data(), over.size(), WsFrame::kMaxReceivedPayload, h, payload),
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
