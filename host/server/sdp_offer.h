// The SDP offer of an MRCPv2 session (RFC 6787 section 4.2 and 5): its m-lines
// in order, the MRCP control lines with their resource, connection and cmid,
// and the audio lines with their payload types. Read with sofia-sip's SDP
// parser; nothing here decides what is accepted (see sdp_answer.h).
#pragma once

#include <string>
#include <vector>

namespace vantor {

struct SdpPayload {
    int payload_type = -1;
    std::string encoding;  // as written ("PCMU", "L16", "telephone-event")
    unsigned rate = 0;
    std::string fmtp;
};

struct SdpMediaLine {
    enum class Kind { kMrcp, kAudio, kOther };
    Kind kind = Kind::kOther;
    std::string type;     // "application", "audio", ...
    std::string proto;    // "TCP/MRCPv2", "RTP/AVP", ...
    std::string formats;  // the m-line's format list, as written
    unsigned port = 0;    // 0: the line is disabled (a resource removed)
    std::string address;  // c= of the line, else of the session
    // MRCP control lines.
    std::string setup;       // a=setup: active, passive, actpass
    std::string connection;  // a=connection: new, existing
    std::string resource;    // a=resource:
    std::string cmid;        // a=cmid:
    // Audio lines.
    std::string mid;                   // a=mid:
    std::vector<SdpPayload> payloads;  // in the m-line's order
    bool sends = true;                 // the offerer sends audio (not recvonly/inactive)
};

struct SdpOffer {
    std::string address;  // session-level c=
    std::vector<SdpMediaLine> lines;
};

// Parses an offer; false with a reason in *error when the text is no SDP or
// holds no m-line.
bool ParseSdpOffer(const std::string &text, SdpOffer *offer, std::string *error);

}  // namespace vantor
