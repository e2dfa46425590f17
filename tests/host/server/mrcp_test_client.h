// A bare MRCPv2 client connection for the tests: requests written by hand,
// messages read back through the stream reader, with a time limit.
#pragma once

#include <cstdint>
#include <string>

#include "mrcp_stream_reader.h"

namespace KoralTest {

struct MrcpReply {
    std::string text;
    std::string start_line;
    std::string Header(const std::string &name) const;  // "" when missing
    // Tokens of the start line: response "MRCP/2.0 len id status state",
    // event "MRCP/2.0 len NAME id state".
    std::string Token(size_t index) const;
};

class MrcpTestClient {
  public:
    explicit MrcpTestClient(unsigned port);
    ~MrcpTestClient();
    MrcpTestClient(const MrcpTestClient &) = delete;
    MrcpTestClient &operator=(const MrcpTestClient &) = delete;

    bool ok() const { return fd_ >= 0; }
    bool Send(const std::string &text);
    // A request with an exact message-length.
    bool SendRequest(const std::string &method, uint32_t id, const std::string &channel,
                     const std::string &headers = "", const std::string &body = "");
    // The next message; false after timeout_ms or when the server closed.
    bool Receive(MrcpReply *reply, int timeout_ms = 10000);
    // True when the server closed the connection within timeout_ms (nothing
    // else arriving first).
    bool WaitClosed(int timeout_ms = 10000);

  private:
    int fd_ = -1;
    vantor::MrcpStreamReader reader_;
};

std::string MrcpRequest(const std::string &method, uint32_t id, const std::string &channel,
                        const std::string &headers = "", const std::string &body = "");

}  // namespace KoralTest
