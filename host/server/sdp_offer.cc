#include "sdp_offer.h"

#include <sofia-sip/sdp.h>
#include <sofia-sip/su_alloc.h>
#include <strings.h>

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

}  // namespace

bool ParseSdpOffer(const std::string &text, SdpOffer *offer, std::string *error) {
    *offer = SdpOffer();
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
