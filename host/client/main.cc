// vantor-client: one recognition against an MRCPv2 server over SIP, MRCPv2/TCP
// and RTP, printed as vantor-host recognize prints it.
#include <apr_general.h>

#include <csignal>
#include <cstdio>
#include <string>

#include "apt_log.h"
#include "client_call.h"
#include "client_options.h"

namespace {
constexpr int kExitUsage = 2;
void OnSignal(int) { vantor::InterruptClientCall(); }
}  // namespace

int main(int argc, char **argv) {
    vantor::ClientOptions o;
    std::string error;
    if (!vantor::ParseClientOptions(argc, argv, &o, &error)) {
        fprintf(stderr, "vantor-client: %s\n\n%s", error.c_str(), vantor::ClientUsage().c_str());
        return kExitUsage;
    }
    if (o.help) {
        printf("%s", vantor::ClientUsage().c_str());
        return 0;
    }
    vantor::WavAudio audio;
    if (!vantor::CheckClientAudio(o, &audio, &error)) {
        fprintf(stderr, "vantor-client: %s\n", error.c_str());
        return kExitUsage;
    }
    apr_initialize();
    // The client's own log lines (and sofia-sip's) only matter when they are
    // warnings: the output is the exchange.
    apt_log_priority_set(APT_PRIO_WARNING);
    auto print = [&o](const vantor::MessageRecord &record) {
        const std::string out =
            o.json ? vantor::FormatMessageJson(record) + "\n" : vantor::FormatMessageText(record);
        fwrite(out.data(), 1, out.size(), stdout);
        fflush(stdout);
    };
    // Interrupted, the call still hangs up rather than leave a dialog behind.
    signal(SIGINT, OnSignal);
    signal(SIGTERM, OnSignal);
    const int code = vantor::RunClientCall(o, audio, print);
    apr_terminate();
    return code;
}
