// MRCPv2 and MRCPv1 message text as a client sends it to the host. What
// parses serializes, and the text written parses again to the same message
// and writes the same text. The first byte's low bit asks for an MRCPv2
// message-length set to the text's true length, so that mutated messages
// get past the length check as a client's would.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "FuzzCommon.h"
#include "mrcp_message.h"
#include "mrcp_message_codec.h"

namespace {

const char kV2[] = "MRCP/2.0 ";

// Replaces the digits after "MRCP/2.0 " with the length of the whole text.
void FixLength(std::string &text) {
    const size_t at = sizeof(kV2) - 1;
    if (text.compare(0, at, kV2) != 0) return;
    size_t digits = 0;
    while (at + digits < text.size() && isdigit(static_cast<unsigned char>(text[at + digits])))
        ++digits;
    if (digits == 0) return;
    std::string rest = text.substr(at + digits);
    size_t total = at + rest.size();
    for (int i = 0; i < 3; ++i) total = at + std::to_string(total).size() + rest.size();
    text = kV2 + std::to_string(total) + rest;
}

bool SameString(const apt_str_t &a, const apt_str_t &b) {
    return a.length == b.length && (a.length == 0 || memcmp(a.buf, b.buf, a.length) == 0);
}

void CheckSame(const mrcp_message_t *a, const mrcp_message_t *b) {
    const mrcp_start_line_t &x = a->start_line, &y = b->start_line;
    KORAL_FUZZ_CHECK(x.message_type == y.message_type && x.version == y.version);
    KORAL_FUZZ_CHECK(x.request_id == y.request_id && x.method_id == y.method_id);
    KORAL_FUZZ_CHECK(x.status_code == y.status_code && x.request_state == y.request_state);
    KORAL_FUZZ_CHECK(SameString(x.method_name, y.method_name));
    KORAL_FUZZ_CHECK(SameString(a->body, b->body));
    if (x.version == MRCP_VERSION_2) {
        KORAL_FUZZ_CHECK(SameString(a->channel_id.session_id, b->channel_id.session_id));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    if (data[0] & 1) FixLength(text);
    KORAL::fuzz::InputPool pool;

    // An exact-size copy, so that any overread shows.
    std::unique_ptr<char[]> copy(new char[text.size()]);
    if (!text.empty()) memcpy(copy.get(), text.data(), text.size());
    const char *error = nullptr;
    mrcp_message_t *first = mrcp_message_parse(copy.get(), text.size(), pool.get(), &error);
    if (!first) {
        KORAL_FUZZ_CHECK(error != nullptr);
        return 0;
    }
    KORAL_FUZZ_CHECK(first->start_line.message_type != MRCP_MESSAGE_TYPE_UNKNOWN);
    // Every header reads back as text.
    const apr_array_header_t *order = first->header.order;
    for (int i = 0; order && i < order->nelts; ++i) {
        const char *name = nullptr;
        mrcp_message_header_text_get(first, static_cast<apr_size_t>(i), &name, pool.get());
    }

    apr_size_t length = 0;
    const char *written = mrcp_message_serialize(first, pool.get(), &length);
    KORAL_FUZZ_CHECK(written != nullptr);
    KORAL_FUZZ_CHECK(strlen(written) <= length);
    mrcp_message_t *second = mrcp_message_parse(written, length, pool.get(), &error);
    if (!second) fprintf(stderr, "reparse failed: %s\n", error);
    KORAL_FUZZ_CHECK(second != nullptr);
    CheckSame(first, second);

    apr_size_t again_length = 0;
    const char *again = mrcp_message_serialize(second, pool.get(), &again_length);
    KORAL_FUZZ_CHECK(again != nullptr);
    KORAL_FUZZ_CHECK(again_length == length && memcmp(again, written, length) == 0);
    return 0;
}
