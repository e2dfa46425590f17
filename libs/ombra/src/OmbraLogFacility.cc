#include "OmbraLogFacility.h"

#include <apr_time.h>

#include <cstdio>
#include <cstring>

#include "OmbraLogger.h"

namespace Ombra {

namespace {

const char *const kLevelNames[] = {"EMERGENCY", "ALERT",  "CRITICAL", "ERROR",
                                   "WARNING",   "NOTICE", "INFO",     "DEBUG"};
const char *const kLevelFormattedNames[] = {"EMERG  ", "ALERT  ", "CRITIC ", "ERROR  ",
                                            "WARN   ", "NOTICE ", "INFO   ", "DEBUG  "};
const int kLevelCount = sizeof(kLevelNames) / sizeof(kLevelNames[0]);
const size_t kTextBufferSize = 1024;

bool IsValidLevel(LogLevel level) { return level >= 0 && level < kLevelCount; }

}  // namespace

const char *GetLogLevelName(LogLevel level) {
    return IsValidLevel(level) ? kLevelNames[level] : "";
}

const char *GetLogLevelFormattedName(LogLevel level) {
    return IsValidLevel(level) ? kLevelFormattedNames[level] : "";
}

bool TranslateLogLevel(const char *text, LogLevel &level) {
    if (!text) return false;
    for (int i = 0; i < kLevelCount; i++) {
        if (strcmp(text, kLevelNames[i]) == 0) {
            level = static_cast<LogLevel>(i);
            return true;
        }
    }
    return false;
}

LogFacility::LogFacility(const std::string &name) : m_Name(name), m_Level(LOG_LEVEL_INFO) {
    m_Level = Logger::GetConfiguredLevel(name);
}

void PopulateLogRecord(LogRecord &record, const LogFacility &facility, int32_t id, LogLevel level,
                       int32_t reserved, const char *file, int32_t line, const char *format,
                       va_list arguments) {
    char buffer[kTextBufferSize];

    apr_time_exp_t now;
    apr_time_exp_lt(&now, apr_time_now());
    snprintf(buffer, sizeof(buffer), "%4d-%02d-%02d %02d:%02d:%02d.%06d", now.tm_year + 1900,
             now.tm_mon + 1, now.tm_mday, now.tm_hour, now.tm_min, now.tm_sec, now.tm_usec);
    record.timestamp = buffer;
    record.level = level;
    record.facility = facility.GetName();
    record.id = id;
    record.file = file ? file : "";
    record.line = line;

    buffer[0] = '\0';
    if (format) vsnprintf(buffer, sizeof(buffer), format, arguments);
    record.message = buffer;
}

void FacilityLog(const LogFacility &facility, int32_t id, LogLevel level, int32_t reserved,
                 const char *file, int32_t line, const char *format, ...) {
    if (level > facility.GetLevel()) return;
    if (!Logger::GetInstance()) return;  // nobody to write it

    LogRecord record;
    va_list arguments;
    va_start(arguments, format);
    PopulateLogRecord(record, facility, id, level, reserved, file, line, format, arguments);
    va_end(arguments);
    Logger::PostToInstance(record);
}

}  // namespace Ombra
