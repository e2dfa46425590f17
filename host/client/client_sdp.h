// The client's side of the SDP offer/answer (RFC 4566, RFC 6787 section 4.2):
// the offer for one recognizer channel with its audio, and what the client
// needs from the answer. Plain text in and out.
#pragma once

#include <string>

#include "rtp_receiver.h"

namespace vantor {

struct ClientOffer {
    std::string address;  // the client's numeric address (c=)
    unsigned rtp_port = 0;
    RtpFormat format;  // payload types to offer; event_payload_type -1: no telephone-event
    bool existing_connection = false;  // a=connection:existing (another call's is reused)
};

std::string WriteOffer(const ClientOffer &offer);

struct ServerAnswer {
    std::string mrcp_address;  // from c= (media level first, else session level)
    unsigned mrcp_port = 0;
    std::string channel;  // a=channel: "ID@speechrecog"
    std::string rtp_address;
    unsigned rtp_port = 0;
    int payload_type = -1;        // the first format of m=audio
    int event_payload_type = -1;  // telephone-event, when the answer keeps it
};

// False with a reason when the answer lacks what a recognition needs (an
// accepted MRCPv2 resource with its port and channel, an accepted m=audio
// with one of the offered formats).
bool ReadAnswer(const std::string &sdp, const ClientOffer &offer, ServerAnswer *answer,
                std::string *error);

}  // namespace vantor
