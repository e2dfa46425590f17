// Checked access to the members of a scenario's JSON objects: wrong types,
// out-of-range values and unknown members are errors naming where they are.
#pragma once

#include <rapidjson/document.h>

#include <initializer_list>
#include <string>
#include <string_view>

namespace SpeechService {

class JsonFields {
  public:
    JsonFields(const rapidjson::Value &object, std::string where, std::string &error)
        : m_Object(object), m_Where(std::move(where)), m_Error(error) {}

    // Each returns false (with the error set) when the member is present and
    // unusable; an absent member leaves `out` unchanged.
    bool Int(const char *name, int &out, int min, int max);
    bool Number(const char *name, double &out, double min, double max);
    bool String(const char *name, std::string &out);
    bool Bool(const char *name, bool &out);
    // Fails on members not in `allowed`.
    bool Only(std::initializer_list<const char *> allowed);
    bool Has(const char *name) const { return m_Object.HasMember(name); }
    const rapidjson::Value &Get(const char *name) const { return m_Object[name]; }
    bool Fail(const std::string &what);
    const std::string &Where() const { return m_Where; }

  private:
    const rapidjson::Value &m_Object;
    std::string m_Where;
    std::string &m_Error;
};

// Compact JSON text of a value.
std::string JsonText(const rapidjson::Value &value);

// Parses `text` into `doc` without recursion, refusing values nested deeper
// than `maxDepth` (the rest of the service walks documents recursively).
// False with `error` naming the line of the fault.
bool ParseJson(std::string_view text, size_t maxDepth, rapidjson::Document &doc,
               std::string &error);

}  // namespace SpeechService
