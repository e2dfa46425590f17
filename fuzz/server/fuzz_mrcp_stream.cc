// MRCPv2 bytes on vantor-server's TCP port. The stream is fed whole and cut
// into reads at sizes taken from the first bytes: both give the same
// messages and the same end, each message as long as its start line says
// and never over the limit.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "FuzzCommon.h"
#include "mrcp_message_codec.h"
#include "mrcp_stream_reader.h"

namespace {

struct Outcome {
    std::vector<std::string> messages;
    bool failed = false;
};

Outcome Read(const std::string &stream, const std::vector<size_t> &cuts) {
    vantor::MrcpStreamReader reader;
    Outcome out;
    size_t pos = 0, next_cut = 0;
    while (pos < stream.size() && !out.failed) {
        size_t step = cuts.empty() ? stream.size() : cuts[next_cut++ % cuts.size()];
        step = std::min(step, stream.size() - pos);
        reader.Feed(stream.data() + pos, step);
        pos += step;
        for (;;) {
            std::string message, error;
            vantor::MrcpStreamReader::Result r = reader.Next(&message, &error);
            if (r == vantor::MrcpStreamReader::Result::kNeedMore) break;
            if (r == vantor::MrcpStreamReader::Result::kError) {
                KORAL_FUZZ_CHECK(!error.empty());
                KORAL_FUZZ_CHECK(reader.buffered() == 0);
                out.failed = true;
                break;
            }
            KORAL_FUZZ_CHECK(message.size() <= MRCP_MESSAGE_MAX_LENGTH);
            KORAL_FUZZ_CHECK(strtoull(message.c_str() + message.find(' ') + 1, nullptr, 10) ==
                             message.size());
            out.messages.push_back(message);
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    // The first byte gives how many read sizes follow (up to 8).
    const size_t count = std::min<size_t>(data[0] % 9, size - 1);
    std::vector<size_t> cuts;
    for (size_t i = 0; i < count; ++i) cuts.push_back(1 + data[1 + i]);
    const std::string stream(reinterpret_cast<const char *>(data + 1 + count), size - 1 - count);
    const Outcome whole = Read(stream, {});
    const Outcome pieces = Read(stream, cuts);
    KORAL_FUZZ_CHECK(whole.messages == pieces.messages);
    KORAL_FUZZ_CHECK(whole.failed == pieces.failed);
    return 0;
}
