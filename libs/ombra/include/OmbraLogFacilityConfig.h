// Levels configured per facility-name prefix, kept as a character tree; a
// lookup yields the longest configured prefix of a name.
#pragma once

#include <map>
#include <string>

#include "OmbraLogFacility.h"

namespace Ombra {

class LogFacilityConfig {
  public:
    // The root holds no character.
    explicit LogFacilityConfig(LogLevel level, char character = '\0')
        : m_Character(character), m_Level(level) {}
    ~LogFacilityConfig();

    // Sets the level of a prefix, adding the nodes on its path; the nodes
    // added on the way take the level of their parent.
    void SetLevel(const std::string &prefix, LogLevel level);
    // The deepest node reached by walking the name, or this node.
    const LogFacilityConfig *Lookup(const std::string &name) const;

    char GetCharacter() const { return m_Character; }
    LogLevel GetLevel() const { return m_Level; }

  private:
    LogFacilityConfig(const LogFacilityConfig &) = delete;
    LogFacilityConfig &operator=(const LogFacilityConfig &) = delete;

    char m_Character;
    LogLevel m_Level;
    std::map<char, LogFacilityConfig *> m_Children;
};

}  // namespace Ombra
