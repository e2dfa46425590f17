// An HTTP proxy's reply to CONNECT (and a service's reply to the WebSocket
// upgrade) as it arrives, in arbitrary pieces (sizes taken from the input):
// the head is looked for after each piece, as the transport does, and
// judged by its status line. Whatever the cut, a head that is found is the
// same one, and what the status and first line say comes from the first
// line alone.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "FuzzCommon.h"
#include "KoralRxNetTransport.h"
#include "KoralRxWsHandshake.h"

namespace {

using namespace KORAL;

// The judgement of one head: its length, status code, first line and
// whether it accepts a WebSocket upgrade.
struct Reply {
    size_t end = std::string::npos;
    int status = 0;
    std::string first_line;
    bool upgraded = false;
    bool operator==(const Reply &o) const {
        return end == o.end && status == o.status && first_line == o.first_line &&
               upgraded == o.upgraded;
    }
};

void Judge(const char *data, size_t end, Reply &reply) {
    reply.end = end;
    reply.status = WsHandshake::StatusCode(data, end);
    reply.first_line = WsHandshake::FirstLine(data, end);
    reply.upgraded = WsHandshake::IsUpgradeAccepted(data, end);

    KORAL_FUZZ_CHECK(end >= 4 && memcmp(data + end - 4, "\r\n\r\n", 4) == 0);
    KORAL_FUZZ_CHECK(reply.first_line.size() < end);
    KORAL_FUZZ_CHECK(reply.first_line.find_first_of("\r\n") == std::string::npos);
    KORAL_FUZZ_CHECK(reply.status >= 0 && reply.status <= 999);
    // The status is the first line's: the lines after it cannot lend one.
    KORAL_FUZZ_CHECK(reply.status ==
                     WsHandshake::StatusCode(reply.first_line.data(), reply.first_line.size()));
    if (reply.upgraded) KORAL_FUZZ_CHECK(reply.status == 101);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Chunker chunker(data, size);
    const char *stream = reinterpret_cast<const char *>(chunker.stream());
    size_t length = chunker.length();

    Reply whole;
    {
        // An exact-size copy, so that any overread shows.
        std::string copy(stream, length);
        size_t end = WsHandshake::FindHeadEnd(copy.data(), copy.size());
        if (end != std::string::npos) {
            KORAL_FUZZ_CHECK(end <= length);
            KORAL_FUZZ_CHECK(copy.find("\r\n\r\n") + 4 == end);
            Judge(copy.data(), end, whole);
        } else {
            KORAL_FUZZ_CHECK(copy.find("\r\n\r\n") == std::string::npos);
        }
    }

    Reply pieces;
    bool refused_long = false;
    std::string buffer;
    for (size_t offset = 0, index = 0; offset < length; ++index) {
        size_t n = chunker.Next(index, offset);
        buffer.append(stream + offset, n);
        offset += n;
        size_t end = WsHandshake::FindHeadEnd(buffer.data(), buffer.size());
        if (end == std::string::npos) {
            if (buffer.size() > NetTransport::kMaxProxyReplySize) {
                refused_long = true;
                WsHandshake::FirstLine(buffer.data(), buffer.size());
                break;
            }
            continue;
        }
        Judge(buffer.data(), end, pieces);
        break;
    }
    if (!refused_long) KORAL_FUZZ_CHECK(pieces == whole);
    return 0;
}
