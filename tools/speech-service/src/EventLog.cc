#include "EventLog.h"

#include <sys/time.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace SpeechService {

namespace {

std::string LocalTime() {
    struct timeval tv;
    ::gettimeofday(&tv, nullptr);
    struct tm tm;
    time_t seconds = tv.tv_sec;
    ::localtime_r(&seconds, &tm);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06ld", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<long>(tv.tv_usec));
    return text;
}

}  // namespace

EventLog::~EventLog() {
    if (m_File != nullptr) std::fclose(m_File);
}

bool EventLog::Open(const std::string &path, std::string &error) {
    std::FILE *file = std::fopen(path.c_str(), "w");
    if (file == nullptr) {
        error = "cannot write the event log " + path + ": " + std::strerror(errno);
        return false;
    }
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (m_File != nullptr) std::fclose(m_File);
    m_File = file;
    return true;
}

void EventLog::Str(Writer &w, const char *key, std::string_view value) {
    w.Key(key);
    w.String(value.data(), static_cast<rapidjson::SizeType>(value.size()));
}

void EventLog::Record(const char *event, uint64_t connection, const Fields &fields) {
    if (m_File == nullptr) return;
    rapidjson::StringBuffer sb;
    Writer w(sb);
    w.StartObject();
    Str(w, "time", LocalTime());
    Str(w, "event", event);
    w.Key("connection");
    w.Uint64(connection);
    if (fields) fields(w);
    w.EndObject();
    std::lock_guard<std::mutex> lock(m_Mutex);
    // One write per line, flushed, so that a reader never sees half a line
    // and tests can read the log while the service runs.
    std::fprintf(m_File, "%s\n", sb.GetString());
    std::fflush(m_File);
}

}  // namespace SpeechService
