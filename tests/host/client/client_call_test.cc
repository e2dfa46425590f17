// vantor-client against vantor-server through the network on 127.0.0.1, the
// real plugin behind it and the local speech service's offline recognizer:
// speech over each codec and rate, digits as RFC 4733 events, a restarted
// server, refusals, a STOP, and a call hung up in the middle of a recognition.
#include <gtest/gtest.h>
#include <signal.h>

#include <memory>
#include <set>
#include <sstream>
#include <string>

#include "KoralTest/Speech.h"
#include "KoralTest/TempDir.h"
#include "client_process.h"
#include "server_fixture.h"

using namespace KoralTest;

namespace {

const char kWords[] = "call home";

class ClientCallTest : public ServerTest {
  protected:
    static void SetUpTestSuite() {
        engine_ = "pocketsphinx";
        ServerTest::SetUpTestSuite();
        std::string error;
        audio_ = std::make_unique<KoralTest::TempDir>("vantor-client-test");
        // "call home" in the voice the offline recognizer gets right through a
        // telephone band, with the pauses of a caller around it.
        for (int rate : {8000, 16000}) {
            KoralTest::Samples speech;
            ASSERT_TRUE(
                KoralTest::Synthesize(kWords, rate, speech, &error, KoralTest::Voice::FliteRms))
                << error;
            const KoralTest::Samples wav = KoralTest::Join(
                {KoralTest::Silence(300, rate), speech, KoralTest::Silence(300, rate)});
            ASSERT_TRUE(KoralTest::WriteWav(Wav(rate), wav, rate));
        }
        KoralTest::Samples longer;
        ASSERT_TRUE(KoralTest::Synthesize(
            "please call home and tell them that I will be late for dinner tonight because the "
            "trains are not running on time",
            8000, longer, &error, KoralTest::Voice::FliteRms))
            << error;
        ASSERT_TRUE(KoralTest::WriteWav(audio_->File("long-8000.wav"), longer, 8000));
    }
    static void TearDownTestSuite() {
        ServerTest::TearDownTestSuite();
        audio_.reset();
    }
    static std::string Wav(int rate) {
        return audio_->File("call-home-" + std::to_string(rate) + ".wav");
    }

    void StartServerWith(const std::string &codecs = "PCMU PCMA L16/16000 L16/8000") {
        if (server_) {
            EXPECT_EQ(server_->Stop(), 0);
        }
        ServerSetup setup = DefaultSetup();
        setup.codecs = codecs;
        // A deep jitter buffer: on a busy machine a client stalled for longer
        // than the default 60 ms would leave gaps, and the recognizer would
        // hear other words. The words are what these tests check.
        setup.extra_xml = "  <rtp jitter-buffer=\"400\"/>\n";
        ASSERT_TRUE(StartServer(setup));
    }
    std::string Uri() const { return "sip:127.0.0.1:" + std::to_string(server_->sip_port()); }

    // A recognition that ends in success with the words as the best result,
    // printed as text: START-OF-INPUT then RECOGNITION-COMPLETE.
    void ExpectRecognized(const ClientRun &run, const std::string &instance) {
        EXPECT_EQ(run.status, 0) << run.err << run.out;
        const size_t start = run.out.find("START-OF-INPUT 1 IN-PROGRESS");
        const size_t complete = run.out.find("RECOGNITION-COMPLETE 1 COMPLETE");
        EXPECT_NE(start, std::string::npos) << run.out;
        EXPECT_NE(complete, std::string::npos) << run.out;
        EXPECT_LT(start, complete);
        EXPECT_NE(run.out.find("Completion-Cause:000 success"), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("<instance>" + instance + "</instance>"), std::string::npos)
            << run.out;
        EXPECT_EQ(run.err, "");
    }

