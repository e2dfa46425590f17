// vantor-client's plain parts: what it takes from an SDP answer and what it
// refuses, and its command line.
#include <gtest/gtest.h>

#include "client_options.h"
#include "client_sdp.h"

using namespace vantor;

namespace {

TEST(ClientSdp, AnswersAreReadOrRefused) {
    // The answer is read against the offer made. The offer's text is what
    // vantor-server accepts in vantor_client_test's calls, each codec and rate.
    ClientOffer offer;
    offer.address = "127.0.0.1";
    offer.rtp_port = 40000;
    offer.format = RtpFormat{RtpEncoding::kL16, 96, 16000, 101};
    const std::string answer_sdp =
        "v=0\r\n"
        "o=vantor-server 1 1 IN IP4 127.0.0.2\r\n"
        "s=-\r\n"
        "c=IN IP4 127.0.0.2\r\n"
        "t=0 0\r\n"
        "m=application 1544 TCP/MRCPv2 1\r\n"
        "a=setup:passive\r\n"
        "a=connection:new\r\n"
        "a=channel:32AECB23433801@speechrecog\r\n"
        "a=cmid:1\r\n"
        "m=audio 5004 RTP/AVP 96 101\r\n"
        "c=IN IP4 127.0.0.3\r\n"
        "a=rtpmap:96 L16/16000\r\n"
        "a=rtpmap:101 telephone-event/16000\r\n"
        "a=recvonly\r\n"
        "a=mid:1\r\n";
    ServerAnswer a;
    std::string error;
    ASSERT_TRUE(ReadAnswer(answer_sdp, offer, &a, &error)) << error;
    EXPECT_EQ(a.mrcp_address, "127.0.0.2");  // session level
    EXPECT_EQ(a.mrcp_port, 1544u);
    EXPECT_EQ(a.channel, "32AECB23433801@speechrecog");
    EXPECT_EQ(a.rtp_address, "127.0.0.3");  // media level wins
    EXPECT_EQ(a.rtp_port, 5004u);
    EXPECT_EQ(a.payload_type, 96);
    EXPECT_EQ(a.event_payload_type, 101);

    // Bare LF line ends read the same; an answer without telephone-event
    // leaves the digits out.
    std::string lf = answer_sdp;
    for (size_t at; (at = lf.find("\r\n")) != std::string::npos;) lf.erase(at, 1);
    const std::string no_events = [&] {
        std::string s = lf;
        s.replace(s.find("RTP/AVP 96 101"), 14, "RTP/AVP 96");
        return s;
    }();
    ASSERT_TRUE(ReadAnswer(no_events, offer, &a, &error)) << error;
    EXPECT_EQ(a.event_payload_type, -1);
    EXPECT_EQ(a.channel, "32AECB23433801@speechrecog");

    struct Refusal {
        std::string from, to, reason;
    };
    for (const Refusal &r : {
             Refusal{"m=application 1544", "m=application 0", "no MRCPv2 resource"},
             Refusal{"a=channel:32AECB23433801@speechrecog\r\n", "", "no a=channel"},
             Refusal{"m=audio 5004", "m=audio 0", "accepts no audio"},
             Refusal{"RTP/AVP 96 101", "RTP/AVP 0 101", "not the one offered"},
             Refusal{"c=IN IP4 127.0.0.2\r\n", "", "no connection address"},
         }) {
        std::string bad = answer_sdp;
        bad.replace(bad.find(r.from), r.from.size(), r.to);
        EXPECT_FALSE(ReadAnswer(bad, offer, &a, &error)) << r.reason;
        EXPECT_NE(error.find(r.reason), std::string::npos) << error;
    }
}

bool Parse(std::vector<std::string> args, ClientOptions *o, std::string *error) {
    args.insert(args.begin(), "vantor-client");
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    *o = ClientOptions();
    return ParseClientOptions(static_cast<int>(argv.size()), argv.data(), o, error);
}

TEST(ClientOptions, CommandsAndUsageErrors) {
    ClientOptions o;
    std::string error;
    ASSERT_TRUE(
        Parse({"--server", "sip:recog@[::1]:5070;transport=tcp", "recognize", "--codec", "L16",
               "--rate", "16000", "--header", "N-Best-List-Length:  3", "--json", "a.wav"},
              &o, &error))
        << error;
    EXPECT_EQ(o.server_host, "::1");
    EXPECT_EQ(o.format.encoding, RtpEncoding::kL16);
    EXPECT_EQ(o.format.rate, 16000u);
    ASSERT_EQ(o.headers.size(), 1u);
    EXPECT_EQ(o.headers[0], std::make_pair(std::string("N-Best-List-Length"), std::string("3")));
    EXPECT_TRUE(o.json);

    EXPECT_EQ(o.calls, 1);
    ASSERT_TRUE(Parse({"dtmf", "--codec", "pcma", "--calls", "3", "12#"}, &o, &error)) << error;
    EXPECT_EQ(o.calls, 3);
    EXPECT_EQ(o.mode, ClientOptions::Mode::kDtmf);
    EXPECT_EQ(o.format.payload_type, 8);
    EXPECT_EQ(o.digits, "12#");
    EXPECT_EQ(o.grammar, "builtin:dtmf/digits?length=3");

    struct Bad {
        std::vector<std::string> args;
        std::string reason;
    };
    for (const Bad &b : {
             Bad{{}, "no command"},
             Bad{{"listen"}, "unknown command"},
             Bad{{"recognize"}, "takes one FILE.wav"},
             Bad{{"dtmf", "12x"}, "digit x"},
             Bad{{"recognize", "--codec", "pcmu", "--rate", "16000", "a.wav"}, "8000 Hz only"},
             Bad{{"recognize", "--rate", "11025", "a.wav"}, "8000 or 16000"},
             Bad{{"recognize", "--codec", "g729", "a.wav"}, "pcmu, pcma or l16"},
             Bad{{"recognize", "--server", "http://x", "a.wav"}, "sip:HOST"},
             Bad{{"recognize", "--header", "NoColon", "a.wav"}, "Name: value"},
             Bad{{"recognize", "--grammar"}, "needs a value"},
             Bad{{"recognize", "--stop-after", "soon", "a.wav"}, "takes milliseconds"},
             Bad{{"recognize", "--calls", "0", "a.wav"}, "1 to 100"},
         }) {
        EXPECT_FALSE(Parse(b.args, &o, &error)) << b.reason;
        EXPECT_NE(error.find(b.reason), std::string::npos) << error;
    }
}

}  // namespace
