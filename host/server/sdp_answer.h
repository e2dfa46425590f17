// The SDP answer of an MRCPv2 session: the codec chosen for an audio line, and
// the answer text with one m-line per offered m-line, in the offer's order
// (RFC 3264), the server's MRCP and RTP ports and the channels' identifiers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sdp_offer.h"

namespace vantor {

// A codec the server takes, as configured: "PCMU", "PCMA" (8000 Hz), "L16/8000", "L16/16000".
struct AudioCodec {
    std::string encoding;  // upper case
    unsigned rate = 8000;
};

// Parses a configured codec name; false when it is none of the above.
bool ParseAudioCodec(const std::string &name, AudioCodec *codec);

struct AudioFormat {
    std::string encoding;  // "PCMU", "PCMA" or "L16"
    int payload_type = -1;
    unsigned rate = 8000;
    int event_payload_type = -1;  // telephone-event at the same rate; -1: none offered
};

// The first of the server's codecs (its order of preference) that the line
// offers, with the line's telephone-event at that rate; false when none is.
bool ChooseAudioFormat(const SdpMediaLine &line, const std::vector<AudioCodec> &accepted,
                       AudioFormat *format);

// What the server answers for one offered m-line.
struct AnswerLine {
    bool accepted = false;           // else answered with port 0
    unsigned port = 0;               // MRCP listener or RTP port
    std::string channel_identifier;  // MRCP: ID@speechrecog
    AudioFormat format;              // audio
};

// The answer text (CRLF line ends); lines holds one entry per offer line.
std::string BuildSdpAnswer(const SdpOffer &offer, const std::vector<AnswerLine> &lines,
                           const std::string &address, uint64_t session_id, uint64_t version);

}  // namespace vantor
