#include "sdp_answer.h"

#include <strings.h>

#include <cctype>

namespace vantor {

namespace {

std::string Upper(std::string text) {
    for (char &c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

bool ParseAudioCodec(const std::string &name, AudioCodec *codec) {
    const std::string upper = Upper(name);
    if (upper == "PCMU" || upper == "PCMU/8000" || upper == "PCMA" || upper == "PCMA/8000") {
        *codec = AudioCodec{upper.substr(0, 4), 8000};
        return true;
    }
    if (upper == "L16/8000" || upper == "L16/16000") {
        *codec = AudioCodec{"L16", upper == "L16/8000" ? 8000u : 16000u};
        return true;
    }
    return false;
}

bool ChooseAudioFormat(const SdpMediaLine &line, const std::vector<AudioCodec> &accepted,
                       AudioFormat *format) {
    for (const AudioCodec &codec : accepted) {
        for (const SdpPayload &p : line.payloads) {
            if (Upper(p.encoding) != codec.encoding || p.rate != codec.rate) continue;
            *format = AudioFormat{codec.encoding, p.payload_type, codec.rate, -1};
            for (const SdpPayload &e : line.payloads)
                if (strcasecmp(e.encoding.c_str(), "telephone-event") == 0 &&
                    e.rate == codec.rate) {
                    format->event_payload_type = e.payload_type;
                    break;
                }
            return true;
        }
    }
    return false;
}

std::string BuildSdpAnswer(const SdpOffer &offer, const std::vector<AnswerLine> &lines,
                           const std::string &address, uint64_t session_id, uint64_t version) {
    const std::string crlf = "\r\n";
    std::string sdp = "v=0" + crlf;
    sdp += "o=vantor-server " + std::to_string(session_id) + " " + std::to_string(version) +
           " IN IP4 " + address + crlf;
    sdp += "s=-" + crlf;
    sdp += "c=IN IP4 " + address + crlf;
    sdp += "t=0 0" + crlf;
    for (size_t i = 0; i < offer.lines.size(); ++i) {
        const SdpMediaLine &m = offer.lines[i];
        const AnswerLine &a = i < lines.size() ? lines[i] : AnswerLine();
        const std::string formats = m.formats.empty() ? "0" : m.formats;
        if (!a.accepted) {
            sdp += "m=" + m.type + " 0 " + m.proto + " " + formats + crlf;
            if (m.kind == SdpMediaLine::Kind::kMrcp && !m.cmid.empty())
                sdp += "a=cmid:" + m.cmid + crlf;
            if (m.kind == SdpMediaLine::Kind::kAudio && !m.mid.empty())
                sdp += "a=mid:" + m.mid + crlf;
            continue;
        }
        if (m.kind == SdpMediaLine::Kind::kMrcp) {
            sdp += "m=application " + std::to_string(a.port) + " " + m.proto + " 1" + crlf;
            sdp += "a=setup:passive" + crlf;
            sdp +=
                "a=connection:" + (m.connection.empty() ? std::string("new") : m.connection) + crlf;
            sdp += "a=channel:" + a.channel_identifier + crlf;
            if (!m.cmid.empty()) sdp += "a=cmid:" + m.cmid + crlf;
        } else {
            const AudioFormat &f = a.format;
            sdp +=
                "m=audio " + std::to_string(a.port) + " RTP/AVP " + std::to_string(f.payload_type);
            if (f.event_payload_type >= 0) sdp += " " + std::to_string(f.event_payload_type);
            sdp += crlf;
            sdp += "a=rtpmap:" + std::to_string(f.payload_type) + " " + f.encoding + "/" +
                   std::to_string(f.rate) + crlf;
            if (f.event_payload_type >= 0) {
                sdp += "a=rtpmap:" + std::to_string(f.event_payload_type) + " telephone-event/" +
                       std::to_string(f.rate) + crlf;
                sdp += "a=fmtp:" + std::to_string(f.event_payload_type) + " 0-15" + crlf;
            }
            sdp += "a=recvonly" + crlf;
            if (!m.mid.empty()) sdp += "a=mid:" + m.mid + crlf;
        }
    }
    return sdp;
}

}  // namespace vantor
