// speech-service: a local stand-in for the cloud speech service (token
// endpoint and recognition WebSocket), with offline recognition or scripts.

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "Options.h"
#include "Server.h"

int main(int argc, char **argv) {
    // A peer that vanishes mid-write must cost an error code, not the process.
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> args(argv + 1, argv + argc);
    SpeechService::Options options;
    std::string error;
    if (!SpeechService::ParseOptions(args, options, error)) {
        std::fprintf(stderr, "speech-service: %s\n(speech-service --help lists the options)\n",
                     error.c_str());
        return 2;
    }
    if (options.m_Help) {
        std::fputs(SpeechService::UsageText(), stdout);
        return 0;
    }
    try {
        SpeechService::Server server(options);
        if (!server.Prepare(error)) {
            std::fprintf(stderr, "speech-service: %s\n", error.c_str());
            return 1;
        }
        std::printf("%s\n", server.ReadyLine().c_str());
        std::fflush(stdout);
        return server.Run();
    } catch (const std::exception &e) {
        // Asio reports resource exhaustion (threads, descriptors) by exception.
        std::fprintf(stderr, "speech-service: %s\n", e.what());
        return 1;
    }
}
