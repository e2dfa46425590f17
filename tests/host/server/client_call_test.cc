// vantor-client against vantor-server: real calls whose audio crosses RTP,
// recognized by the plugin with the local speech service's offline
// recognizer. The server is restarted between the codecs' sessions.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "KoralTest/Process.h"
#include "KoralTest/Speech.h"
#include "KoralTest/TestPaths.h"
#include "server_fixture.h"

namespace vantor_test {

std::unique_ptr<KoralTest::TestCerts> ServerTest::certs_;
std::unique_ptr<KoralTest::SpeechServiceProcess> ServerTest::service_;

namespace {

std::string ClientPath() {
    const char *path = getenv("VANTOR_CLIENT");
    return path ? path : KoralTest::BinaryDir() + "/host/client/vantor-client";
}

// Runs vantor-client with args; its exit status and standard output.
int RunClient(const std::vector<std::string> &args, std::string *out) {
    KoralTest::TempDir dir("vantor-client-run");
    const std::string file = dir.File("out");
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 1);
        KoralTest::CloseInheritedDescriptors();
        std::vector<char *> argv;
        const std::string program = ClientPath();
        argv.push_back(const_cast<char *>(program.c_str()));
        for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    KoralTest::ReadTextFile(file, *out);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class ClientCallTest : public ServerTest {
  protected:
    static void SetUpTestSuite() {
        std::string error;
        certs_ = KoralTest::TestCerts::Make(&error);
        ASSERT_TRUE(certs_) << error;
        KoralTest::SpeechServiceOptions o;
        o.m_Engine = "pocketsphinx";
        o.m_CertFile = certs_->CertFile();
        o.m_KeyFile = certs_->KeyFile();
        o.m_CaFile = certs_->CaFile();
        service_ = KoralTest::SpeechServiceProcess::Start(o, &error);
        ASSERT_TRUE(service_) << error;
    }
};

}  // namespace

// "call home" over PCMU, then, on a restarted server, over L16 at 16 kHz;
// digits by RFC 4733 events.
TEST_F(ClientCallTest, SpeechAndDigitsCrossRtp) {
    KoralTest::Samples speech;
    std::string error;
    ASSERT_TRUE(
        KoralTest::Synthesize("call home", 16000, speech, &error, KoralTest::Voice::FliteRms))
        << error;
    KoralTest::Samples narrow;
    ASSERT_TRUE(KoralTest::Resample(speech, 16000, 8000, narrow, &error)) << error;
    KoralTest::TempDir dir("vantor-client-audio");
    const std::string wav8 = dir.File("call-home-8k.wav");
    const std::string wav16 = dir.File("call-home-16k.wav");
    ASSERT_TRUE(KoralTest::WriteWav(
        wav8,
        KoralTest::Join({KoralTest::Silence(300, 8000), narrow, KoralTest::Silence(300, 8000)}),
        8000));
    ASSERT_TRUE(KoralTest::WriteWav(
        wav16,
        KoralTest::Join({KoralTest::Silence(300, 16000), speech, KoralTest::Silence(300, 16000)}),
        16000));

    struct Call {
        std::vector<std::string> args;
        std::string expect;
    };
    const std::vector<std::vector<Call>> sessions = {
        {{{"recognize", "--codec", "pcmu", wav8}, "<instance>call home</instance>"},
         {{"dtmf", "1234"}, "<instance>1234</instance>"}},
        {{{"recognize", "--codec", "l16", "--rate", "16000", wav16},
          "<instance>call home</instance>"}},
    };
    // A deep jitter buffer: on a loaded machine the sending client may be
    // held up for longer than a call's usual 60 ms.
    ServerSetup setup = DefaultSetup();
    setup.extra_xml = "<rtp jitter-buffer=\"400\"/>";
    for (const auto &session : sessions) {
        ServerProcess *server = StartServer(setup);
        ASSERT_TRUE(server);
        for (const Call &call : session) {
            std::vector<std::string> args = call.args;
            args.insert(args.begin() + 1,
                        {"--server", "sip:127.0.0.1:" + std::to_string(server->sip_port())});
            std::string out;
            EXPECT_EQ(RunClient(args, &out), 0) << args[0] << ": " << out;
            EXPECT_NE(out.find("Completion-Cause:000 success"), std::string::npos) << out;
            EXPECT_NE(out.find(call.expect), std::string::npos) << out;
        }
        EXPECT_EQ(server->Stop(), 0);
    }
}

}  // namespace vantor_test
