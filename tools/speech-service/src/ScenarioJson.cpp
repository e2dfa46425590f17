#include "ScenarioJson.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstring>

namespace SpeechService {

bool JsonFields::Fail(const std::string& what) {
  m_Error = m_Where + ": " + what;
  return false;
}

bool JsonFields::Int(const char* name, int& out, int min, int max) {
  if (!m_Object.HasMember(name)) return true;
  const rapidjson::Value& v = m_Object[name];
  if (!v.IsInt64() || v.GetInt64() < min || v.GetInt64() > max) {
    return Fail(std::string("\"") + name + "\" must be an integer from " + std::to_string(min) + " to " +
                std::to_string(max));
  }
  out = static_cast<int>(v.GetInt64());
  return true;
}

bool JsonFields::Number(const char* name, double& out, double min, double max) {
  if (!m_Object.HasMember(name)) return true;
  const rapidjson::Value& v = m_Object[name];
  if (!v.IsNumber() || v.GetDouble() < min || v.GetDouble() > max) {
    return Fail(std::string("\"") + name + "\" must be a number from " + std::to_string(min) + " to " +
                std::to_string(max));
  }
  out = v.GetDouble();
  return true;
}

bool JsonFields::String(const char* name, std::string& out) {
  if (!m_Object.HasMember(name)) return true;
  const rapidjson::Value& v = m_Object[name];
  if (!v.IsString()) return Fail(std::string("\"") + name + "\" must be a string");
  out.assign(v.GetString(), v.GetStringLength());
  return true;
}

bool JsonFields::Bool(const char* name, bool& out) {
  if (!m_Object.HasMember(name)) return true;
  const rapidjson::Value& v = m_Object[name];
  if (!v.IsBool()) return Fail(std::string("\"") + name + "\" must be true or false");
  out = v.GetBool();
  return true;
}

bool JsonFields::Only(std::initializer_list<const char*> allowed) {
  for (auto it = m_Object.MemberBegin(); it != m_Object.MemberEnd(); ++it) {
    bool known = false;
    for (const char* name : allowed) known = known || std::strcmp(name, it->name.GetString()) == 0;
    if (!known) return Fail(std::string("unknown member \"") + it->name.GetString() + "\"");
  }
  return true;
}

std::string JsonText(const rapidjson::Value& value) {
  rapidjson::StringBuffer sb;
  rapidjson::Writer<rapidjson::StringBuffer> w(sb);
  value.Accept(w);
  return sb.GetString();
}

}  // namespace SpeechService
