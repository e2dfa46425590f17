#include "sdp_offer.h"

#include <sofia-sip/sdp.h>
#include <sofia-sip/su_alloc.h>
#include <strings.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace vantor {

namespace {

std::string Text(const char *text) { return text ? text : ""; }

std::string Attribute(const sdp_attribute_t *attributes, const char *name) {
    for (const sdp_attribute_t *a = attributes; a; a = a->a_next)
        if (a->a_name && strcasecmp(a->a_name, name) == 0) return Text(a->a_value);
    return "";
}

bool HasAttribute(const sdp_attribute_t *attributes, const char *name) {
    for (const sdp_attribute_t *a = attributes; a; a = a->a_next)
        if (a->a_name && strcasecmp(a->a_name, name) == 0) return true;
    return false;
}

void ReadPayloads(const sdp_media_t *m, SdpMediaLine *line) {
    for (const sdp_rtpmap_t *map = m->m_rtpmaps; map; map = map->rm_next) {
        if (map->rm_any) continue;
        SdpPayload p;
        p.payload_type = static_cast<int>(map->rm_pt);
        p.encoding = Text(map->rm_encoding);
        p.rate = static_cast<unsigned>(map->rm_rate);
        p.fmtp = Text(map->rm_fmtp);
        line->payloads.push_back(p);
    }
}

bool IsTokenChar(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
           strchr("!#$%&'*+-.^_`{|}~", c) != nullptr;
}

bool IsToken(const std::string &text) {
    if (text.empty()) return false;
    for (char c : text)
        if (!IsTokenChar(static_cast<unsigned char>(c))) return false;
    return true;
}

// "token" or "token/token...", with no empty part.
bool IsSlashedTokens(const std::string &text, bool digits_only) {
    size_t begin = 0;
    for (;;) {
        size_t end = text.find('/', begin);
        std::string part = text.substr(begin, end == std::string::npos ? end : end - begin);
        if (!IsToken(part)) return false;
        if (digits_only && part.find_first_not_of("0123456789") != std::string::npos) return false;
        if (end == std::string::npos) return true;
        begin = end + 1;
    }
}

// m=<media> <port>[/<count>] <proto> <fmt> ..., each field as RFC 4566 has it.
bool IsMediaLine(const std::string &line) {
    std::vector<std::string> fields;
    size_t begin = 2;
    while (begin <= line.size()) {
        size_t end = line.find(' ', begin);
        if (end == std::string::npos) end = line.size();
        fields.push_back(line.substr(begin, end - begin));
        begin = end + 1;
    }
    if (fields.size() < 3 || !IsToken(fields[0]) || !IsSlashedTokens(fields[1], true) ||
        !IsSlashedTokens(fields[2], false))
        return false;
    for (size_t i = 3; i < fields.size(); ++i)
        if (!IsToken(fields[i])) return false;
    return true;
}

// A line of the offer for a log line: at most 80 bytes, bytes beyond ASCII as \xNN.
std::string Excerpt(const std::string &text, size_t begin, size_t end) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (size_t i = begin; i < end && i < begin + 80; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 0xf];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// sofia-sip's parser loops for ever on some text it does not expect (control
// characters, a '/' or a byte beyond ASCII in an m-line's format list, an
// m-line after blanks): SDP holds none of these, so such text is refused
// before it gets there.
bool CheckSdpText(const std::string &text, std::string *error) {
    size_t begin = 0;
    while (begin < text.size()) {
        size_t end = text.find_first_of("\r\n", begin);
        if (end == std::string::npos) end = text.size();
        for (size_t i = begin; i < end; ++i) {
            const unsigned char c = static_cast<unsigned char>(text[i]);
            if ((c < 0x20 && c != '\t') || c == 0x7f) {
                *error = "malformed SDP: control character " + std::to_string(c) + " at byte " +
                         std::to_string(i);
                return false;
            }
        }
        // Every line is <letter>=<value>: the parser takes blanks before a
        // type letter, which would hide an m-line from the check below.
        if (end > begin &&
            (end - begin < 2 || text[begin] < 'a' || text[begin] > 'z' || text[begin + 1] != '=')) {
            *error = "malformed SDP: line \"" + Excerpt(text, begin, end) + "\"";
            return false;
        }
        if (text.compare(begin, 2, "m=") == 0 && !IsMediaLine(text.substr(begin, end - begin))) {
            *error = "malformed SDP: media line \"" + Excerpt(text, begin, end) + "\"";
            return false;
        }
        begin = end + 1;
    }
    return true;
}

}  // namespace

bool ParseSdpOffer(const std::string &text, SdpOffer *offer, std::string *error) {
    *offer = SdpOffer();
    if (!CheckSdpText(text, error)) return false;
    auto *home = static_cast<su_home_t *>(su_home_new(sizeof(su_home_t)));
    if (!home) {
        *error = "out of memory";
        return false;
    }
    // Missing c= lines are judged by the answer, not refused by the parser.
    sdp_parser_t *parser =
        sdp_parse(home, text.data(), static_cast<issize_t>(text.size()), sdp_f_c_missing);
    const sdp_session_t *session = sdp_session(parser);
    bool ok = session != nullptr;
    if (!ok) {
        const char *why = sdp_parsing_error(parser);
        *error = std::string("malformed SDP: ") + (why && *why ? why : "unreadable");
    } else {
        if (session->sdp_connection) offer->address = Text(session->sdp_connection->c_address);
        for (const sdp_media_t *m = session->sdp_media; m; m = m->m_next) {
            SdpMediaLine line;
            line.type = Text(m->m_type_name);
            line.proto = Text(m->m_proto_name);
            line.port = static_cast<unsigned>(m->m_port);
            for (const sdp_list_t *f = m->m_format; f; f = f->l_next)
                line.formats += (line.formats.empty() ? "" : " ") + Text(f->l_text);
            // The parser keeps an RTP line's formats as its rtpmaps only.
            for (const sdp_rtpmap_t *map = m->m_rtpmaps; map && !m->m_format; map = map->rm_next)
                if (!map->rm_any)
                    line.formats += (line.formats.empty() ? "" : " ") + std::to_string(map->rm_pt);
            line.address = m->m_connections ? Text(m->m_connections->c_address) : offer->address;
            if (strcasecmp(line.type.c_str(), "application") == 0 &&
                (strcasecmp(line.proto.c_str(), "TCP/MRCPv2") == 0 ||
                 strcasecmp(line.proto.c_str(), "TCP/TLS/MRCPv2") == 0)) {
                line.kind = SdpMediaLine::Kind::kMrcp;
                line.setup = Attribute(m->m_attributes, "setup");
                line.connection = Attribute(m->m_attributes, "connection");
                line.resource = Attribute(m->m_attributes, "resource");
                line.cmid = Attribute(m->m_attributes, "cmid");
            } else if (m->m_type == sdp_media_audio && sdp_media_uses_rtp(m)) {
                line.kind = SdpMediaLine::Kind::kAudio;
                line.mid = Attribute(m->m_attributes, "mid");
                ReadPayloads(m, &line);
                line.sends = !HasAttribute(m->m_attributes, "recvonly") &&
                             !HasAttribute(m->m_attributes, "inactive");
            }
            offer->lines.push_back(line);
        }
        if (offer->lines.empty()) {
            *error = "SDP without an m-line";
            ok = false;
        }
    }
    sdp_parser_free(parser);
    su_home_unref(home);
    return ok;
}

}  // namespace vantor
