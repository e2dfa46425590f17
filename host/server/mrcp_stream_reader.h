// MRCPv2 framing over a byte stream (RFC 6787 section 4): bytes in, whole
// messages out. Each message is cut by the message-length of its start line,
// so a read may hold part of a message or several of them. A hostile length is
// never buffered: a start line that is too long, a version that is not MRCP, a
// length that is not a number, shorter than the start line or longer than
// MRCP_MESSAGE_MAX_LENGTH ends the stream with an error, and nothing is read
// after it (framing is lost: the connection has to close).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vantor {

class MrcpStreamReader {
  public:
    enum class Result { kMessage, kNeedMore, kError };

    // Longest start line taken (bytes before its line end).
    static constexpr size_t kMaxStartLine = 512;

    // Appends received bytes. Ignored once the stream failed.
    void Feed(const char *data, size_t size);
    // The next whole message in *message (start line to the end of its body);
    // kNeedMore when it has not all arrived; kError with a reason in *error.
    Result Next(std::string *message, std::string *error);

    // After kError: the request id of the start line that failed, when it
    // named one (a request line with a readable id), so that the peer can be
    // answered before the stream closes.
    bool has_request_id() const { return has_request_id_; }
    uint32_t request_id() const { return request_id_; }
    bool failed() const { return failed_; }
    // Bytes received and not yet handed out.
    size_t buffered() const { return buffer_.size() - start_; }

  private:
    Result Fail(const std::string &reason, std::string *error);

    std::string buffer_;
    size_t start_ = 0;  // first byte not handed out
    bool failed_ = false;
    bool has_request_id_ = false;
    uint32_t request_id_ = 0;
};

}  // namespace vantor
