// The event log: one JSON object per line for everything clients send (and
// what the service answers), so that tests can check a client's conformance.
// Each line has "time" (local, microseconds), "event" and "connection"
// (0 for the service itself); README.md lists the events. Thread-safe.
#pragma once

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

namespace SpeechService {

class EventLog {
  public:
    using Writer = rapidjson::Writer<rapidjson::StringBuffer>;
    using Fields = std::function<void(Writer &)>;

    EventLog() = default;
    ~EventLog();
    EventLog(const EventLog &) = delete;
    EventLog &operator=(const EventLog &) = delete;

    // Truncates or creates the file.
    bool Open(const std::string &path, std::string &error);
    bool Enabled() const { return m_File != nullptr; }

    // Writes one line; `fields` adds the event's members.
    void Record(const char *event, uint64_t connection, const Fields &fields = Fields());

    static void Str(Writer &w, const char *key, std::string_view value);

  private:
    std::mutex m_Mutex;
    std::FILE *m_File = nullptr;
};

}  // namespace SpeechService
