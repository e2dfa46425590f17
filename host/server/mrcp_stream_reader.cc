#include "mrcp_stream_reader.h"

#include <vector>

#include "mrcp_message_codec.h"

namespace vantor {

namespace {

std::vector<std::string> SplitTokens(const std::string &line) {
    std::vector<std::string> tokens;
    size_t pos = 0;
    while (pos < line.size()) {
        size_t end = line.find(' ', pos);
        if (end == std::string::npos) end = line.size();
        if (end > pos) tokens.push_back(line.substr(pos, end - pos));
        pos = end + 1;
    }
    return tokens;
}

// A decimal of at most max_digits digits (leading zeros allowed).
bool ParseDecimal(const std::string &text, size_t max_digits, uint64_t *value) {
    if (text.empty()) return false;
    size_t digits = 0;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        if (v == 0 && c == '0') continue;  // leading zeros do not count
        if (++digits > max_digits) return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    *value = v;
    return true;
}

}  // namespace

void MrcpStreamReader::Feed(const char *data, size_t size) {
    if (failed_ || size == 0) return;
    // Drop what was handed out before growing the buffer again.
    if (start_ > 0 && start_ == buffer_.size()) {
        buffer_.clear();
        start_ = 0;
    } else if (start_ > 64 * 1024) {
        buffer_.erase(0, start_);
        start_ = 0;
    }
    buffer_.append(data, size);
}

MrcpStreamReader::Result MrcpStreamReader::Fail(const std::string &reason, std::string *error) {
    failed_ = true;
    buffer_.clear();
    start_ = 0;
    if (error) *error = reason;
    return Result::kError;
}

MrcpStreamReader::Result MrcpStreamReader::Next(std::string *message, std::string *error) {
    if (failed_) {
        if (error) *error = "the stream failed earlier";
        return Result::kError;
    }
    const size_t available = buffer_.size() - start_;
    const char *begin = buffer_.data() + start_;
    size_t line_end = 0;
    while (line_end < available && begin[line_end] != '\r' && begin[line_end] != '\n') ++line_end;
    if (line_end == available) {
        if (available > kMaxStartLine)
            return Fail("no start line end within " + std::to_string(kMaxStartLine) + " bytes",
                        error);
        return Result::kNeedMore;
    }
    if (line_end > kMaxStartLine)
        return Fail("start line longer than " + std::to_string(kMaxStartLine) + " bytes", error);
    const std::string line(begin, line_end);
    const std::vector<std::string> tokens = SplitTokens(line);
    // A request line names its id in the fourth of four tokens.
    uint64_t id = 0;
    if (tokens.size() == 4 && ParseDecimal(tokens[3], 10, &id) && id <= UINT32_MAX) {
        has_request_id_ = true;
        request_id_ = static_cast<uint32_t>(id);
    } else {
        has_request_id_ = false;
    }
    if (line.compare(0, 5, "MRCP/") != 0)
        return Fail("not an MRCP start line: \"" + line.substr(0, 64) + "\"", error);
    // The length follows the version and one space.
    uint64_t length = 0;
    const size_t space = line.find(' ');
    if (tokens.size() < 2 || space == std::string::npos ||
        line.compare(space + 1, tokens[1].size(), tokens[1]) != 0 ||
        !ParseDecimal(tokens[1], 10, &length))
        return Fail("unreadable message-length in \"" + line.substr(0, 64) + "\"", error);
    if (length > MRCP_MESSAGE_MAX_LENGTH)
        return Fail("message-length " + std::to_string(length) + " over the limit of " +
                        std::to_string(MRCP_MESSAGE_MAX_LENGTH),
                    error);
    // The message holds at least its start line and the empty line ending the headers.
    if (length < line_end + 2)
        return Fail("message-length " + std::to_string(length) + " shorter than its start line",
                    error);
    if (available < length) return Result::kNeedMore;
    message->assign(begin, static_cast<size_t>(length));
    start_ += static_cast<size_t>(length);
    has_request_id_ = false;
    return Result::kMessage;
}

}  // namespace vantor
