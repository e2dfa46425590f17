// Minimal HTTP/1.1 exchange on plain bytes for the token request: the
// request text, and an incremental response reader (Content-Length, chunked
// or close-delimited bodies) with bounds on head and body sizes.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace KORAL {

typedef std::vector<std::pair<std::string, std::string>> HttpHeaders;

// "METHOD target HTTP/1.1", the headers in order, Content-Length of the body
// when no header gives one, the empty line, then the body.
std::string ComposeHttpRequest(const char *method, const std::string &target,
                               const HttpHeaders &headers, const std::string &body);

class HttpResponseReader {
  public:
    enum Status { NEED_MORE, DONE, FAILED };

    static const size_t kMaxHeadSize = size_t{64} * 1024;
    static const size_t kMaxBodySize = size_t{1024} * 1024;

    // Consumes received bytes; DONE once a whole final response is read.
    Status Feed(const char *data, size_t size);
    // The peer closed the stream: DONE when the body ends with the stream.
    Status FeedEof();

    int m_Code = 0;
    std::string m_Reason;
    HttpHeaders m_Headers;
    std::string m_Body;
    std::string m_Error;  // why reading failed

  private:
    enum Phase {
        HEAD,
        BODY_LENGTH,
        BODY_CHUNK_SIZE,
        BODY_CHUNK_DATA,
        BODY_CHUNK_CRLF,
        BODY_TRAILER,
        BODY_EOF,
        COMPLETE,
        ERROR
    };

    // Longest chunk-size line (size and extensions) accepted.
    static const size_t kMaxChunkLine = 1024;

    Status Run();
    bool ParseHead(size_t headEnd);
    Status Fail(const char *why);
    // Moves up to m_Remaining buffered bytes into the body; true once none remain.
    bool TakeBody();
    const std::string *FindHeader(const char *name) const;

    Phase m_Phase = HEAD;
    std::string m_Buffer;
    size_t m_Remaining = 0;
};

}  // namespace KORAL
