// The client's MRCPv2 session: its control connection (RFC 6787 section 4): one TCP
// connection to the server's MRCP port, requests written by the host
// library's codec, messages cut from the stream by their message-length and
// parsed by the same codec.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "mrcp_message.h"
#include "mrcp_stream_reader.h"

namespace vantor {

class MrcpSession {
  public:
    MrcpSession() = default;
    ~MrcpSession();
    MrcpSession(const MrcpSession &) = delete;
    MrcpSession &operator=(const MrcpSession &) = delete;

    bool Connect(const std::string &address, unsigned port, long timeout_ms, std::string *error);
    // Writes a recognizer request of the channel ("ID@speechrecog"); the body
    // is sent when not empty.
    bool SendRequest(const std::string &channel, const std::string &method,
                     mrcp_request_id request_id,
                     const std::vector<std::pair<std::string, std::string>> &headers,
                     const std::string &body, std::string *error);

    enum class Wait { kMessage, kTimeout, kClosed, kError, kInterrupted };
    // The next message, parsed into pool; idle runs at least every 20 ms
    // while waiting (the SIP dialog is serviced there) and ends the wait
    // (kInterrupted) by returning false.
    Wait Receive(long timeout_ms, const std::function<bool()> &idle, apr_pool_t *pool,
                 mrcp_message_t **message, std::string *error);

  private:
    int fd_ = -1;
    MrcpStreamReader reader_;
};

}  // namespace vantor
