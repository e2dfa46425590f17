// The receiving end of one call's audio: an even UDP port in the configured
// range and the frame source the media clock feeds the channel from.
#pragma once

#include <memory>
#include <string>

#include "input_queue.h"
#include "sdp_answer.h"

namespace vantor {

class MediaEndpoint {
  public:
    // Binds an even port in [port_min, port_max] on address (RTCP on the odd
    // one above); nullptr with a reason when none is free.
    static std::unique_ptr<MediaEndpoint> Open(const std::string &address, unsigned port_min,
                                               unsigned port_max, unsigned jitter_ms,
                                               std::string *error);
    ~MediaEndpoint();
    MediaEndpoint(const MediaEndpoint &) = delete;
    MediaEndpoint &operator=(const MediaEndpoint &) = delete;

    unsigned port() const { return port_; }
    // The negotiated format and where the peer sends from; before the source is attached.
    void Start(const AudioFormat &format, const std::string &remote_address, unsigned remote_port);
    FrameSource *source();
    const AudioFormat &format() const { return format_; }

  private:
    MediaEndpoint() = default;
    int rtp_fd_ = -1;
    int rtcp_fd_ = -1;
    unsigned port_ = 0;
    AudioFormat format_;
    std::unique_ptr<InputQueue> silence_;
};

}  // namespace vantor
