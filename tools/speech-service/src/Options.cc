#include "Options.h"

#include <cerrno>
#include <cstdlib>

namespace SpeechService {

namespace {

bool ReadInt(const std::string &name, const std::string &text, int min, int max, int &out,
             std::string &error) {
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || v < min || v > max) {
        error = name + " needs a whole number from " + std::to_string(min) + " to " +
                std::to_string(max);
        return false;
    }
    out = static_cast<int>(v);
    return true;
}

bool ReadListen(const std::string &text, Options &o, std::string &error) {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        error = "--listen needs ADDR:PORT, for instance 127.0.0.1:8443";
        return false;
    }
    int port = 0;
    if (!ReadInt("--listen port", text.substr(colon + 1), 0, 65535, port, error)) return false;
    std::string address = text.substr(0, colon);
    if (address.size() > 2 && address.front() == '[' && address.back() == ']') {
        address = address.substr(1, address.size() - 2);
    }
    o.m_ListenAddress = address;
    o.m_ListenPort = static_cast<uint16_t>(port);
    return true;
}

}  // namespace

const char *UsageText() {
    return "usage: speech-service [options]\n"
           "  --listen ADDR:PORT          address to serve (default 127.0.0.1:8443; port 0 picks a "
           "free one)\n"
           "  --cert FILE --key FILE      TLS certificate chain and private key (PEM)\n"
           "  --plain                     serve plain HTTP and WS instead of TLS\n"
           "  --subscription-key KEY      the key the token endpoint accepts (default "
           "local-subscription-key)\n"
           "  --engine pocketsphinx|script  recogniser (default pocketsphinx)\n"
           "  --script FILE               scenario: scripted turns and faults (see README.md)\n"
           "  --event-log FILE            write a JSON line for everything clients send\n"
           "  --write-key-file PATH       write the plugin's subscription key file for this "
           "server\n"
           "  --token-lifetime S          access token lifetime in seconds (default 600)\n"
           "  --idle-timeout S            close WebSockets idle this long (default 180)\n"
           "  --max-connection-time S     close WebSockets open this long (default 600)\n"
           "  --request-timeout S         close connections whose TLS handshake or HTTP request\n"
           "                              takes longer (default 30)\n"
           "  --model-dir DIR             pocketsphinx US English model "
           "(default " SPEECH_SERVICE_DEFAULT_MODEL_DIR
           ")\n"
           "  --workers N                 recognition threads (default 2)\n"
           "  --decoders N                most decoders at once, about 90 MB each (default 4)\n"
           "  --preload N                 decoders loaded before serving (default 1)\n"
           "  --nbest N                   most alternatives in a result (default 5)\n"
           "  --vad-threshold DB          speech energy threshold in dBFS (default -50)\n"
           "  --band auto|wide|narrow     decode turns as detected per turn (default), or as one "
           "band\n"
           "  --verbose                   log connections and the recogniser's own output to "
           "stderr\n"
           "  --help                      show this text\n";
}

bool ParseOptions(const std::vector<std::string> &args, Options &o, std::string &error) {
    o.m_ModelDir = SPEECH_SERVICE_DEFAULT_MODEL_DIR;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        auto value = [&](std::string &out) {
            if (i + 1 >= args.size()) {
                error = a + " needs a value";
                return false;
            }
            out = args[++i];
            return true;
        };
        std::string v;
        if (a == "--help" || a == "-h") {
            o.m_Help = true;
        } else if (a == "--plain") {
            o.m_Plain = true;
        } else if (a == "--verbose") {
            o.m_Verbose = true;
        } else if (a == "--listen") {
            if (!value(v) || !ReadListen(v, o, error)) return false;
        } else if (a == "--cert") {
            if (!value(o.m_CertFile)) return false;
        } else if (a == "--key") {
            if (!value(o.m_KeyFile)) return false;
        } else if (a == "--subscription-key") {
            if (!value(o.m_SubscriptionKey)) return false;
            if (o.m_SubscriptionKey.empty()) {
                error = "--subscription-key needs a non-empty key";
                return false;
            }
        } else if (a == "--engine") {
            if (!value(o.m_Engine)) return false;
            if (o.m_Engine != "pocketsphinx" && o.m_Engine != "script") {
                error = "--engine must be pocketsphinx or script";
                return false;
            }
        } else if (a == "--script") {
            if (!value(o.m_ScriptFile)) return false;
        } else if (a == "--event-log") {
            if (!value(o.m_EventLogFile)) return false;
        } else if (a == "--write-key-file") {
            if (!value(o.m_KeyFilePath)) return false;
        } else if (a == "--model-dir") {
            if (!value(o.m_ModelDir)) return false;
        } else if (a == "--token-lifetime") {
            if (!value(v) || !ReadInt(a, v, 1, 86400 * 365, o.m_TokenLifetimeS, error))
                return false;
        } else if (a == "--idle-timeout") {
            if (!value(v) || !ReadInt(a, v, 1, 86400 * 365, o.m_IdleTimeoutS, error)) return false;
        } else if (a == "--request-timeout") {
            if (!value(v) || !ReadInt(a, v, 1, 3600, o.m_RequestTimeoutS, error)) return false;
        } else if (a == "--max-connection-time") {
            if (!value(v) || !ReadInt(a, v, 1, 86400 * 365, o.m_MaxConnectionTimeS, error))
                return false;
        } else if (a == "--workers") {
            if (!value(v) || !ReadInt(a, v, 1, 64, o.m_Workers, error)) return false;
        } else if (a == "--decoders") {
            if (!value(v) || !ReadInt(a, v, 1, 256, o.m_MaxDecoders, error)) return false;
        } else if (a == "--preload") {
            if (!value(v) || !ReadInt(a, v, 0, 256, o.m_Preload, error)) return false;
        } else if (a == "--nbest") {
            if (!value(v) || !ReadInt(a, v, 1, 50, o.m_NBest, error)) return false;
        } else if (a == "--vad-threshold") {
            int db = 0;
            if (!value(v) || !ReadInt(a, v, -120, 0, db, error)) return false;
            o.m_VadThresholdDb = db;
        } else if (a == "--band") {
            if (!value(v)) return false;
            if (!ParseBandMode(v, o.m_Band)) {
                error = "--band must be auto, wide or narrow";
                return false;
            }
        } else {
            error = "unknown option " + a;
            return false;
        }
    }
    if (o.m_Help) return true;
    if (!o.m_Plain && (o.m_CertFile.empty() || o.m_KeyFile.empty())) {
        error = "TLS needs --cert FILE and --key FILE (or serve without TLS with --plain)";
        return false;
    }
    if (o.m_Plain && (!o.m_CertFile.empty() || !o.m_KeyFile.empty())) {
        error = "--plain cannot be combined with --cert or --key";
        return false;
    }
    return true;
}

}  // namespace SpeechService
