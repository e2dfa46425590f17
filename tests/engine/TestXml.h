// Helpers for configuration tests: XML from text, and captured log lines.
#ifndef KORAL_TESTS_ENGINE_TEST_XML_H
#define KORAL_TESTS_ENGINE_TEST_XML_H

#include <apr_general.h>
#include <apr_xml.h>

#include <mutex>
#include <string>
#include <vector>

#include "apt_log.h"

namespace KORAL {
namespace test {

// An APR pool for one test, with APR initialised around it.
class AprPool {
public:
    AprPool() {
        apr_initialize();
        apr_pool_create(&pool_, nullptr);
    }
    ~AprPool() {
        apr_pool_destroy(pool_);
        apr_terminate();
    }
    apr_pool_t *get() const { return pool_; }

    // The root element of an XML text, or null if it does not parse.
    apr_xml_elem *Parse(const std::string &text) {
        apr_xml_parser *parser = apr_xml_parser_create(pool_);
        apr_xml_doc *doc = nullptr;
        if (apr_xml_parser_feed(parser, text.data(), text.size()) != APR_SUCCESS ||
            apr_xml_parser_done(parser, &doc) != APR_SUCCESS || !doc)
            return nullptr;
        return doc->root;
    }

private:
    apr_pool_t *pool_ = nullptr;
};

struct LogLine {
    std::string source;
    int priority;
    std::string message;
};

// Records every host log line while it exists (one at a time).
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
    // Whether a line with exactly this message and priority was logged.
    bool Has(const std::string &message, int priority) {
        for (const LogLine &line : Lines())
            if (line.message == message && line.priority == priority) return true;
        return false;
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
        self->lines_.push_back({source, priority, message});
    }
    std::mutex mutex_;
    std::vector<LogLine> lines_;
};

}  // namespace test
}  // namespace KORAL

#endif  // KORAL_TESTS_ENGINE_TEST_XML_H
