// Configuration of vantor-server: its document (conf/vantor-server.xml) and
// its command line. Bad values only log a warning naming the value and the
// default kept, as the plugin's own configuration does.
#pragma once

#include <string>
#include <vector>

#include "sdp_answer.h"

namespace vantor {

struct ServerConfig {
    // SIP: one address, one port for every transport (0: any free one).
    std::string sip_address = "127.0.0.1";
    unsigned sip_port = 5060;
    bool sip_udp = true;
    bool sip_tcp = true;
    // MRCPv2 listener.
    std::string mrcp_address = "127.0.0.1";
    unsigned mrcp_port = 1544;
    // RTP: even ports in [rtp_port_min, rtp_port_max], RTCP on the odd one above.
    std::string rtp_address = "127.0.0.1";
    unsigned rtp_port_min = 5000;
    unsigned rtp_port_max = 6000;
    unsigned jitter_ms = 60;
    // Codecs accepted, in order of preference.
    std::vector<AudioCodec> codecs = {
        {"PCMU", 8000}, {"PCMA", 8000}, {"L16", 16000}, {"L16", 8000}};
    unsigned max_sessions = 100;
    unsigned max_channels = 200;  // the engine's channel limit (0: none)
    unsigned retry_after_s = 5;   // Retry-After of a 503
    std::string log_file;         // empty: standard error
    std::string log_priority = "INFO";
    std::string plugin;  // empty: the build tree's module
    std::string root;    // empty: the build tree's vantor-root
};

struct ServerOptions {
    bool help = false;
    std::string conf;  // the document; empty: <root>/conf/vantor-server.xml, else the source tree's
    std::string root;
    std::string log_file;
    std::string log_priority;
};

// Parses argv; false with a reason in *error.
bool ParseServerOptions(int argc, char **argv, ServerOptions *options, std::string *error);
std::string ServerUsage();

// Reads the document into *config (defaults kept for what it does not set).
// Warnings for bad values go to *warnings (logged by the caller once the log
// is open). False with a reason when the file cannot be read or parsed.
bool LoadServerConfig(const std::string &path, ServerConfig *config,
                      std::vector<std::string> *warnings, std::string *error);

}  // namespace vantor
