#include "ScenarioJson.h"

#include <rapidjson/encodedstream.h>
#include <rapidjson/error/en.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstring>

namespace SpeechService {

namespace {

// Hands a reader's events on to a document, stopping the parse when values
// nest deeper than the limit.
class DepthLimit {
  public:
    DepthLimit(rapidjson::Document &doc, size_t maxDepth) : m_Doc(doc), m_MaxDepth(maxDepth) {}

    bool Null() { return m_Doc.Null(); }
    bool Bool(bool b) { return m_Doc.Bool(b); }
    bool Int(int i) { return m_Doc.Int(i); }
    bool Uint(unsigned u) { return m_Doc.Uint(u); }
    bool Int64(int64_t i) { return m_Doc.Int64(i); }
    bool Uint64(uint64_t u) { return m_Doc.Uint64(u); }
    bool Double(double d) { return m_Doc.Double(d); }
    bool RawNumber(const char *s, rapidjson::SizeType n, bool copy) {
        return m_Doc.RawNumber(s, n, copy);
    }
    bool String(const char *s, rapidjson::SizeType n, bool copy) {
        return m_Doc.String(s, n, copy);
    }
    bool Key(const char *s, rapidjson::SizeType n, bool copy) { return m_Doc.Key(s, n, copy); }
    bool StartObject() { return Enter() && m_Doc.StartObject(); }
    bool EndObject(rapidjson::SizeType n) { return Leave() && m_Doc.EndObject(n); }
    bool StartArray() { return Enter() && m_Doc.StartArray(); }
    bool EndArray(rapidjson::SizeType n) { return Leave() && m_Doc.EndArray(n); }
    bool TooDeep() const { return m_TooDeep; }

  private:
    bool Enter() {
        m_TooDeep = ++m_Depth > m_MaxDepth;
        return !m_TooDeep;
    }
    bool Leave() {
        --m_Depth;
        return true;
    }

    rapidjson::Document &m_Doc;
    size_t m_MaxDepth;
    size_t m_Depth = 0;
    bool m_TooDeep = false;
};

}  // namespace

bool ParseJson(std::string_view text, size_t maxDepth, rapidjson::Document &doc,
               std::string &error) {
    rapidjson::ParseResult result;
    bool tooDeep = false;
    auto generate = [&](rapidjson::Document &handler) {
        DepthLimit limit(handler, maxDepth);
        rapidjson::MemoryStream memory(text.data(), text.size());
        rapidjson::EncodedInputStream<rapidjson::UTF8<>, rapidjson::MemoryStream> stream(memory);
        rapidjson::Reader reader;
        result = reader.Parse<rapidjson::kParseIterativeFlag>(stream, limit);
        tooDeep = limit.TooDeep();
        return !result.IsError();
    };
    doc.SetNull();
    doc.Populate(generate);
    if (!result.IsError()) return true;
    // Report the line of the offset, which is what an editor shows.
    size_t line = 1;
    for (size_t i = 0; i < result.Offset() && i < text.size(); ++i) line += text[i] == '\n';
    error = "JSON error at line " + std::to_string(line) + ": " +
            (tooDeep ? "nesting deeper than " + std::to_string(maxDepth) + " levels"
                     : std::string(rapidjson::GetParseError_En(result.Code())));
    return false;
}

bool JsonFields::Fail(const std::string &what) {
    m_Error = m_Where + ": " + what;
    return false;
}

bool JsonFields::Int(const char *name, int &out, int min, int max) {
    if (!m_Object.HasMember(name)) return true;
    const rapidjson::Value &v = m_Object[name];
    if (!v.IsInt64() || v.GetInt64() < min || v.GetInt64() > max) {
        return Fail(std::string("\"") + name + "\" must be an integer from " + std::to_string(min) +
                    " to " + std::to_string(max));
    }
    out = static_cast<int>(v.GetInt64());
    return true;
}

bool JsonFields::Number(const char *name, double &out, double min, double max) {
    if (!m_Object.HasMember(name)) return true;
    const rapidjson::Value &v = m_Object[name];
    if (!v.IsNumber() || v.GetDouble() < min || v.GetDouble() > max) {
        return Fail(std::string("\"") + name + "\" must be a number from " + std::to_string(min) +
                    " to " + std::to_string(max));
    }
    out = v.GetDouble();
    return true;
}

bool JsonFields::String(const char *name, std::string &out) {
    if (!m_Object.HasMember(name)) return true;
    const rapidjson::Value &v = m_Object[name];
    if (!v.IsString()) return Fail(std::string("\"") + name + "\" must be a string");
    out.assign(v.GetString(), v.GetStringLength());
    return true;
}

bool JsonFields::Bool(const char *name, bool &out) {
    if (!m_Object.HasMember(name)) return true;
    const rapidjson::Value &v = m_Object[name];
    if (!v.IsBool()) return Fail(std::string("\"") + name + "\" must be true or false");
    out = v.GetBool();
    return true;
}

bool JsonFields::Only(std::initializer_list<const char *> allowed) {
    for (auto it = m_Object.MemberBegin(); it != m_Object.MemberEnd(); ++it) {
        bool known = false;
        for (const char *name : allowed)
            known = known || std::strcmp(name, it->name.GetString()) == 0;
        if (!known) return Fail(std::string("unknown member \"") + it->name.GetString() + "\"");
    }
    return true;
}

std::string JsonText(const rapidjson::Value &value) {
    rapidjson::StringBuffer sb;
    rapidjson::Writer<rapidjson::StringBuffer> w(sb);
    value.Accept(w);
    return sb.GetString();
}

}  // namespace SpeechService
