#include "OmbraLogFacilityConfig.h"

namespace Ombra {

LogFacilityConfig::~LogFacilityConfig() {
    for (auto &child : m_Children) delete child.second;
}

void LogFacilityConfig::SetLevel(const std::string &prefix, LogLevel level) {
    LogFacilityConfig *node = this;
    for (char c : prefix) {
        auto it = node->m_Children.find(c);
        if (it == node->m_Children.end())
            it = node->m_Children.emplace(c, new LogFacilityConfig(node->m_Level, c)).first;
        node = it->second;
    }
    node->m_Level = level;
}

const LogFacilityConfig *LogFacilityConfig::Lookup(const std::string &name) const {
    const LogFacilityConfig *node = this;
    for (char c : name) {
        auto it = node->m_Children.find(c);
        if (it == node->m_Children.end()) break;
        node = it->second;
    }
    return node;
}

}  // namespace Ombra
