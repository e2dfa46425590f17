#include "KoralTest/SpeechServiceProcess.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <thread>

#include "KoralTest/Process.h"
#include "KoralTest/TestPaths.h"

namespace KoralTest {

namespace {

using Clock = std::chrono::steady_clock;

// Starts the program with stdin on /dev/null, stdout and stderr in files.
pid_t Spawn(const std::vector<std::string> &args, const std::string &outFile,
            const std::string &errFile) {
    pid_t parent = ::getpid();
    pid_t pid = ::fork();
    if (pid == 0) {
        // A test that dies must not leave its service behind.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(127);
        int devnull = ::open("/dev/null", O_RDONLY);
        int out = ::open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (devnull >= 0) ::dup2(devnull, 0);
        if (out >= 0) ::dup2(out, 1);
        if (err >= 0) ::dup2(err, 2);
        CloseInheritedDescriptors();
        ExecProgram(args);
    }
    return pid;
}

// Waits for the first whole line of `file`; false (with what is there) when
// the child ends or the deadline passes first. The child is not reaped.
bool FirstLine(pid_t pid, const std::string &file, Clock::time_point deadline, std::string &line) {
    for (;; std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
        ReadTextFile(file, line);
        size_t end = line.find('\n');
        if (end != std::string::npos) return line.resize(end), true;
        siginfo_t info{};
        if (Clock::now() >= deadline ||
            (::waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid))
            return false;
    }
}

// Waits for the child; -2 when still running at the deadline.
int WaitExit(pid_t pid, Clock::time_point deadline) {
    while (true) {
        int status = 0;
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            if (WIFEXITED(status)) return WEXITSTATUS(status);
            if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
            return -1;
        }
        if (r < 0 && errno != EINTR) return -1;
        if (Clock::now() >= deadline) return -2;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace

std::unique_ptr<SpeechServiceProcess> SpeechServiceProcess::Start(
    const SpeechServiceOptions &options, std::string *error) {
    std::unique_ptr<SpeechServiceProcess> p(new SpeechServiceProcess());
    p->m_Options = options;
    auto fail = [&](const std::string &what) -> std::unique_ptr<SpeechServiceProcess> {
        if (error != nullptr) *error = what;
        return nullptr;
    };
    if (p->m_Dir.Path().empty()) return fail("cannot make a temporary folder");
    if (options.m_Tls && (options.m_CertFile.empty() || options.m_KeyFile.empty())) {
        std::string certError;
        p->m_Certs = TestCerts::Make(&certError);
        if (!p->m_Certs) return fail("cannot make test certificates: " + certError);
        p->m_Options.m_CertFile = p->m_Certs->CertFile();
        p->m_Options.m_KeyFile = p->m_Certs->KeyFile();
        p->m_Options.m_CaFile = p->m_Certs->CaFile();
    }
    const SpeechServiceOptions &opts = p->m_Options;

    std::vector<std::string> args = {
        SpeechServicePath(), "--listen",           "127.0.0.1:0",         "--engine",
        opts.m_Engine,       "--subscription-key", opts.m_SubscriptionKey};
    if (opts.m_Tls) {
        args.insert(args.end(), {"--cert", opts.m_CertFile, "--key", opts.m_KeyFile});
    } else {
        args.push_back("--plain");
    }
    if (!options.m_Scenario.empty()) {
        std::string file = p->m_Dir.File("scenario.json");
        if (!WriteTextFile(file, options.m_Scenario)) return fail("cannot write " + file);
        args.insert(args.end(), {"--script", file});
    }
    if (options.m_EventLog) args.insert(args.end(), {"--event-log", p->EventLogPath()});
    if (options.m_WriteKeyFile) args.insert(args.end(), {"--write-key-file", p->KeyFilePath()});
    args.insert(args.end(), options.m_ExtraArgs.begin(), options.m_ExtraArgs.end());

    p->m_Pid = Spawn(args, p->m_Dir.File("stdout"), p->m_Dir.File("stderr"));
    if (p->m_Pid < 0)
        return fail(std::string("cannot start the speech service: ") + std::strerror(errno));
    std::string line;
    bool ready =
        FirstLine(p->m_Pid, p->m_Dir.File("stdout"),
                  Clock::now() + std::chrono::milliseconds(options.m_StartTimeoutMs), line);
    const std::string prefix = "speech-service ready on 127.0.0.1:";
    if (!ready || line.compare(0, prefix.size(), prefix) != 0) {
        p->Stop();
        return fail("the speech service did not start: " +
                    (line.empty() ? p->Stderr() : line + "\n" + p->Stderr()));
    }
    p->m_Port = static_cast<uint16_t>(std::stoi(line.substr(prefix.size())));
    return p;
}

SpeechServiceProcess::~SpeechServiceProcess() { Stop(); }

std::string SpeechServiceProcess::EventLogPath() const {
    return m_Options.m_EventLog ? m_Dir.File("events.jsonl") : std::string();
}

std::string SpeechServiceProcess::KeyFilePath() const {
    return m_Options.m_WriteKeyFile ? m_Dir.File("subscription-key.json") : std::string();
}

std::string SpeechServiceProcess::TokenUrl() const {
    return std::string(Tls() ? "https" : "http") + "://127.0.0.1:" + std::to_string(m_Port) +
           "/sts/v1.0/issueToken";
}

std::string SpeechServiceProcess::ServiceUrl() const {
    return std::string(Tls() ? "https" : "http") + "://127.0.0.1:" + std::to_string(m_Port) +
           "/speech/recognition/interactive/cognitiveservices/v1";
}

std::string SpeechServiceProcess::Stderr() const {
    std::string text;
    ReadTextFile(m_Dir.File("stderr"), text);
    return text;
}

void SpeechServiceProcess::Signal(int signal) {
    if (m_Pid > 0 && !m_Stopped) ::kill(m_Pid, signal);
}

int SpeechServiceProcess::Stop() {
    if (m_Stopped || m_Pid <= 0) return m_ExitStatus;
    m_Stopped = true;
    ::kill(m_Pid, SIGTERM);
    m_ExitStatus = WaitExit(m_Pid, Clock::now() + std::chrono::seconds(10));
    if (m_ExitStatus == -2) {
        ::kill(m_Pid, SIGKILL);
        WaitExit(m_Pid, Clock::now() + std::chrono::seconds(10));
        m_ExitStatus = -1;
    }
    return m_ExitStatus;
}

int RunSpeechService(const std::vector<std::string> &args, std::string *out, std::string *err,
                     int timeoutMs) {
    std::vector<std::string> all = {SpeechServicePath()};
    all.insert(all.end(), args.begin(), args.end());
    ProgramRun run = RunCapturing(all, {}, timeoutMs);
    if (out != nullptr) *out = run.m_Out;
    if (err != nullptr) *err = run.m_Err;
    return run.m_TimedOut ? -1 : run.m_Status;
}

}  // namespace KoralTest
