// The WebSocket frame receiver: a byte stream from the service arriving in
// arbitrary pieces (sizes taken from the input), read frame by frame as the
// connection reads its input buffer. However the stream is cut, the same
// frames come out as from the stream in one piece; every frame read encodes
// and reads back to itself.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzCommon.h"
#include "KoralRxWsFrame.h"

namespace {

using namespace KORAL;

struct Frame {
    bool fin;
    uint8_t opcode;
    std::string payload;
    bool operator==(const Frame &o) const {
        return fin == o.fin && opcode == o.opcode && payload == o.payload;
    }
};

struct Received {
    std::vector<Frame> frames;
    bool too_large = false;
};

// Reads every whole frame at the start of `buffer` and drains it, the way
// the connection does: the header from at most kMaxHeaderSize bytes first,
// then the frame once all of it is there. False once a frame is too large
// (the connection gives up).
bool Drain(std::string &buffer, uint64_t max_payload, Received &received) {
    for (;;) {
        const uint8_t *data = reinterpret_cast<const uint8_t *>(buffer.data());
        size_t head =
            buffer.size() < WsFrame::kMaxHeaderSize ? buffer.size() : WsFrame::kMaxHeaderSize;
        WsFrame::Header header;
        WsFrame::DecodeStatus status = WsFrame::DecodeHeader(data, head, max_payload, header);
        if (status == WsFrame::DECODE_NEED_MORE) return true;
        if (status == WsFrame::DECODE_TOO_LARGE) {
            KORAL_FUZZ_CHECK(header.m_Length > max_payload);
            received.too_large = true;
            return false;
        }
        KORAL_FUZZ_CHECK(header.m_Length <= max_payload);
        KORAL_FUZZ_CHECK(header.m_HeaderSize >= 2 && header.m_HeaderSize <= head);
        size_t total = header.m_HeaderSize + static_cast<size_t>(header.m_Length);
        if (buffer.size() < total) {
            // Not all there yet: reading the whole buffer agrees.
            std::string payload;
            KORAL_FUZZ_CHECK(WsFrame::ReadFrame(data, buffer.size(), max_payload, header,
                                                payload) == WsFrame::READ_NEED_MORE);
            return true;
        }
        // Read from an exact-size copy, so that any overread shows.
        std::vector<uint8_t> frame(data, data + total);
        std::string payload;
        WsFrame::Header read;
        KORAL_FUZZ_CHECK(WsFrame::ReadFrame(frame.data(), total, max_payload, read, payload) ==
                         WsFrame::READ_FRAME);
        KORAL_FUZZ_CHECK(read.m_HeaderSize == header.m_HeaderSize);
        KORAL_FUZZ_CHECK(read.m_Length == header.m_Length && payload.size() == read.m_Length);
        received.frames.push_back(Frame{read.m_Fin, read.m_Opcode, payload});
        buffer.erase(0, total);
    }
}

// A frame the client would send with this payload reads back to it.
void CheckEncode(const Frame &frame, const uint8_t *key) {
    std::vector<uint8_t> out;
    WsFrame::Encode(out, frame.opcode, frame.payload.data(), frame.payload.size(), key);
    KORAL_FUZZ_CHECK(out.size() ==
                     WsFrame::HeaderSize(frame.payload.size(), true) + frame.payload.size());
    WsFrame::Header header;
    std::string payload;
    KORAL_FUZZ_CHECK(WsFrame::ReadFrame(out.data(), out.size(), WsFrame::kMaxReceivedPayload,
                                        header, payload) == WsFrame::READ_FRAME);
    KORAL_FUZZ_CHECK(header.m_Fin && header.m_Masked && header.m_Opcode == (frame.opcode & 0x0F));
    KORAL_FUZZ_CHECK(payload == frame.payload);
    // Masking piece by piece gives what masking at once gives.
    if (frame.payload.size() > 1) {
        const uint8_t *plain = reinterpret_cast<const uint8_t *>(frame.payload.data());
        std::vector<uint8_t> whole(frame.payload.size()), pieces(frame.payload.size());
        WsFrame::MaskCopy(whole.data(), plain, whole.size(), key, 0);
        size_t split = whole.size() / 3 + 1;
        WsFrame::MaskCopy(pieces.data(), plain, split, key, 0);
        WsFrame::MaskCopy(pieces.data() + split, plain + split, pieces.size() - split, key, split);
        KORAL_FUZZ_CHECK(whole == pieces);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    // The first byte's high bits pick a small payload bound, so that the
    // bound is met as often as frames are.
    uint64_t max_payload = (data[0] & 0x80) ? (data[0] & 0x70) : WsFrame::kMaxReceivedPayload;
    fuzz::Chunker chunker(data, size);
    const uint8_t *stream = chunker.stream();
    size_t length = chunker.length();

    Received whole;
    std::string buffer(reinterpret_cast<const char *>(stream), length);
    Drain(buffer, max_payload, whole);

    Received pieces;
    buffer.clear();
    for (size_t offset = 0, index = 0; offset < length; ++index) {
        size_t n = chunker.Next(index, offset);
        buffer.append(reinterpret_cast<const char *>(stream + offset), n);
        offset += n;
        if (!Drain(buffer, max_payload, pieces)) break;
    }
    KORAL_FUZZ_CHECK(pieces.too_large == whole.too_large);
    KORAL_FUZZ_CHECK(pieces.frames == whole.frames);

    const uint8_t key[4] = {data[0], 0x5A, 0xA5, 0xFF};
    for (const Frame &frame : whole.frames) CheckEncode(frame, key);
    return 0;
}
