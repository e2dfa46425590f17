// Facility logging: levels and their names, named facilities with their own
// threshold, the log record, and the statement entry FacilityLog.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

namespace Ombra {

// Same numbering as the host log priorities; a lower value is more severe.
enum LogLevel : int32_t {
    LOG_LEVEL_EMERGENCY = 0,
    LOG_LEVEL_ALERT = 1,
    LOG_LEVEL_CRITICAL = 2,
    LOG_LEVEL_ERROR = 3,
    LOG_LEVEL_WARNING = 4,
    LOG_LEVEL_NOTICE = 5,
    LOG_LEVEL_INFO = 6,
    LOG_LEVEL_DEBUG = 7
};

// "EMERGENCY" ... "DEBUG"; "" outside 0..7.
const char *GetLogLevelName(LogLevel level);
// Seven characters, blank padded: "EMERG  " ... "DEBUG  "; "" outside 0..7.
const char *GetLogLevelFormattedName(LogLevel level);
// Exact, case-sensitive match against the level names; on no match returns
// false and leaves level unchanged.
bool TranslateLogLevel(const char *text, LogLevel &level);

class LogFacility {
  public:
    LogFacility(const std::string &name, LogLevel level) : m_Name(name), m_Level(level) {}
    // Level from the logger's facility configuration when a logger exists,
    // else INFO.
    explicit LogFacility(const std::string &name);

    const std::string &GetName() const { return m_Name; }
    // The most verbose level let through.
    LogLevel GetLevel() const { return m_Level; }
    void SetLevel(LogLevel level) { m_Level = level; }

  private:
    std::string m_Name;
    LogLevel m_Level;
};

struct LogRecord {
    std::string timestamp;  // local time, "YYYY-MM-DD hh:mm:ss.uuuuuu"
    LogLevel level = LOG_LEVEL_INFO;
    std::string facility;
    int32_t id = 0;
    std::string file;
    int32_t line = 0;
    std::string message;
};

// Source location of a statement, for FacilityLog's file and line.
#define OMBRA_LOG_MARK __FILE__, __LINE__

// Logs through the process's logger when level passes the facility's
// threshold; the record is built on the calling thread. reserved is ignored.
void FacilityLog(const LogFacility &facility, int32_t id, LogLevel level, int32_t reserved,
                 const char *file, int32_t line, const char *format, ...)
    __attribute__((format(printf, 7, 8)));

// Fills every field; timestamp and message are each cut to 1023 characters.
void PopulateLogRecord(LogRecord &record, const LogFacility &facility, int32_t id, LogLevel level,
                       int32_t reserved, const char *file, int32_t line, const char *format,
                       va_list arguments) __attribute__((format(printf, 8, 0)));

}  // namespace Ombra
