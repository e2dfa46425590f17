#include "client_options.h"

#include <strings.h>

#include <cstdlib>

#include "mpf_frame.h"

namespace vantor {

namespace {
constexpr int kEventPayloadType = 101;
constexpr int kL16PayloadType = 96;

// "sip:HOST:PORT" or "sip:HOST" (numeric host, IPv6 in brackets) -> HOST.
bool ServerHost(const std::string &uri, std::string *host) {
    if (strncasecmp(uri.c_str(), "sip:", 4) != 0) return false;
    std::string rest = uri.substr(4);
    const size_t at = rest.find('@');
    if (at != std::string::npos) rest = rest.substr(at + 1);
    rest = rest.substr(0, rest.find(';'));
    if (!rest.empty() && rest[0] == '[') {
        const size_t close = rest.find(']');
        if (close == std::string::npos) return false;
        *host = rest.substr(1, close - 1);
    } else {
        *host = rest.substr(0, rest.find(':'));
    }
    return !host->empty();
}
}  // namespace

std::string ClientUsage() {
    return "usage: vantor-client recognize [OPTIONS] [--grammar URI] [--header \"Name: "
           "value\"]...\n"
           "                     FILE.wav\n"
           "       vantor-client dtmf [OPTIONS] [--grammar URI] DIGITS\n"
           "\n"
           "Calls an MRCPv2 server over SIP, opens a recognizer channel, streams the WAV\n"
           "file (16-bit mono at the codec's rate) or the digits (RFC 4733 events) over\n"
           "RTP in real time, sends RECOGNIZE, prints START-OF-INPUT and\n"
           "RECOGNITION-COMPLETE and hangs up. Exit status 0 on success, 1 on no-match,\n"
           "no-input or any error, 2 on a usage error or an unusable file.\n"
           "\n"
           "Options:\n"
           "  --server URI         the server (default sip:127.0.0.1:5060)\n"
           "  --codec C            pcmu, pcma or l16 (default pcmu)\n"
           "  --rate HZ            8000 or 16000 (l16 only; default 8000)\n"
           "  --grammar URI        grammar of the RECOGNIZE (default builtin:speech/transcribe,\n"
           "                       for dtmf builtin:dtmf/digits?length=N with N the digits given)\n"
           "  --header \"N: V\"     one more RECOGNIZE header (repeatable)\n"
           "  --timeout MS         wait for SIP and MRCP answers (default 10000)\n"
           "  --stop-after MS      send STOP this long after the recognition started and\n"
           "                       print its response instead of a result\n"
           "  --calls N            N calls at once (default 1), their channels on one MRCP\n"
           "                       connection, each running the same recognition; messages\n"
           "                       are labelled by call (recognize/1, ...), the exit status\n"
           "                       is the worst of the calls'\n"
           "  --json               print each message as one JSON object per line\n"
           "  --help               print this help\n";
}

bool ParseClientOptions(int argc, char **argv, ClientOptions *o, std::string *error) {
    std::string codec = "pcmu";
    unsigned rate = 8000;
    bool rate_given = false;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string *out) {
            if (i + 1 >= argc) {
                *error = arg + " needs a value";
                return false;
            }
            *out = argv[++i];
            return true;
        };
        std::string v;
        if (arg == "--help" || arg == "-h") {
            o->help = true;
            return true;
        } else if (arg == "--server") {
            if (!value(&o->server)) return false;
        } else if (arg == "--codec") {
            if (!value(&codec)) return false;
        } else if (arg == "--rate") {
            if (!value(&v)) return false;
            if (v != "8000" && v != "16000") {
                *error = "--rate takes 8000 or 16000, not " + v;
                return false;
            }
            rate = static_cast<unsigned>(atoi(v.c_str()));
            rate_given = true;
        } else if (arg == "--grammar") {
            if (!value(&o->grammar)) return false;
        } else if (arg == "--header") {
            if (!value(&v)) return false;
            const size_t colon = v.find(':');
            if (colon == std::string::npos || colon == 0) {
                *error = "--header takes \"Name: value\", not " + v;
                return false;
            }
            std::string name = v.substr(0, colon);
            std::string text = v.substr(colon + 1);
            text.erase(0, text.find_first_not_of(" \t"));
            o->headers.emplace_back(name, text);
        } else if (arg == "--timeout") {
            if (!value(&v)) return false;
            char *end = nullptr;
            const long ms = strtol(v.c_str(), &end, 10);
            if (v.empty() || *end || ms <= 0 || ms > 3600000) {
                *error = "--timeout takes milliseconds, not " + v;
                return false;
            }
            o->timeout_ms = ms;
        } else if (arg == "--stop-after") {
            if (!value(&v)) return false;
            char *end = nullptr;
            const long ms = strtol(v.c_str(), &end, 10);
            if (v.empty() || *end || ms < 0 || ms > 3600000) {
                *error = "--stop-after takes milliseconds, not " + v;
                return false;
            }
            o->stop_after_ms = ms;
        } else if (arg == "--calls") {
            if (!value(&v)) return false;
            char *end = nullptr;
            const long n = strtol(v.c_str(), &end, 10);
            if (v.empty() || *end || n < 1 || n > 100) {
                *error = "--calls takes 1 to 100, not " + v;
                return false;
            }
            o->calls = static_cast<int>(n);
        } else if (arg == "--json") {
            o->json = true;
        } else if (arg.size() > 1 && arg[0] == '-' && arg.compare(0, 2, "--") == 0) {
            *error = "unknown option " + arg;
            return false;
        } else {
            positional.push_back(arg);
        }
    }
    if (positional.empty()) {
        *error = "no command given";
        return false;
    }
    if (positional[0] == "recognize") {
        o->mode = ClientOptions::Mode::kRecognize;
    } else if (positional[0] == "dtmf") {
        o->mode = ClientOptions::Mode::kDtmf;
    } else {
        *error = "unknown command " + positional[0];
        return false;
    }
    if (positional.size() != 2) {
        *error = positional[0] +
                 (o->mode == ClientOptions::Mode::kDtmf ? " takes DIGITS" : " takes one FILE.wav");
        return false;
    }
    if (o->mode == ClientOptions::Mode::kRecognize) {
        o->wav_file = positional[1];
    } else {
        o->digits = positional[1];
        for (char c : o->digits) {
            if (mpf_dtmf_char_to_event_id(c) == 0xFF) {
                *error = "digit " + std::string(1, c) + " is not one of 0-9 * # A-D";
                return false;
            }
        }
    }
    if (strcasecmp(codec.c_str(), "pcmu") == 0) {
        o->format = RtpFormat{RtpEncoding::kPcmu, 0, 8000, kEventPayloadType};
    } else if (strcasecmp(codec.c_str(), "pcma") == 0) {
        o->format = RtpFormat{RtpEncoding::kPcma, 8, 8000, kEventPayloadType};
    } else if (strcasecmp(codec.c_str(), "l16") == 0) {
        o->format = RtpFormat{RtpEncoding::kL16, kL16PayloadType, rate, kEventPayloadType};
    } else {
        *error = "--codec takes pcmu, pcma or l16, not " + codec;
        return false;
    }
    if (rate_given && rate != 8000 && o->format.encoding != RtpEncoding::kL16) {
        *error = "G.711 (" + codec + ") runs at 8000 Hz only; 16000 Hz needs --codec l16";
        return false;
    }
    if (!ServerHost(o->server, &o->server_host)) {
        *error = "--server takes sip:HOST[:PORT], not " + o->server;
        return false;
    }
    if (o->grammar.empty())
        o->grammar = o->mode == ClientOptions::Mode::kDtmf
                         ? "builtin:dtmf/digits?length=" + std::to_string(o->digits.size())
                         : "builtin:speech/transcribe";
    return true;
}

}  // namespace vantor
