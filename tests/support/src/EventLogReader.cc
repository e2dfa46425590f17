#include "KoralTest/EventLogReader.h"

#include <thread>

#include "KoralTest/TempDir.h"

namespace KoralTest {

uint64_t ServiceEvent::Connection() const { return static_cast<uint64_t>(Int("connection", 0)); }

bool ServiceEvent::Has(const char *name) const {
    return m_Json && m_Json->IsObject() && m_Json->HasMember(name);
}

std::string ServiceEvent::Str(const char *name) const {
    if (!Has(name) || !(*m_Json)[name].IsString()) return std::string();
    const rapidjson::Value &v = (*m_Json)[name];
    return std::string(v.GetString(), v.GetStringLength());
}

int64_t ServiceEvent::Int(const char *name, int64_t fallback) const {
    if (!Has(name) || !(*m_Json)[name].IsInt64()) return fallback;
    return (*m_Json)[name].GetInt64();
}

bool ServiceEvent::Bool(const char *name, bool fallback) const {
    if (!Has(name) || !(*m_Json)[name].IsBool()) return fallback;
    return (*m_Json)[name].GetBool();
}

std::vector<ServiceEvent> EventLogReader::Read(const std::string &event) const {
    std::vector<ServiceEvent> events;
    std::string text;
    if (!ReadTextFile(m_Path, text)) return events;
    size_t start = 0;
    while (true) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) break;  // a line still being written
        ServiceEvent e;
        e.m_Line = text.substr(start, end - start);
        start = end + 1;
        e.m_Json = std::make_shared<rapidjson::Document>();
        e.m_Json->Parse(e.m_Line.c_str());
        if (e.m_Json->HasParseError() || !e.m_Json->IsObject()) continue;
        if (!event.empty() && e.Event() != event) continue;
        events.push_back(std::move(e));
    }
    return events;
}

bool EventLogReader::WaitFor(const std::function<bool(const std::vector<ServiceEvent> &)> &done,
                             std::chrono::milliseconds timeout) const {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        if (done(Read())) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace KoralTest
