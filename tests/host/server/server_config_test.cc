// The server's configuration document and command line: values read, bad
// values warned about with the default kept, and the options.
#include "server_config.h"

#include <gtest/gtest.h>

#include "KoralTest/TempDir.h"

namespace {

TEST(ServerConfig, ValuesReadAndBadOnesKeepTheirDefaults) {
    KoralTest::TempDir dir("vantor-server-config");
    const std::string path = dir.File("vantor-server.xml");
    ASSERT_TRUE(KoralTest::WriteTextFile(
        path,
        "<vantor-server>\n"
        "  <SIP address=\"127.0.0.2\" port=\"5070\" transports=\"TCP\"/>\n"
        "  <mrcp port=\"70000\"/>\n"
        "  <rtp port-min=\"7000\" port-max=\"7001\" jitter-buffer=\"5\"/>\n"
        "  <codecs> l16/16000  G729 pcma </codecs>\n"
        "  <sessions max=\"12\" max-channels=\"-3\" retry-after=\"9\"/>\n"
        "  <log file=\"/tmp/x.log\" priority=\"DEBUG\"/>\n"
        "  <surprise/>\n"
        "</vantor-server>\n"));
    vantor::ServerConfig config;
    std::vector<std::string> warnings;
    std::string error;
    ASSERT_TRUE(vantor::LoadServerConfig(path, &config, &warnings, &error)) << error;
    EXPECT_EQ(config.sip_address, "127.0.0.2");
    EXPECT_EQ(config.sip_port, 5070u);
    EXPECT_FALSE(config.sip_udp);
    EXPECT_TRUE(config.sip_tcp);
    EXPECT_EQ(config.mrcp_port, 1544u);
    EXPECT_EQ(config.rtp_port_min, 7000u);
    EXPECT_EQ(config.rtp_port_max, 7001u);
    EXPECT_EQ(config.jitter_ms, 60u);
    ASSERT_EQ(config.codecs.size(), 2u);
    EXPECT_EQ(config.codecs[0].encoding, "L16");
    EXPECT_EQ(config.codecs[0].rate, 16000u);
    EXPECT_EQ(config.codecs[1].encoding, "PCMA");
    EXPECT_EQ(config.max_sessions, 12u);
    EXPECT_EQ(config.max_channels, 200u);
    EXPECT_EQ(config.retry_after_s, 9u);
    EXPECT_EQ(config.log_file, "/tmp/x.log");
    const std::vector<std::string> expected = {
        "Bad value \"70000\" of mrcp port: using the default 1544",
        "Bad value \"5\" of rtp jitter-buffer: using the default 60",
        "Bad value \"G729\" of codecs: using the other codecs listed",
        "Bad value \"-3\" of sessions max-channels: using the default 200",
        "Unknown element surprise ignored",
    };
    EXPECT_EQ(warnings, expected);

    // A range without an even port and odd one above it, and no transport.
    ASSERT_TRUE(KoralTest::WriteTextFile(path,
                                         "<vantor-server><rtp port-min=\"7001\" port-max=\"7001\"/>"
                                         "<sip transports=\"sctp\"/></vantor-server>"));
    vantor::ServerConfig defaults;
    warnings.clear();
    ASSERT_TRUE(vantor::LoadServerConfig(path, &defaults, &warnings, &error));
    EXPECT_EQ(defaults.rtp_port_min, 5000u);
    EXPECT_TRUE(defaults.sip_udp && defaults.sip_tcp);
    EXPECT_EQ(warnings.size(), 2u);

    for (const std::string &bad : {std::string("<other/>"), std::string("<vantor-server>")}) {
        ASSERT_TRUE(KoralTest::WriteTextFile(path, bad));
        EXPECT_FALSE(vantor::LoadServerConfig(path, &defaults, &warnings, &error)) << bad;
    }
    EXPECT_FALSE(vantor::LoadServerConfig(dir.File("missing.xml"), &defaults, &warnings, &error));
    EXPECT_NE(error.find("cannot read"), std::string::npos);

    // The command line.
    const char *argv[] = {"vantor-server",  "--conf", "a.xml", "--root", "/r",
                          "--log-priority", "7"};
    vantor::ServerOptions options;
    ASSERT_TRUE(vantor::ParseServerOptions(7, const_cast<char **>(argv), &options, &error));
    EXPECT_EQ(options.conf, "a.xml");
    EXPECT_EQ(options.root, "/r");
    EXPECT_EQ(options.log_priority, "7");
    const char *missing[] = {"vantor-server", "--log-file"};
    EXPECT_FALSE(vantor::ParseServerOptions(2, const_cast<char **>(missing), &options, &error));
    const char *unknown[] = {"vantor-server", "--sip-port", "5"};
    EXPECT_FALSE(vantor::ParseServerOptions(3, const_cast<char **>(unknown), &options, &error));
    EXPECT_EQ(error, "unknown argument --sip-port");
}

}  // namespace
