// The server's SIP dialogs and their MRCP channels, found by SIP handle, by
// Channel-Identifier and by the host channel's name. Only the SIP loop's
// thread touches it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "rtp_receiver.h"
#include "sdp_answer.h"

namespace vantor {

class FrameSource;
class HostChannel;
class MrcpConnection;

struct ServerChannel {
    std::string name;        // the host channel's name: "d<dialog>-m<line>"
    bool open = false;       // else its open is not answered yet
    std::string identifier;  // Channel-Identifier: ID@speechrecog
    HostChannel *host = nullptr;
    size_t line = 0;                // the MRCP m-line that made it
    size_t audio_line = 0;          // the audio m-line it hears
    FrameSource *source = nullptr;  // its media once open (null: silence)
    // The connection that sent its first message; its messages go back there.
    MrcpConnection *connection = nullptr;
    struct Dialog *dialog = nullptr;  // the dialog it belongs to
};

// The receiving end of one offered audio line.
struct DialogMedia {
    std::unique_ptr<RtpReceiver> receiver;
    AudioFormat format;
    std::string remote_address;  // where its packets come from
    unsigned remote_port = 0;
};

struct Dialog {
    uint64_t id = 0;
    // The session part of its channels' Channel-Identifier: one per dialog
    // (RFC 6787), so a dialog has one channel of its resource at a time.
    std::string session_id;
    void *handle = nullptr;  // the SIP stack's dialog handle
    uint64_t sdp_version = 0;
    std::vector<AnswerLine> answer;  // the last answer, one entry per m-line
    std::vector<std::unique_ptr<ServerChannel>> channels;
    std::map<size_t, DialogMedia> media;  // by audio m-line
    // An INVITE or re-INVITE answered once its channels' opens are: the
    // offer, and the refusal status when one of them failed (0: none).
    bool answering = false;
    bool in_dialog = false;
    SdpOffer offer;
    size_t opening = 0;
    int refusal = 0;
    // Request ids rise strictly within the session, whichever of its
    // channels a request is for.
    bool any_request = false;
    uint32_t last_request_id = 0;
};

class SessionTable {
  public:
    SessionTable();
    ~SessionTable();

    Dialog *Add(void *handle);
    Dialog *Find(void *handle) const;
    void Remove(void *handle);
    size_t size() const { return dialogs_.size(); }
    std::vector<Dialog *> All() const;
    bool HasSession(const std::string &session_id) const;

    // Channels are indexed once added to their dialog with Index, and no
    // longer after Unindex.
    void Index(ServerChannel *channel);
    void Unindex(ServerChannel *channel);
    ServerChannel *FindByIdentifier(const std::string &identifier) const;
    ServerChannel *FindByName(const std::string &name) const;
    size_t channel_count() const { return by_name_.size(); }
    // Forgets the connection in every channel bound to it.
    void Unbind(const MrcpConnection *connection);

  private:
    uint64_t next_id_ = 1;
    std::map<void *, std::unique_ptr<Dialog>> dialogs_;
    std::map<std::string, ServerChannel *> by_identifier_;
    std::map<std::string, ServerChannel *> by_name_;
};

}  // namespace vantor
