#include "client_sdp.h"

#include <strings.h>

#include <cstdlib>
#include <sstream>
#include <vector>

namespace vantor {

namespace {

const char *EncodingName(RtpEncoding e) {
    switch (e) {
        case RtpEncoding::kPcmu:
            return "PCMU";
        case RtpEncoding::kPcma:
            return "PCMA";
        case RtpEncoding::kL16:
            return "L16";
    }
    return "PCMU";
}

std::vector<std::string> Words(const std::string &text) {
    std::vector<std::string> words;
    std::istringstream in(text);
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

bool Number(const std::string &text, unsigned max, unsigned *out) {
    if (text.empty() || text.size() > 5) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    const unsigned long v = strtoul(text.c_str(), nullptr, 10);
    if (v > max) return false;
    *out = static_cast<unsigned>(v);
    return true;
}

// "IN IP4 1.2.3.4" -> the address.
std::string ConnectionAddress(const std::string &value) {
    const std::vector<std::string> w = Words(value);
    if (w.size() < 3 || w[0] != "IN") return "";
    const std::string &address = w[2];
    const size_t slash = address.find('/');  // multicast TTL: not ours, but harmless
    return slash == std::string::npos ? address : address.substr(0, slash);
}

}  // namespace

std::string WriteOffer(const ClientOffer &o) {
    const std::string ip = o.address.find(':') == std::string::npos ? "IP4" : "IP6";
    std::ostringstream s;
    s << "v=0\r\n"
      << "o=vantor-client " << o.rtp_port << " 1 IN " << ip << " " << o.address << "\r\n"
      << "s=-\r\n"
      << "c=IN " << ip << " " << o.address << "\r\n"
      << "t=0 0\r\n"
      << "m=application 9 TCP/MRCPv2 1\r\n"
      << "a=setup:active\r\n"
      << "a=connection:" << (o.existing_connection ? "existing" : "new") << "\r\n"
      << "a=resource:speechrecog\r\n"
      << "a=cmid:1\r\n"
      << "m=audio " << o.rtp_port << " RTP/AVP " << o.format.payload_type;
    if (o.format.event_payload_type >= 0) s << " " << o.format.event_payload_type;
    s << "\r\n"
      << "a=rtpmap:" << o.format.payload_type << " " << EncodingName(o.format.encoding) << "/"
      << o.format.rate << "\r\n";
    if (o.format.event_payload_type >= 0)
        s << "a=rtpmap:" << o.format.event_payload_type << " telephone-event/" << o.format.rate
          << "\r\n"
          << "a=fmtp:" << o.format.event_payload_type << " 0-15\r\n";
    s << "a=mid:1\r\n"
      << "a=sendonly\r\n";
    return s.str();
}

bool ReadAnswer(const std::string &sdp, const ClientOffer &offer, ServerAnswer *a,
                std::string *error) {
    *a = ServerAnswer();
    enum class Section { kSession, kMrcp, kAudio, kOther } section = Section::kSession;
    std::string session_address;
    bool mrcp_seen = false;
    bool audio_seen = false;
    std::istringstream in(sdp);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() < 2 || line[1] != '=') continue;
        const char type = line[0];
        const std::string value = line.substr(2);
        if (type == 'm') {
            const std::vector<std::string> w = Words(value);
            section = Section::kOther;
            if (w.size() < 3) continue;
            unsigned port = 0;
            if (!Number(w[1], 65535, &port)) continue;
            if (w[0] == "application" && strcasecmp(w[2].c_str(), "TCP/MRCPv2") == 0 &&
                !mrcp_seen) {
                mrcp_seen = true;
                section = Section::kMrcp;
                a->mrcp_port = port;
            } else if (w[0] == "audio" && !audio_seen) {
                audio_seen = true;
                section = Section::kAudio;
                a->rtp_port = port;
                if (w.size() > 3) {
                    unsigned pt = 0;
                    if (Number(w[3], 127, &pt)) a->payload_type = static_cast<int>(pt);
                }
                for (size_t i = 3; i < w.size(); ++i) {
                    unsigned pt = 0;
                    if (Number(w[i], 127, &pt) &&
                        static_cast<int>(pt) == offer.format.event_payload_type)
                        a->event_payload_type = static_cast<int>(pt);
                }
            }
            continue;
        }
        if (type == 'c') {
            const std::string address = ConnectionAddress(value);
            if (section == Section::kSession) session_address = address;
            if (section == Section::kMrcp) a->mrcp_address = address;
            if (section == Section::kAudio) a->rtp_address = address;
            continue;
        }
        if (type == 'a' && section == Section::kMrcp && value.compare(0, 8, "channel:") == 0)
            a->channel = value.substr(8);
    }
    if (a->mrcp_address.empty()) a->mrcp_address = session_address;
    if (a->rtp_address.empty()) a->rtp_address = session_address;
    if (!mrcp_seen || a->mrcp_port == 0) {
        *error = "the answer accepts no MRCPv2 resource (m=application port 0 or missing)";
        return false;
    }
    if (a->channel.empty()) {
        *error = "the answer's MRCPv2 resource has no a=channel";
        return false;
    }
    if (!audio_seen || a->rtp_port == 0) {
        *error = "the answer accepts no audio (m=audio port 0 or missing)";
        return false;
    }
    if (a->payload_type != offer.format.payload_type) {
        *error = "the answer's audio format " + std::to_string(a->payload_type) +
                 " is not the one offered (" + std::to_string(offer.format.payload_type) + ")";
        return false;
    }
    if (a->mrcp_address.empty() || a->rtp_address.empty()) {
        *error = "the answer has no connection address (c=)";
        return false;
    }
    return true;
}

}  // namespace vantor
