// Command line of vantor-client.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "rtp_receiver.h"

namespace vantor {

struct ClientOptions {
    enum class Mode { kNone, kRecognize, kDtmf };
    Mode mode = Mode::kNone;
    std::string server = "sip:127.0.0.1:5060";
    std::string server_host;  // from server
    RtpFormat format;         // codec and rate; telephone-event always offered
    std::string grammar;      // empty: the mode's default
    std::vector<std::pair<std::string, std::string>> headers;
    bool json = false;
    long timeout_ms = 10000;  // SIP and MRCP answers
    long stop_after_ms = -1;  // STOP this long after RECOGNIZE is in progress; -1: never
    std::string wav_file;     // recognize
    std::string digits;       // dtmf
    bool help = false;
    int calls = 1;  // dialogs at once, their channels on one MRCP connection
};

// Parses argv; false with a reason.
bool ParseClientOptions(int argc, char **argv, ClientOptions *options, std::string *error);
std::string ClientUsage();

}  // namespace vantor
