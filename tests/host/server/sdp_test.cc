// The SDP offer reader and the answer: what an MRCPv2 offer says, which codec
// the server picks, and an answer line for every offered line in its order.
#include <gtest/gtest.h>

#include <algorithm>

#include "sdp_answer.h"
#include "sdp_offer.h"

namespace {

using vantor::AnswerLine;
using vantor::AudioCodec;
using vantor::AudioFormat;
using vantor::SdpMediaLine;
using vantor::SdpOffer;

const char kOffer[] =
    "v=0\r\n"
    "o=client 2890844526 2890842807 IN IP4 192.0.2.4\r\n"
    "s=-\r\n"
    "c=IN IP4 192.0.2.12\r\n"
    "t=0 0\r\n"
    "m=application 9 TCP/MRCPv2 1\r\n"
    "a=setup:active\r\n"
    "a=connection:existing\r\n"
    "a=resource:speechrecog\r\n"
    "a=cmid:2\r\n"
    "m=video 5004 RTP/AVP 31\r\n"
    "m=audio 49170 RTP/AVP 8 0 97 96 101\r\n"
    "c=IN IP4 192.0.2.13\r\n"
    "a=rtpmap:97 L16/16000\r\n"
    "a=rtpmap:96 l16/8000\r\n"
    "a=rtpmap:101 telephone-event/8000\r\n"
    "a=fmtp:101 0-15\r\n"
    "a=sendonly\r\n"
    "a=mid:2\r\n"
    "m=application 0 TCP/MRCPv2 1\r\n"
    "a=resource:speechsynth\r\n"
    "a=cmid:3\r\n";

TEST(Sdp, OfferReadCodecChosenAndEveryLineAnswered) {
    SdpOffer offer;
    std::string error;
    ASSERT_TRUE(vantor::ParseSdpOffer(kOffer, &offer, &error)) << error;
    ASSERT_EQ(offer.lines.size(), 4u);
    const SdpMediaLine &mrcp = offer.lines[0];
    EXPECT_EQ(mrcp.kind, SdpMediaLine::Kind::kMrcp);
    EXPECT_EQ(mrcp.setup, "active");
    EXPECT_EQ(mrcp.connection, "existing");
    EXPECT_EQ(mrcp.resource, "speechrecog");
    EXPECT_EQ(mrcp.cmid, "2");
    EXPECT_EQ(offer.lines[1].kind, SdpMediaLine::Kind::kOther);
    const SdpMediaLine &audio = offer.lines[2];
    EXPECT_EQ(audio.kind, SdpMediaLine::Kind::kAudio);
    EXPECT_EQ(audio.port, 49170u);
    EXPECT_EQ(audio.address, "192.0.2.13");  // the line's c= wins over the session's
    EXPECT_EQ(audio.mid, "2");
    EXPECT_TRUE(audio.sends);
    // Static payload types without rtpmap lines are known by number.
    ASSERT_EQ(audio.payloads.size(), 5u);
    EXPECT_EQ(audio.payloads[0].encoding, "PCMA");
    EXPECT_EQ(audio.payloads[1].rate, 8000u);
    EXPECT_EQ(offer.lines[3].port, 0u);

    // The server's order of preference decides, the case of the name does not;
    // telephone-event only at the chosen codec's rate.
    struct Choice {
        std::vector<AudioCodec> accepted;
        bool found;
        int payload_type;
        unsigned rate;
        int event_payload_type;
    };
    const std::vector<Choice> choices = {
        {{{"PCMU", 8000}, {"PCMA", 8000}}, true, 0, 8000, 101},
        {{{"L16", 8000}, {"PCMU", 8000}}, true, 96, 8000, 101},
        {{{"L16", 16000}}, true, 97, 16000, -1},
        {{{"L16", 32000}}, false, 0, 0, 0},
    };
    for (const Choice &c : choices) {
        AudioFormat format;
        ASSERT_EQ(vantor::ChooseAudioFormat(audio, c.accepted, &format), c.found);
        if (!c.found) continue;
        EXPECT_EQ(format.payload_type, c.payload_type);
        EXPECT_EQ(format.rate, c.rate);
        EXPECT_EQ(format.event_payload_type, c.event_payload_type);
    }

    std::vector<AnswerLine> lines(4);
    lines[0].accepted = true;
    lines[0].port = 1544;
    lines[0].channel_identifier = "32AECB23433801@speechrecog";
    lines[2].accepted = true;
    lines[2].port = 30000;
    ASSERT_TRUE(vantor::ChooseAudioFormat(audio, {{"PCMU", 8000}}, &lines[2].format));
    EXPECT_EQ(vantor::BuildSdpAnswer(offer, lines, "127.0.0.1", 7, 2),
              "v=0\r\n"
              "o=vantor-server 7 2 IN IP4 127.0.0.1\r\n"
              "s=-\r\n"
              "c=IN IP4 127.0.0.1\r\n"
              "t=0 0\r\n"
              "m=application 1544 TCP/MRCPv2 1\r\n"
              "a=setup:passive\r\n"
              "a=connection:existing\r\n"
              "a=channel:32AECB23433801@speechrecog\r\n"
              "a=cmid:2\r\n"
              "m=video 0 RTP/AVP 31\r\n"
              "m=audio 30000 RTP/AVP 0 101\r\n"
              "a=rtpmap:0 PCMU/8000\r\n"
              "a=rtpmap:101 telephone-event/8000\r\n"
              "a=fmtp:101 0-15\r\n"
              "a=recvonly\r\n"
              "a=mid:2\r\n"
              "m=application 0 TCP/MRCPv2 1\r\n"
              "a=cmid:3\r\n");

    // Not an offer at all, and offers on which sofia-sip's parser would spin
    // for ever (refused before it sees them).
    const std::string head =
        "v=0\r\no=c 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n";
    for (const std::string &bad : {std::string(), std::string("v=0\r\n"), std::string("hello\r\n"),
                                   head + "m=application 0 TCP/MRCPv2 \x12\x12\x12"
                                          "1\r\n",
                                   head + "m=application 9 TCP/MRCPv2 1\xa3\xa3\r\n",
                                   head + "m=video 5004 RTP5004 RTP//AVP 31\r\n",
                                   head + "  m=application 9 TCP/MRCPv2 \"\r\n"}) {
        SdpOffer none;
        EXPECT_FALSE(vantor::ParseSdpOffer(bad, &none, &error)) << bad;
        EXPECT_FALSE(error.empty());
        // The reason goes to the log: bytes from the network beyond ASCII are escaped.
        EXPECT_TRUE(std::none_of(error.begin(), error.end(), [](char c) { return c & 0x80; }))
            << error;
    }
    SdpOffer none;
    EXPECT_FALSE(
        vantor::ParseSdpOffer(head + "m=application 9 TCP/MRCPv2 1\xa3\xa3\r\n", &none, &error));
    EXPECT_NE(error.find("MRCPv2 1\\xa3\\xa3\""), std::string::npos) << error;
}

}  // namespace
