// Reads the speech service's event log (one JSON object per line) so that a
// test can check what a client sent: for instance every "message" event of
// type "binary" with its "requestId", "wav", "wavRate" and "audioBytes".
// tools/speech-service/README.md lists the events and their members.
#pragma once

#include <rapidjson/document.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace KoralTest {

struct ServiceEvent {
    std::string m_Line;
    std::shared_ptr<rapidjson::Document> m_Json;

    std::string Event() const { return Str("event"); }
    uint64_t Connection() const;
    // A string member, or "" when absent or not a string.
    std::string Str(const char *name) const;
    // An integer member, or `fallback`.
    int64_t Int(const char *name, int64_t fallback = -1) const;
    bool Bool(const char *name, bool fallback = false) const;
    bool Has(const char *name) const;
};

class EventLogReader {
  public:
    explicit EventLogReader(std::string path) : m_Path(std::move(path)) {}

    // Every complete line so far; `event` filters on the "event" member.
    std::vector<ServiceEvent> Read(const std::string &event = std::string()) const;
    // Polls the log until `done` holds for the events read (true), or the
    // timeout passes (false).
    bool WaitFor(const std::function<bool(const std::vector<ServiceEvent> &)> &done,
                 std::chrono::milliseconds timeout = std::chrono::milliseconds(10000)) const;

  private:
    std::string m_Path;
};

}  // namespace KoralTest