    inline static std::unique_ptr<KoralTest::TempDir> audio_;
};

TEST_F(ClientCallTest, SpeechOverEachCodecAndRateAndAfterARestart) {
    StartServerWith();
    ExpectRecognized(RunClient({"recognize", "--server", Uri(), "--codec", "pcmu", Wav(8000)}),
                     kWords);
    ExpectRecognized(RunClient({"recognize", "--server", Uri(), "--codec", "pcma", Wav(8000)}),
                     kWords);
    ExpectRecognized(RunClient({"recognize", "--server", Uri(), "--codec", "l16", Wav(8000)}),
                     kWords);
    // Wideband, printed as JSON lines.
    const ClientRun wide = RunClient({"recognize", "--server", Uri(), "--codec", "l16", "--rate",
                                      "16000", "--json", Wav(16000)});
    EXPECT_EQ(wide.status, 0) << wide.err << wide.out;
    const size_t first_end = wide.out.find('\n');
    ASSERT_NE(first_end, std::string::npos) << wide.out;
    const std::string first = wide.out.substr(0, first_end);
    const std::string second = wide.out.substr(first_end + 1);
    EXPECT_NE(first.find("\"name\": \"START-OF-INPUT\""), std::string::npos) << first;
    EXPECT_NE(second.find("\"name\": \"RECOGNITION-COMPLETE\""), std::string::npos) << second;
    EXPECT_NE(second.find("<instance>call home</instance>"), std::string::npos) << second;
    EXPECT_EQ(second.find('\n'), second.size() - 1) << "one line per message";

    // Two calls at once, their channels on one MRCP connection (the server
    // accepts one): each recognizes the words, its messages labelled by call.
    auto count = [](const std::string &text, const std::string &what) {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++n;
        return n;
    };
    const size_t connections = count(server_->Log(), "Accept MRCP Connection");
    const ClientRun two = RunClient({"recognize", "--server", Uri(), "--calls", "2", Wav(8000)});
    ExpectRecognized(two, kWords);
    EXPECT_EQ(count(server_->Log(), "Accept MRCP Connection"), connections + 1);
    for (const char *label : {"recognize/1 | ", "recognize/2 | "}) {
        std::istringstream lines(two.out);
        std::set<std::string> seen;
        for (std::string line; std::getline(lines, line);)
            if (line.find(label) != std::string::npos)
                for (const char *what : {"START-OF-INPUT 1 IN-PROGRESS", "RECOGNITION-COMPLETE 1",
                                         "<instance>call home</instance>"})
                    if (line.find(what) != std::string::npos) seen.insert(what);
        EXPECT_EQ(seen.size(), 3u) << label << two.out;
    }

    // A server restarted with fewer codecs: what it dropped is refused in SIP,
    // what it kept is served as before.
    StartServerWith("PCMU");
    const ClientRun refused =
        RunClient({"recognize", "--server", Uri(), "--codec", "pcma", Wav(8000)});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("INVITE answered 488"), std::string::npos) << refused.err;
    EXPECT_EQ(refused.out, "");
    ExpectRecognized(RunClient({"recognize", "--server", Uri(), Wav(8000)}), kWords);
}

TEST_F(ClientCallTest, DigitsRefusalsStopAndAHangUpMidRecognition) {
    StartServerWith();
    const ClientRun digits = RunClient({"dtmf", "--server", Uri(), "--codec", "pcma", "1379"});
    ExpectRecognized(digits, "1379");
    EXPECT_NE(digits.out.find("Input-Type:dtmf"), std::string::npos) << digits.out;

    // Refused before anything is sent: a file at another rate than the call's.
    const ClientRun wrong_rate = RunClient({"recognize", "--server", Uri(), Wav(16000)});
    EXPECT_EQ(wrong_rate.status, 2);
    EXPECT_NE(wrong_rate.err.find("sampled at 16000 Hz but the call sends 8000 Hz"),
              std::string::npos)
        << wrong_rate.err;
    // A grammar the recognizer refuses: the refusing response is printed.
    const ClientRun bad_grammar =
        RunClient({"recognize", "--server", Uri(), "--grammar", "builtin:nonsense/x", Wav(8000)});
    EXPECT_EQ(bad_grammar.status, 1);
    EXPECT_NE(bad_grammar.out.find(" 1 4"), std::string::npos) << bad_grammar.out;  // 4xx
    EXPECT_NE(bad_grammar.out.find(" COMPLETE\n"), std::string::npos) << bad_grammar.out;
    EXPECT_EQ(bad_grammar.out.find("RECOGNITION-COMPLETE"), std::string::npos) << bad_grammar.out;

    // Stopped while the caller still speaks: the STOP's response names the
    // recognition it ended, and no result follows.
    const ClientRun stopped = RunClient(
        {"recognize", "--server", Uri(), "--stop-after", "800", audio_->File("long-8000.wav")});
    EXPECT_EQ(stopped.status, 1);
    EXPECT_NE(stopped.out.find(" 2 200 COMPLETE"), std::string::npos) << stopped.out;
    EXPECT_NE(stopped.out.find("Active-Request-Id-List:1"), std::string::npos) << stopped.out;
    EXPECT_EQ(stopped.out.find("RECOGNITION-COMPLETE"), std::string::npos) << stopped.out;

    // Hung up while the caller still speaks: no result follows, and the
    // server goes on serving.
    ClientProcess caller;
    std::string error;
    ASSERT_TRUE(
        caller.Start({"recognize", "--server", Uri(), audio_->File("long-8000.wav")}, &error))
        << error;
    ASSERT_TRUE(caller.WaitOutput("START-OF-INPUT", 30000)) << caller.out() << caller.err();
    caller.Signal(SIGINT);
    EXPECT_EQ(caller.Wait(30000), 1);
    EXPECT_EQ(caller.out().find("RECOGNITION-COMPLETE"), std::string::npos) << caller.out();
    EXPECT_NE(caller.err().find("interrupted: hanging up"), std::string::npos) << caller.err();
    ExpectRecognized(RunClient({"dtmf", "--server", Uri(), "42"}), "42");
}

}  // namespace
