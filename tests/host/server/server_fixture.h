// The suite-wide pieces of the vantor-server tests: one set of throwaway
// certificates and one local speech service, and a server started per test
// with the configuration it needs.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "KoralTest/SpeechServiceProcess.h"
#include "KoralTest/TestCerts.h"
#include "mrcp_test_client.h"
#include "server_process.h"
#include "sip_peer.h"

namespace KoralTest {

class ServerTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        std::string error;
        certs_ = KoralTest::TestCerts::Make(&error);
        ASSERT_TRUE(certs_) << error;
        KoralTest::SpeechServiceOptions o;
        o.m_Engine = engine_;
        o.m_CertFile = certs_->CertFile();
        o.m_KeyFile = certs_->KeyFile();
        o.m_CaFile = certs_->CaFile();
        service_ = KoralTest::SpeechServiceProcess::Start(o, &error);
        ASSERT_TRUE(service_) << error;
    }
    static void TearDownTestSuite() {
        service_.reset();
        certs_.reset();
    }

    // A failed test shows the end of the server's log.
    void TearDown() override {
        if (server_) server_->StopAfterTest(HasFailure());
        server_.reset();
    }

    ServerSetup DefaultSetup() const {
        ServerSetup setup;
        setup.key_file = service_->KeyFilePath();
        setup.ca_file = certs_->CaFile();
        return setup;
    }
    // The test's server, stopped and removed after the test.
    ServerProcess *StartServer(const ServerSetup &setup) {
        std::string error;
        server_ = ServerProcess::Start(setup, &error);
        EXPECT_TRUE(server_) << error;
        return server_.get();
    }

    std::unique_ptr<ServerProcess> server_;
    // The speech service's engine: a suite that needs real recognition sets
    // "pocketsphinx" before SetUpTestSuite.
    inline static std::string engine_ = "script";
    inline static std::unique_ptr<KoralTest::TestCerts> certs_;
    inline static std::unique_ptr<KoralTest::SpeechServiceProcess> service_;
};

// A DTMF-only RECOGNIZE that ends on its no-input timer: the plugin answers
// it without the speech service and without media.
inline std::string DtmfNoInputHeaders(unsigned no_input_ms) {
    return "Content-Type:text/uri-list\r\nNo-Input-Timeout:" + std::to_string(no_input_ms) + "\r\n";
}
inline const char *const kDtmfGrammar = "builtin:dtmf/digits?length=4\r\n";

inline const char *const kPcmuMaps =
    "a=rtpmap:0 PCMU/8000\r\na=rtpmap:8 PCMA/8000\r\na=rtpmap:101 telephone-event/8000\r\n"
    "a=fmtp:101 0-15\r\n";

}  // namespace KoralTest
