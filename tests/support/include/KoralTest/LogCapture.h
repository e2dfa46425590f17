// Records the host log lines written while a test runs: every line reaches
// the capture whatever the log threshold (which is raised to WARNING while
// it lives, to keep test output short).
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "apt_log.h"

namespace KoralTest {

struct LogLine {
    std::string source;
    std::string file;
    int priority;
    std::string message;
};

// One capture at a time: the host's hook is a plain function.
class LogCapture {
  public:
    LogCapture() : previous_(apt_log_priority_get()) {
        {
            std::lock_guard<std::mutex> lock(Mutex());
            Instance() = this;
        }
        apt_log_priority_set(APT_PRIO_WARNING);
        apt_log_ext_handler_set(&LogCapture::Handler);
    }
    ~LogCapture() {
        apt_log_ext_handler_set(nullptr);
        apt_log_priority_set(previous_);
        std::lock_guard<std::mutex> lock(Mutex());
        Instance() = nullptr;
    }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    std::vector<LogLine> Lines() const {
        std::lock_guard<std::mutex> lock(Mutex());
        return lines_;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(Mutex());
        lines_.clear();
    }
    // A line that is exactly `message` (at `priority`, unless -1).
    bool Has(const std::string &message, int priority = -1) const {
        for (const LogLine &line : Lines())
            if (line.message == message && (priority < 0 || line.priority == priority)) return true;
        return false;
    }
    // A line that contains `text` (at `priority`, unless -1).
    bool Contains(const std::string &text, int priority = -1) const {
        return IndexOf(text, priority) != std::string::npos;
    }
    // Index of the first line containing `text`, npos when none.
    size_t IndexOf(const std::string &text, int priority = -1) const {
        const std::vector<LogLine> lines = Lines();
        for (size_t i = 0; i < lines.size(); ++i)
            if (lines[i].message.find(text) != std::string::npos &&
                (priority < 0 || lines[i].priority == priority))
                return i;
        return std::string::npos;
    }
    // Lines whose message starts with `prefix`.
    std::vector<LogLine> StartingWith(const std::string &prefix) const {
        std::vector<LogLine> found;
        for (const LogLine &line : Lines())
            if (line.message.compare(0, prefix.size(), prefix) == 0) found.push_back(line);
        return found;
    }
    // Lines containing `text`.
    size_t Count(const std::string &text) const {
        size_t n = 0;
        for (const LogLine &line : Lines()) n += line.message.find(text) != std::string::npos;
        return n;
    }
    // Lines at `priority`.
    size_t CountAt(int priority) const {
        size_t n = 0;
        for (const LogLine &line : Lines()) n += line.priority == priority;
        return n;
    }
    // The source a message was written with, or "" when it was not written.
    std::string SourceOf(const std::string &message) const {
        for (const LogLine &line : Lines())
            if (line.message == message) return line.source;
        return "";
    }
    // Waits until a line containing `text` is written (true) or the timeout
    // passes (false).
    bool WaitFor(const std::string &text, int timeoutMs = 10000) const {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        std::unique_lock<std::mutex> lock(Mutex());
        for (;;) {
            for (const LogLine &line : lines_)
                if (line.message.find(text) != std::string::npos) return true;
            if (cond_.wait_until(lock, deadline) == std::cv_status::timeout) return false;
        }
    }

  private:
    static std::mutex &Mutex() {
        static std::mutex mutex;
        return mutex;
    }
    static LogCapture *&Instance() {
        static LogCapture *instance = nullptr;
        return instance;
    }
    static void Handler(const char *source, const char *file, int, apt_log_priority_e priority,
                        const char *message) {
        std::lock_guard<std::mutex> lock(Mutex());
        LogCapture *self = Instance();
        if (!self) return;
        self->lines_.push_back(
            {source ? source : "", file ? file : "", priority, message ? message : ""});
        self->cond_.notify_all();
    }

    apt_log_priority_e previous_;
    mutable std::condition_variable cond_;
    std::vector<LogLine> lines_;
};

}  // namespace KoralTest
