#include "KoralRxMessageJson.h"

#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "KoralRxMessage.h"

namespace KORAL {

namespace {

std::string ComposeSpeechConfig() {
    rapidjson::StringBuffer sb;
    rapidjson::Writer<rapidjson::StringBuffer> w(sb);
    w.StartObject();
    w.Key("context");
    w.StartObject();
    w.Key("system");
    w.StartObject();
    w.Key("version");
    w.String("2.0.12341");
    w.EndObject();
    w.EndObject();
    w.Key("device");
    w.StartObject();
    w.Key("manufacturer");
    w.String("Lumetra");
    w.Key("model");
    w.String("koralrx");
    w.Key("version");
    w.String(KORALRX_VERSION);
    w.EndObject();
    w.EndObject();
    return std::string(sb.GetString(), sb.GetSize());
}

}  // namespace

const std::string &SpeechConfigBody() {
    static const std::string body = ComposeSpeechConfig();
    return body;
}

bool ParseServiceJson(const std::string &body, rapidjson::Document &doc) {
    doc.Parse<rapidjson::kParseIterativeFlag>(body.data(), body.size());
    return !doc.HasParseError();
}

std::string ComposeTelemetryBody(const ReceivedMessages &messages) {
    rapidjson::StringBuffer sb;
    rapidjson::PrettyWriter<rapidjson::StringBuffer> w(sb);
    w.SetIndent(' ', 2);
    w.SetFormatOptions(rapidjson::kFormatSingleLineArray);
    std::string stamp;
    w.StartObject();
    w.Key("ReceivedMessages");
    w.StartArray();
    for (const auto &entry : messages) {
        const std::string &path = WebSocketSrMessage::GetMethodTypeStr(
            WebSocketSrMessage::SERVICE_ORIGINATED, entry.first);
        w.StartObject();
        w.Key(path.c_str(), static_cast<rapidjson::SizeType>(path.size()));
        if (entry.second.size() == 1) {
            WebSocketSrMessage::GenerateXTimestamp(entry.second.front(), stamp);
            w.String(stamp.c_str(), static_cast<rapidjson::SizeType>(stamp.size()));
        } else {
            w.StartArray();
            for (int64_t t : entry.second) {
                WebSocketSrMessage::GenerateXTimestamp(t, stamp);
                w.String(stamp.c_str(), static_cast<rapidjson::SizeType>(stamp.size()));
            }
            w.EndArray();
        }
        w.EndObject();
    }
    w.EndArray();
    w.EndObject();
    return std::string(sb.GetString(), sb.GetSize());
}

}  // namespace KORAL
