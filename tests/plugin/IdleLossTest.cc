// A service connection lost between a recognition's connect and its first
// audio: the recognition must still end, and the channel recover.
#include "RecognitionFixture.h"

using namespace KoralTest;

namespace {

// The service closes a WebSocket idle for 2 s. The second RECOGNIZE reuses
// the socket at once; its caller stays silent for 5 s, so the socket is gone
// before speech opens a turn.
TEST_F(RecognitionFixture, SocketLostBeforeTurnEndsRecognition) {
    KoralTest::SpeechServiceOptions o;
    o.m_CertFile = s_Certs->CertFile();
    o.m_KeyFile = s_Certs->KeyFile();
    o.m_CaFile = s_Certs->CaFile();
    o.m_ExtraArgs = {"--idle-timeout", "2"};
    std::string error;
    service_ = KoralTest::SpeechServiceProcess::Start(o, &error);
    ASSERT_TRUE(service_) << error;
    WriteFile("data/koralrx-key.json", ReadFile(service_->KeyFilePath()));
    Configure();
    const std::string speech = SpeechFile("yes please", 8000);
    const std::string grammar = "builtin:speech/transcribe";
    const std::string script =
        "channel a rate=8000\n" + Recognize("a", 1, grammar) + "audio a " + speech +
        "\nwait a RECOGNITION-COMPLETE timeout=20000\n" +
        Recognize("a", 2, grammar, "No-Input-Timeout: 15000\n") + "silence a 5000\naudio a " +
        speech + "\nwait a RECOGNITION-COMPLETE timeout=20000\n" + Recognize("a", 3, grammar) +
        "audio a " + speech + "\nwait a RECOGNITION-COMPLETE timeout=20000\nclose a\n";
    Session s = RunSession(script);
    ASSERT_EQ(s.run.status, 0) << s.run.out << s.run.log.substr(0, 20000);
    ExpectOneEndPerRecognition(s, "a");
    std::vector<Msg> r = s.Answer("a", 1);
    ASSERT_FALSE(r.empty());
    EXPECT_EQ(r.back().Cause(), 0);
    // Its audio had nowhere to go: recognizer-error, without a result.
    r = s.Answer("a", 2);
    ASSERT_FALSE(r.empty());
    EXPECT_EQ(r.back().name, "RECOGNITION-COMPLETE");
    EXPECT_EQ(r.back().Cause(), 6);
    EXPECT_EQ(r.back().body, "");
    EXPECT_TRUE(s.LogHas("No connection to end turn ["));
    // The next recognition connects anew.
    r = s.Answer("a", 3);
    ASSERT_FALSE(r.empty());
    EXPECT_EQ(r.back().Cause(), 0);
    EXPECT_EQ(ServiceEvents("upgrade").size(), 2u);
}

}  // namespace
