// RTP garbage and floods end to end: one dialog's RTP port gets datagrams of
// every broken kind, packets from a stranger and a flood, while a call next
// to it recognizes speech; the recognition is unharmed, the flooded dialog
// still ends cleanly, and the server logged what it dropped.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <regex>
#include <string>
#include <vector>

#include "KoralTest/Speech.h"
#include "KoralTest/TempDir.h"
#include "client_process.h"
#include "rtp_packet.h"
#include "server_fixture.h"

using namespace KoralTest;

namespace {

// A UDP socket on 127.0.0.1 that sends to a port there.
class UdpSender {
  public:
    UdpSender() { fd_ = BindLoopbackUdp(&port_); }
    ~UdpSender() {
        if (fd_ >= 0) close(fd_);
    }
    UdpSender(const UdpSender &) = delete;
    UdpSender &operator=(const UdpSender &) = delete;

    unsigned port() const { return port_; }
    void Send(unsigned to_port, const std::vector<uint8_t> &datagram) const {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(static_cast<uint16_t>(to_port));
        // A full socket buffer loses the datagram, as a flood would.
        (void)!sendto(fd_, datagram.data(), datagram.size(), 0,
                      reinterpret_cast<const sockaddr *>(&to), sizeof(to));
    }

  private:
    int fd_ = -1;
    unsigned port_ = 0;
};

// An RTP header (first byte given: version, padding, extension, CSRC count)
// and payload bytes of one value.
std::vector<uint8_t> Rtp(uint8_t first, uint8_t payload_type, uint16_t seq, uint32_t ts,
                         size_t payload, uint8_t fill = 0xFF) {
    std::vector<uint8_t> d;
    vantor::WriteRtpHeader({false, payload_type, seq, ts, 0x12345678}, &d);
    d[0] = first;
    d.insert(d.end(), payload, fill);
    return d;
}

class RtpFloodTest : public ServerTest {
  protected:
    static void SetUpTestSuite() {
        engine_ = "pocketsphinx";
        ServerTest::SetUpTestSuite();
    }
};

TEST_F(RtpFloodTest, GarbageAndFloodOnOneCallLeaveTheOtherRecognizing) {
    // "call home" as the offline recognizer gets it through a telephone band.
    KoralTest::TempDir dir("vantor-rtp-flood");
    const std::string wav = dir.File("call-home.wav");
    KoralTest::Samples speech;
    std::string error;
    ASSERT_TRUE(KoralTest::Synthesize("call home", 8000, speech, &error, Voice::FliteRms)) << error;
    ASSERT_TRUE(KoralTest::WriteWav(
        wav, KoralTest::Join({Silence(300, 8000), speech, Silence(300, 8000)}), 8000));

    ServerSetup setup = DefaultSetup();
    // A deep jitter buffer: the words are what this test checks, on a busy machine.
    setup.extra_xml = "  <rtp jitter-buffer=\"400\"/>\n";
    ServerProcess *server = StartServer(setup);
    ASSERT_TRUE(server);

    // The dialog to flood: its peer is the flooding socket, so that what
    // it sends passes the source check and reaches the parser.
    SipPeer sip(server->sip_port());
    UdpSender flood, stranger;
    ASSERT_NE(flood.port(), 0u);
    ASSERT_NE(stranger.port(), 0u);
    SipMessage ok;
    ASSERT_TRUE(sip.Invite("flooded", MrcpOffer("new", "0 101", kPcmuMaps, flood.port()), &ok));
    ASSERT_EQ(ok.status, 200) << ok.text;
    ASSERT_TRUE(sip.Ack("flooded"));
    ASSERT_GT(ok.SdpPort("audio"), 0);
    const auto port = static_cast<unsigned>(ok.SdpPort("audio"));

    ClientProcess client;
    ASSERT_TRUE(client.Start(
        {"recognize", "--server", "sip:127.0.0.1:" + std::to_string(server->sip_port()), "--codec",
         "pcmu", wav},
        &error))
        << error;

    // Every broken kind once, then a flood of them all until the recognition ended.
    std::vector<std::vector<uint8_t>> broken = {
        {0x80},                                  // shorter than any header
        std::vector<uint8_t>(11, 0x80),          // shorter than the fixed header
        Rtp(0x40, 0, 1, 160, 160),               // version 1
        Rtp(0x80, 96, 2, 320, 160),              // a payload type not negotiated
        Rtp(0x8F, 0, 3, 480, 8),                 // 15 CSRCs in 8 bytes
        Rtp(0x90, 0, 4, 640, 4, 0xFF),           // an extension of 65535 words
        Rtp(0xA0, 0, 5, 800, 10, 0xFF),          // 255 bytes of padding in 10
        Rtp(0x80, 101, 6, 960, 2),               // a telephone-event of 2 bytes
        Rtp(0x80, 0, 7, 0xFFFFFF00u, 160),       // a timestamp from far away
        Rtp(0x80, 0, 0x8000, 0x7FFFFFFFu, 160),  // and a sequence jump
    };
    // Good packets whose source (SSRC) changes with every other one.
    broken.push_back(Rtp(0x80, 0, 9, 1120, 160));
    broken.back()[8] = 0x9A;
    for (const auto &d : broken) flood.Send(port, d);
    stranger.Send(port, Rtp(0x80, 0, 1, 160, 160));  // the right format from a stranger
    // Bursts of a thousand, far more than the receiver reads in a tick (the
    // socket overflows), with a few ms between them for the rest of a shared
    // machine: the recognizer and the client run on it too.
    size_t sent = 0;
    while (sent < 20000 || !client.WaitOutput("RECOGNITION-COMPLETE", 5)) {
        for (int i = 0; i < 1000; ++i, ++sent) {
            flood.Send(port, broken[sent % broken.size()]);
            if (sent % 10 == 0) stranger.Send(port, broken[sent % 4]);
        }
        if (sent >= 2000000) break;  // a recognition that never ends fails below
    }
    EXPECT_EQ(client.Wait(60000), 0) << client.err() << client.out();
    EXPECT_NE(client.out().find("Completion-Cause:000 success"), std::string::npos) << client.out();
    EXPECT_NE(client.out().find("<instance>call home</instance>"), std::string::npos)
        << client.out();

    // The flooded dialog still answers, and ends cleanly.
    SipMessage bye;
    ASSERT_TRUE(sip.Bye("flooded", &bye));
    EXPECT_EQ(bye.status, 200);
    EXPECT_EQ(server->Stop(), 0);
    const std::string log = server->Log();
    const std::string at = "RTP port " + std::to_string(port) + ": ";
    for (const std::string &line :
         {at + "packet from unexpected source 127.0.0.1:" + std::to_string(stranger.port()) +
              " dropped (1 so far)",
          at + "1-byte datagram from 127.0.0.1:" + std::to_string(flood.port()) +
              " is not RTP, dropped (1 so far)",
          std::string("dropped (100 so far)")})
        EXPECT_NE(log.find(line), std::string::npos) << line;
    // Thousands of source changes, reported as the drops are.
    size_t changes = 0;
    for (size_t at_line = log.find("playout restarted"); at_line != std::string::npos;
         at_line = log.find("playout restarted", at_line + 1))
        ++changes;
    EXPECT_GE(changes, 1u);
    EXPECT_LE(changes, 6u);
    // What the receiver counted, at close.
    std::smatch stats;
    ASSERT_TRUE(
        std::regex_search(log, stats,
                          std::regex("RTP Stats d1-m0: packets=[0-9]+ lost=[0-9]+ late=[0-9]+ "
                                     "wrong-source=([0-9]+) wrong-payload-type=([0-9]+)")));
    EXPECT_GE(std::stoul(stats[1]), 100u) << stats[0];
    EXPECT_GE(std::stoul(stats[2]), 1000u) << stats[0];
}

}  // namespace
