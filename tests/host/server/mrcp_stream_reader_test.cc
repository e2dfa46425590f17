// The MRCPv2 stream framing: messages cut by their message-length however the
// bytes arrive, and every lying or hostile start line refused without buffering.
#include "mrcp_stream_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mrcp_message_codec.h"
#include "mrcp_test_client.h"

namespace {

using vantor::MrcpStreamReader;

// A request whose message-length is exact.
std::string Request(const std::string &method, unsigned id, const std::string &body = "") {
    return KoralTest::MrcpRequest(method, id, "32AECB23433801@speechrecog", "", body);
}

std::vector<std::string> Drain(MrcpStreamReader *reader) {
    std::vector<std::string> out;
    std::string message, error;
    while (reader->Next(&message, &error) == MrcpStreamReader::Result::kMessage)
        out.push_back(message);
    return out;
}

TEST(MrcpStreamReader, FramesMessagesHoweverTheBytesArrive) {
    const std::string a = Request("RECOGNIZE", 1, "builtin:speech/transcribe\r\n");
    const std::string b = Request("STOP", 2);
    const std::string c = Request("GET-PARAMS", 3);
    const std::string stream = a + b + c;

    // All at once: three messages, each byte for byte.
    MrcpStreamReader whole;
    whole.Feed(stream.data(), stream.size());
    EXPECT_EQ(Drain(&whole), (std::vector<std::string>{a, b, c}));
    EXPECT_EQ(whole.buffered(), 0u);

    // One byte per read, and reads cut across message boundaries.
    for (size_t step : {size_t{1}, size_t{7}, a.size() - 1, a.size() + 5}) {
        MrcpStreamReader reader;
        std::vector<std::string> got;
        for (size_t pos = 0; pos < stream.size(); pos += step) {
            reader.Feed(stream.data() + pos, std::min(step, stream.size() - pos));
            for (const std::string &m : Drain(&reader)) got.push_back(m);
        }
        EXPECT_EQ(got, (std::vector<std::string>{a, b, c})) << "step " << step;
        EXPECT_FALSE(reader.failed());
    }

    // Leading zeros are decimal, not octal, and each message parses with the codec.
    std::string padded = a;
    padded.replace(9, 0, "000");
    padded.replace(12, 3, std::to_string(std::stoul(padded.substr(12, 3)) + 3));
    MrcpStreamReader zeros;
    zeros.Feed(padded.data(), padded.size());
    std::string message, error;
    ASSERT_EQ(zeros.Next(&message, &error), MrcpStreamReader::Result::kMessage) << error;
    EXPECT_EQ(message, padded);
}

TEST(MrcpStreamReader, RefusesHostileStartLinesAndStopsReading) {
    struct Case {
        std::string bytes;
        bool has_id;
        unsigned id;
    };
    const std::string too_long =
        "MRCP/2.0 " + std::to_string(MRCP_MESSAGE_MAX_LENGTH + 1) + " RECOGNIZE 7\r\n";
    const std::vector<Case> cases = {
        {"GET / HTTP/1.1\r\nHost: x\r\n\r\n", false, 0},
        {" MRCP/2.0 30 STOP 1\r\n\r\n", true, 1},  // the line starts with its version
        {"MRCP/2.0  30 STOP 2\r\n\r\n", true, 2},  // one space before the length
        {"MRCP/2.0 abc RECOGNIZE 5\r\n\r\n", true, 5},
        {too_long, true, 7},
        {"MRCP/2.0 10 RECOGNIZE 9\r\n\r\n", true, 9},  // shorter than its start line
        {"MRCP/2.0 99999999999999999999 STOP 1\r\n", true, 1},
        {"MRCP/2.0 5 STOP 99999999999\r\n", false, 0},  // id beyond 32 bits
        {"MRCP/2.0 " + std::string(MrcpStreamReader::kMaxStartLine, '1'), false, 0},
    };
    for (const Case &c : cases) {
        MrcpStreamReader reader;
        reader.Feed(c.bytes.data(), c.bytes.size());
        std::string message, error;
        EXPECT_EQ(reader.Next(&message, &error), MrcpStreamReader::Result::kError) << c.bytes;
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(reader.has_request_id(), c.has_id) << c.bytes;
        if (c.has_id) {
            EXPECT_EQ(reader.request_id(), c.id) << c.bytes;
        }
        // Nothing is read after a framing error, not even a good message.
        const std::string good = Request("STOP", 3);
        reader.Feed(good.data(), good.size());
        EXPECT_EQ(reader.Next(&message, &error), MrcpStreamReader::Result::kError);
        EXPECT_EQ(reader.buffered(), 0u);
    }

    // A length that claims more than was sent only waits; it never fails early.
    MrcpStreamReader waiting;
    const std::string partial = "MRCP/2.0 4000 RECOGNIZE 1\r\nChannel-Identifier:a@speechrecog\r\n";
    waiting.Feed(partial.data(), partial.size());
    std::string message, error;
    EXPECT_EQ(waiting.Next(&message, &error), MrcpStreamReader::Result::kNeedMore);
}

}  // namespace
