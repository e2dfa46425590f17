// The local speech service run as a child process for a test: started on a
// free loopback port with the given engine, scenario and arguments; ready
// once it printed its ready line; stopped with SIGTERM (SIGKILL after 10 s)
// on destruction, its temporary files removed.
//
//   KoralTest::SpeechServiceOptions o;
//   o.m_Scenario = R"({"turns":[{"status":"NoMatch"}]})";
//   std::string error;
//   auto service = KoralTest::SpeechServiceProcess::Start(o, &error);
//   ASSERT_TRUE(service) << error;
//   ... point the client at service->KeyFilePath() (or 127.0.0.1:Port()),
//   trust service->CaFile(), check EventLogReader(service->EventLogPath()) ...
//
// Without m_CertFile/m_KeyFile a TLS service gets its own throwaway
// certificates; a suite starting many services should make one TestCerts and
// pass its files (and m_CaFile) to save the time.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "KoralTest/TempDir.h"
#include "KoralTest/TestCerts.h"

namespace KoralTest {

struct SpeechServiceOptions {
    std::string m_Engine = "script";  // or "pocketsphinx"
    std::string m_Scenario;           // scenario JSON, passed with --script when not empty
    bool m_Tls = true;                // needs m_CertFile and m_KeyFile; false: --plain
    std::string m_CertFile;           // empty: made for this service
    std::string m_KeyFile;
    std::string m_CaFile;  // the CA of m_CertFile, for CaFile()
    std::string m_SubscriptionKey = "test-subscription-key";
    bool m_EventLog = true;
    bool m_WriteKeyFile = true;
    std::vector<std::string> m_ExtraArgs;
    int m_StartTimeoutMs = 60000;
};

class SpeechServiceProcess {
  public:
    // Null, with `error` holding the service's own message, when it did not
    // become ready.
    static std::unique_ptr<SpeechServiceProcess> Start(const SpeechServiceOptions &options,
                                                       std::string *error = nullptr);
    ~SpeechServiceProcess();

    uint16_t Port() const { return m_Port; }
    std::string Host() const { return "127.0.0.1"; }
    bool Tls() const { return m_Options.m_Tls; }
    // The CA file to trust (empty for a plain service).
    std::string CaFile() const { return m_Options.m_Tls ? m_Options.m_CaFile : std::string(); }
    pid_t Pid() const { return m_Pid; }
    const std::string &SubscriptionKey() const { return m_Options.m_SubscriptionKey; }
    // Empty when not asked for.
    std::string EventLogPath() const;
    std::string KeyFilePath() const;
    // https://127.0.0.1:PORT/sts/v1.0/issueToken (http with plain).
    std::string TokenUrl() const;
    // https://127.0.0.1:PORT/speech/recognition/interactive/cognitiveservices/v1
    std::string ServiceUrl() const;
    // What the service wrote to stderr so far.
    std::string Stderr() const;

    // SIGTERM and wait; returns the exit status (or 128 + signal), -1 if it
    // had to be killed. Later calls return the first result.
    int Stop();
    // Sends a signal without waiting.
    void Signal(int signal);

  private:
    SpeechServiceProcess() : m_Dir("koral-speech-service") {}

    SpeechServiceOptions m_Options;
    TempDir m_Dir;
    std::unique_ptr<TestCerts> m_Certs;
    pid_t m_Pid = -1;
    uint16_t m_Port = 0;
    bool m_Stopped = false;
    int m_ExitStatus = -1;
};

// Runs the service program with `args` to its end (for --help and start-up
// errors); returns its exit status and what it printed.
int RunSpeechService(const std::vector<std::string> &args, std::string *out, std::string *err,
                     int timeoutMs = 30000);

}  // namespace KoralTest
