// Command line of vantor-host.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace vantor {

struct Options {
    enum class Mode { kNone, kOpen, kRun, kCheck, kRecognize };

    Mode mode = Mode::kNone;
    std::string script;    // run, check: the script file ("-": standard input)
    std::string plugin;    // empty: the build tree's module
    std::string root;      // empty: the build tree's vantor-root
    std::string conf;      // empty: <root>/conf, else the source tree's conf/
    std::string log_file;  // empty: standard error
    std::string log_priority = "INFO";
    unsigned long max_channels = 100;
    double speed = 1.0;
    long timeout_ms = 10000;
    bool json = false;
    bool help = false;
    bool version = false;
    // recognize: a WAV file against one grammar, with extra RECOGNIZE headers.
    std::string wav_file;
    std::string grammar = "builtin:speech/transcribe";
    std::vector<std::pair<std::string, std::string>> headers;
    int mrcp_version = 2;
    bool exchange = false;  // print every message, not only RECOGNITION-COMPLETE
};

// Parses argv; false with a reason in *error.
bool ParseOptions(int argc, char **argv, Options *options, std::string *error);
std::string Usage();

// path without "." segments and with "dir/.." pairs resolved (lexically).
std::string NormalizePath(const std::string &path);
// Directory of the running executable ("" when unknown).
std::string ExecutableDir();
// Defaults of the build tree, found from the executable's place in it.
std::string DefaultPluginPath();
std::string DefaultRootDir();
std::string SourceConfDir();
const char *HostVersion();

}  // namespace vantor
