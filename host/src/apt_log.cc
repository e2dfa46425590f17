// Host log: one process-wide logger writing timestamped lines under a mutex.
#include "apt_log.h"

#include <apr_time.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

struct apt_log_source_t {
    std::string name;
};

struct apt_logger_t {
    apt_log_priority_e priority = APT_PRIO_INFO;
};

namespace {

const char *const kPriorityNames[] = {"EMERGENCY", "ALERT",  "CRITICAL", "ERROR",
                                      "WARNING",   "NOTICE", "INFO",     "DEBUG"};
const char *const kPriorityTags[] = {"EMERG", "ALERT", "CRITC", "ERROR",
                                     "WARN ", "NOTIC", "INFO ", "DEBUG"};

struct LogState {
    std::mutex mutex;
    apt_logger_t *instance = nullptr;
    apt_logger_t own;  // used until a host creates an instance
    FILE *file = nullptr;
    apt_log_ext_handler_f handler = nullptr;
    apt_log_source_t default_source{"HOST"};
    apt_log_source_t *def_source = &default_source;
    std::map<std::string, apt_log_source_t *> sources;

    ~LogState() {
        if (file) fclose(file);
        for (auto &kv : sources) delete kv.second;
    }
    apt_logger_t *logger() { return instance ? instance : &own; }
};

LogState &state() {
    static LogState s;
    return s;
}

}  // namespace

extern "C" {

APT_DECLARE(apt_bool_t)
apt_va_log(const apt_log_source_t *source, const char *file, int line, apt_log_priority_e priority,
           const char *format, va_list args) {
    LogState &s = state();
    if ((int)priority < 0 || priority > APT_PRIO_DEBUG) priority = APT_PRIO_DEBUG;
    {
        // The threshold and the hook may change on another thread: read them under the lock.
        std::lock_guard<std::mutex> lock(s.mutex);
        if (priority > s.logger()->priority && !s.handler) return FALSE;
    }

    char message[4096];
    vsnprintf(message, sizeof(message), format, args);
    if (!source) source = s.def_source;

    apr_time_exp_t t;
    apr_time_exp_lt(&t, apr_time_now());
    const char *base = file ? strrchr(file, '/') : nullptr;
    base = base ? base + 1 : (file ? file : "");

    std::lock_guard<std::mutex> lock(s.mutex);
    if (priority <= s.logger()->priority) {
        FILE *out = s.file ? s.file : stderr;
        fprintf(out, "%04d-%02d-%02d %02d:%02d:%02d:%06d [%s] %s %s:%d %s\n", t.tm_year + 1900,
                t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, t.tm_usec,
                kPriorityTags[priority], source->name.c_str(), base, line, message);
        fflush(out);
    }
    if (s.handler) s.handler(source->name.c_str(), base, line, priority, message);
    return TRUE;
}

APT_DECLARE(apt_bool_t)
apt_log(const apt_log_source_t *source, const char *file, int line, apt_log_priority_e priority,
        const char *format, ...) {
    va_list args;
    va_start(args, format);
    apt_bool_t rv = apt_va_log(source, file, line, priority, format, args);
    va_end(args);
    return rv;
}

APT_DECLARE(apt_log_source_t *) apt_def_log_source_get(void) {
    LogState &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.def_source;
}

APT_DECLARE(apt_bool_t) apt_def_log_source_set(apt_log_source_t *source) {
    LogState &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.def_source = source ? source : &s.default_source;
    return TRUE;
}

APT_DECLARE(apt_bool_t) apt_log_source_assign(const char *name, apt_log_source_t **source) {
    if (!name || !source) return FALSE;
    LogState &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.sources.find(name);
    if (it == s.sources.end()) it = s.sources.emplace(name, new apt_log_source_t{name}).first;
    *source = it->second;
    return TRUE;
}

APT_DECLARE(const char *) apt_log_source_name_get(const apt_log_source_t *source) {
    return source ? source->name.c_str() : apt_def_log_source_get()->name.c_str();
}

APT_DECLARE(apt_logger_t *) apt_log_instance_create(apt_log_priority_e priority, apr_pool_t *pool) {
    apt_logger_t *logger = static_cast<apt_logger_t *>(apr_pcalloc(pool, sizeof(apt_logger_t)));
    logger->priority = priority;
    apt_log_instance_set(logger);
    return logger;
}

APT_DECLARE(apt_bool_t) apt_log_instance_set(apt_logger_t *logger) {
    LogState &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.instance = logger;
    return TRUE;
}

APT_DECLARE(apt_logger_t *) apt_log_instance_get(void) {
    LogState &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.instance;
}

APT_DECLARE(apt_bool_t) apt_log_instance_destroy(void) {
    LogState &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.instance = nullptr;
    if (s.file) {
        fclose(s.file);
        s.file = nullptr;
    }
    return TRUE;
}

APT_DECLARE(apt_bool_t) apt_log_file_open(const char *path) {
    LogState &s = state();
    FILE *f = nullptr;
    if (path) {
        f = fopen(path, "a");
        if (!f) return FALSE;
    }
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.file) fclose(s.file);
    s.file = f;
    return TRUE;
}

APT_DECLARE(apt_bool_t) apt_log_priority_set(apt_log_priority_e priority) {
    LogState &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.logger()->priority = priority;
    return TRUE;
}

APT_DECLARE(apt_log_priority_e) apt_log_priority_get(void) {
    LogState &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.logger()->priority;
}

APT_DECLARE(apt_bool_t) apt_log_ext_handler_set(apt_log_ext_handler_f handler) {
    LogState &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.handler = handler;
    return TRUE;
}

APT_DECLARE(apt_log_priority_e) apt_log_priority_translate(const char *str) {
    if (!str) return APT_PRIO_DEBUG;
    if (str[0] >= '0' && str[0] <= '7' && str[1] == '\0') return (apt_log_priority_e)(str[0] - '0');
    for (int i = 0; i <= APT_PRIO_DEBUG; ++i) {
        if (strcasecmp(str, kPriorityNames[i]) == 0) return (apt_log_priority_e)i;
    }
    return APT_PRIO_DEBUG;
}

}  // extern "C"
