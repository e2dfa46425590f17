// SDP offers as a SIP client sends them to vantor-server. An offer that reads
// is answered with every line it can take; the answer reads again as SDP
// with one m-line per offered line, in the same order and kinds.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzCommon.h"
#include "sdp_answer.h"
#include "sdp_offer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    vantor::SdpOffer offer;
    std::string error;
    if (!vantor::ParseSdpOffer(text, &offer, &error)) {
        KORAL_FUZZ_CHECK(!error.empty());
        return 0;
    }
    KORAL_FUZZ_CHECK(!offer.lines.empty());
    const std::vector<vantor::AudioCodec> codecs = {
        {"PCMU", 8000}, {"PCMA", 8000}, {"L16", 16000}, {"L16", 8000}};
    std::vector<vantor::AnswerLine> lines(offer.lines.size());
    for (size_t i = 0; i < offer.lines.size(); ++i) {
        const vantor::SdpMediaLine &m = offer.lines[i];
        if (m.kind == vantor::SdpMediaLine::Kind::kMrcp) {
            lines[i].accepted = m.port != 0;
            lines[i].port = 1544;
            lines[i].channel_identifier = "0123456789abcdef@speechrecog";
        } else if (m.kind == vantor::SdpMediaLine::Kind::kAudio) {
            lines[i].accepted = vantor::ChooseAudioFormat(m, codecs, &lines[i].format);
            lines[i].port = 30000;
            if (lines[i].accepted) {
                KORAL_FUZZ_CHECK(lines[i].format.payload_type >= 0);
                KORAL_FUZZ_CHECK(lines[i].format.rate == 8000 || lines[i].format.rate == 16000);
            }
        }
    }
    const std::string answer = vantor::BuildSdpAnswer(offer, lines, "127.0.0.1", 1, 1);
    vantor::SdpOffer again;
    if (!vantor::ParseSdpOffer(answer, &again, &error)) {
        fprintf(stderr, "answer does not read: %s\n%s", error.c_str(), answer.c_str());
        KORAL_FUZZ_CHECK(false);
    }
    KORAL_FUZZ_CHECK(again.lines.size() == offer.lines.size());
    for (size_t i = 0; i < offer.lines.size(); ++i) {
        KORAL_FUZZ_CHECK(again.lines[i].type == offer.lines[i].type);
        if (lines[i].accepted) KORAL_FUZZ_CHECK(again.lines[i].kind == offer.lines[i].kind);
    }
    return 0;
}
