// The token endpoint's HTTP response as it arrives from the network, in
// arbitrary pieces (sizes taken from the input) and perhaps ended by the
// peer closing the stream. However the stream is cut, the reader comes to
// the same end (status, code, headers, body) as with the stream in one
// piece, and keeps to its bounds.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzCommon.h"
#include "KoralRxNetHttp.h"

namespace {

using namespace KORAL;

struct Outcome {
    HttpResponseReader::Status status = HttpResponseReader::NEED_MORE;
    HttpResponseReader reader;
};

// Feeds the pieces as the token client does: until the reader is done or
// fails; at the end of the stream, the close when `eof`.
void Read(const fuzz::Chunker &chunker, bool whole, bool eof, Outcome &out) {
    const char *stream = reinterpret_cast<const char *>(chunker.stream());
    size_t length = chunker.length();
    for (size_t offset = 0, index = 0;
         offset < length && out.status == HttpResponseReader::NEED_MORE; ++index) {
        size_t n = whole ? length : chunker.Next(index, offset);
        out.status = out.reader.Feed(stream + offset, n);
        offset += n;
    }
    if (eof && out.status == HttpResponseReader::NEED_MORE) out.status = out.reader.FeedEof();
}

void CheckBounds(const Outcome &out) {
    const HttpResponseReader &r = out.reader;
    KORAL_FUZZ_CHECK(r.m_Body.size() <= HttpResponseReader::kMaxBodySize);
    if (out.status == HttpResponseReader::FAILED) KORAL_FUZZ_CHECK(!r.m_Error.empty());
    if (out.status == HttpResponseReader::DONE) {
        KORAL_FUZZ_CHECK(r.m_Error.empty());
        KORAL_FUZZ_CHECK(r.m_Code >= 200 && r.m_Code <= 999);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const bool eof = (data[0] & 0x80) != 0;
    fuzz::Chunker chunker(data, size);

    Outcome whole, pieces;
    Read(chunker, true, eof, whole);
    Read(chunker, false, eof, pieces);
    CheckBounds(whole);
    CheckBounds(pieces);
    KORAL_FUZZ_CHECK(whole.status == pieces.status);
    if (whole.status == HttpResponseReader::DONE) {
        KORAL_FUZZ_CHECK(whole.reader.m_Code == pieces.reader.m_Code);
        KORAL_FUZZ_CHECK(whole.reader.m_Reason == pieces.reader.m_Reason);
        KORAL_FUZZ_CHECK(whole.reader.m_Headers == pieces.reader.m_Headers);
        KORAL_FUZZ_CHECK(whole.reader.m_Body == pieces.reader.m_Body);
    }
    // A reader that is done stays done, one that failed stays failed.
    if (whole.status != HttpResponseReader::NEED_MORE) {
        KORAL_FUZZ_CHECK(whole.reader.Feed("x", 1) == whole.status);
        KORAL_FUZZ_CHECK(whole.reader.FeedEof() == whole.status);
    }
    return 0;
}
