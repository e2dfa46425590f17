// Records the host log lines written while a test runs.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "apt_log.h"

namespace KORAL {
namespace test {

struct LogLine {
    std::string source;
    int priority;
    std::string message;
};

// Records every host log line while it exists (one capture at a time: the
// host's hook is a plain function).
class LogCapture {
  public:
    LogCapture() {
        Instance() = this;
        apt_log_ext_handler_set(&LogCapture::Handler);
    }
    ~LogCapture() {
        apt_log_ext_handler_set(nullptr);
        Instance() = nullptr;
    }
    std::vector<LogLine> Lines() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.clear();
    }
    bool Has(const std::string &message, int priority) {
        for (const LogLine &line : Lines())
            if (line.message == message && line.priority == priority) return true;
        return false;
    }
    // The source a message was written with, or "" when it was not written.
    std::string SourceOf(const std::string &message) {
        for (const LogLine &line : Lines())
            if (line.message == message) return line.source;
        return "";
    }
    size_t Count(int priority) {
        size_t n = 0;
        for (const LogLine &line : Lines()) n += line.priority == priority;
        return n;
    }

  private:
    static LogCapture *&Instance() {
        static LogCapture *instance = nullptr;
        return instance;
    }
    static void Handler(const char *source, const char *, int, apt_log_priority_e priority,
                        const char *message) {
        LogCapture *self = Instance();
        if (!self) return;
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->lines_.push_back({source ? source : "", priority, message});
    }
    std::mutex mutex_;
    std::vector<LogLine> lines_;
};

}  // namespace test
}  // namespace KORAL
