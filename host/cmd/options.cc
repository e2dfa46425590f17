#include "options.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <vector>

namespace vantor {

namespace {

bool ParseNumber(const std::string &text, double max, double *out) {
    if (text.empty()) return false;
    errno = 0;
    char *end = nullptr;
    double v = strtod(text.c_str(), &end);
    if (errno || !end || *end || !std::isfinite(v) || v < 0 || v > max) return false;
    *out = v;
    return true;
}

}  // namespace

std::string Usage() {
    return "usage: vantor-host [OPTIONS] open\n"
           "       vantor-host [OPTIONS] run SCRIPT\n"
           "       vantor-host [OPTIONS] check SCRIPT\n"
           "       vantor-host [OPTIONS] recognize [--grammar URI] [--header \"Name: value\"]...\n"
           "                   [--version 1|2] [--exchange] FILE.wav\n"
           "\n"
           "Loads a recognizer plugin module as an MRCP server does, opens its engine and\n"
           "either closes it again (open), runs a session script against it (run), only\n"
           "checks a script's syntax (check), or recognizes an 8 or 16 kHz mono WAV file\n"
           "on one channel and prints its RECOGNITION-COMPLETE (recognize; exit status 0\n"
           "on success, 1 on no-match, no-input or any error). SCRIPT \"-\" reads\n"
           "standard input.\n"
           "\n"
           "Options:\n"
           "  --plugin PATH        plugin module (default: the build tree's libkoralrx.so)\n"
           "  --root DIR           server root: conf/, data/, var/, log/ and plugin/ under it\n"
           "                       (default: vantor-root in the build tree)\n"
           "  --conf DIR           configuration directory (default: ROOT/conf if it exists,\n"
           "                       else the source tree's conf/)\n"
           "  --log-file PATH      append the host log to PATH instead of standard error\n"
           "  --log-priority P     log threshold: EMERGENCY ... DEBUG or 0-7 (default INFO)\n"
           "  --max-channels N     engine's maximum channel count (default 100; 0: no limit)\n"
           "  --speed X            media clock X times faster than real time (default 1;\n"
           "                       0: as fast as possible)\n"
           "  --timeout MS         wait for engine and channel open/close answers (default 10000)\n"
           "  --json               print each plugin message as one JSON object per line\n"
           "  --version            print the host version\n"
           "  --help               print this help\n"
           "\n"
           "recognize options:\n"
           "  --grammar URI        grammar of the RECOGNIZE (default builtin:speech/transcribe)\n"
           "  --header \"N: V\"     one more RECOGNIZE header (repeatable)\n"
           "  --version 1|2        MRCP version of the channel (default 2)\n"
           "  --exchange           print every message of the plugin, not only the result\n"
           "\n"
           "Exit status: 0 success, 1 failure of the plugin or the session, 2 usage or script "
           "error.\n";
}

bool ParseOptions(int argc, char **argv, Options *o, std::string *error) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool has_value = false;
        if (arg.rfind("--", 0) == 0) {
            size_t eq = arg.find('=');
            if (eq != std::string::npos) {
                value = arg.substr(eq + 1);
                arg = arg.substr(0, eq);
                has_value = true;
            }
        }
        auto take = [&](std::string *out) {
            if (!has_value) {
                if (i + 1 >= argc) {
                    *error = arg + " needs a value";
                    return false;
                }
                value = argv[++i];
            }
            *out = value;
            return true;
        };
        double number = 0;
        std::string text;
        if (arg == "--help" || arg == "-h") {
            o->help = true;
        } else if (arg == "--version" && o->mode == Options::Mode::kRecognize) {
            if (!take(&text)) return false;
            if (text != "1" && text != "2") {
                *error = "bad --version " + text + " (1 or 2)";
                return false;
            }
            o->mrcp_version = text == "1" ? 1 : 2;
        } else if (arg == "--version") {
            o->version = true;
        } else if (arg == "--grammar" && o->mode == Options::Mode::kRecognize) {
            if (!take(&o->grammar)) return false;
        } else if (arg == "--exchange" && o->mode == Options::Mode::kRecognize) {
            o->exchange = true;
        } else if (arg == "--header" && o->mode == Options::Mode::kRecognize) {
            if (!take(&text)) return false;
            size_t colon = text.find(':');
            if (colon == std::string::npos || colon == 0) {
                *error = "bad --header " + text + " (Name: value)";
                return false;
            }
            size_t start = text.find_first_not_of(" \t", colon + 1);
            o->headers.emplace_back(text.substr(0, colon),
                                    start == std::string::npos ? "" : text.substr(start));
        } else if (arg == "--json") {
            o->json = true;
        } else if (arg == "--plugin") {
            if (!take(&o->plugin)) return false;
        } else if (arg == "--root") {
            if (!take(&o->root)) return false;
        } else if (arg == "--conf") {
            if (!take(&o->conf)) return false;
        } else if (arg == "--log-file") {
            if (!take(&o->log_file)) return false;
        } else if (arg == "--log-priority") {
            if (!take(&o->log_priority)) return false;
        } else if (arg == "--max-channels") {
            if (!take(&text)) return false;
            if (!ParseNumber(text, 100000, &number) || number != std::floor(number)) {
                *error = "bad --max-channels " + text;
                return false;
            }
            o->max_channels = (unsigned long)number;
        } else if (arg == "--speed") {
            if (!take(&text)) return false;
            if (!ParseNumber(text, 1000, &number)) {
                *error = "bad --speed " + text + " (0 to 1000)";
                return false;
            }
            o->speed = number;
        } else if (arg == "--timeout") {
            if (!take(&text)) return false;
            if (!ParseNumber(text, 3600 * 1000, &number) || number < 1) {
                *error = "bad --timeout " + text;
                return false;
            }
            o->timeout_ms = (long)number;
        } else if (arg.size() > 1 && arg[0] == '-') {
            *error = "unknown option " + arg;
            return false;
        } else if (o->mode == Options::Mode::kNone) {
            if (arg == "open") {
                o->mode = Options::Mode::kOpen;
            } else if (arg == "run" || arg == "check") {
                o->mode = arg == "run" ? Options::Mode::kRun : Options::Mode::kCheck;
                if (i + 1 >= argc) {
                    *error = arg + " needs a script file";
                    return false;
                }
                o->script = argv[++i];
            } else if (arg == "recognize") {
                o->mode = Options::Mode::kRecognize;
            } else {
                *error = "unknown mode " + arg;
                return false;
            }
        } else if (o->mode == Options::Mode::kRecognize && o->wav_file.empty()) {
            o->wav_file = arg;
        } else {
            *error = "unexpected argument " + arg;
            return false;
        }
    }
    if (o->mode == Options::Mode::kRecognize && o->wav_file.empty()) {
        *error = "recognize needs a WAV file";
        return false;
    }
    if (o->mode == Options::Mode::kNone && !o->help && !o->version) {
        *error = "no mode given";
        return false;
    }
    return true;
}

// Removes "." and "dir/.." segments so that the paths the host logs read plainly.
std::string NormalizePath(const std::string &path) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        std::string part = path.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty() && parts.back() != "..")
                parts.pop_back();
            else if (path[0] != '/')
                parts.push_back(part);
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::string out = path.empty() || path[0] != '/' ? "" : "/";
    for (size_t i = 0; i < parts.size(); ++i) out += (i ? "/" : "") + parts[i];
    return out.empty() ? "." : out;
}

std::string ExecutableDir() {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n <= 0) return "";
    path[n] = '\0';
    std::string p(path);
    size_t slash = p.rfind('/');
    return slash == std::string::npos ? "" : p.substr(0, slash);
}

std::string DefaultPluginPath() {
    return NormalizePath(ExecutableDir() + "/" VANTOR_DEFAULT_PLUGIN_RELPATH);
}
std::string DefaultRootDir() {
    return NormalizePath(ExecutableDir() + "/" VANTOR_DEFAULT_ROOT_RELPATH);
}
std::string SourceConfDir() { return VANTOR_SOURCE_CONF_DIR; }
const char *HostVersion() { return VANTOR_HOST_VERSION; }

}  // namespace vantor
