#include "ReplyFormat.h"

#include <openssl/rand.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cctype>
#include <cmath>
#include <random>

namespace SpeechService {

namespace {

using Writer = rapidjson::Writer<rapidjson::StringBuffer>;

void String(Writer &w, const std::string &s) {
    w.String(s.data(), static_cast<rapidjson::SizeType>(s.size()));
}

// Confidence is always written with a fraction (RapidJSON writes 1.0, 0.0).
double RoundConfidence(double c) {
    if (!(c >= 0.0)) return 0.0;
    if (c > 1.0) return 1.0;
    return std::round(c * 10000.0) / 10000.0;
}

}  // namespace

Alternative MakeAlternative(const std::string &lexical, double confidence) {
    Alternative alt;
    alt.m_Lexical = lexical;
    alt.m_Itn = lexical;
    alt.m_MaskedItn = lexical;
    alt.m_Display = lexical;
    if (!alt.m_Display.empty()) {
        alt.m_Display[0] =
            static_cast<char>(std::toupper(static_cast<unsigned char>(alt.m_Display[0])));
        alt.m_Display += '.';
    }
    alt.m_Confidence = confidence;
    return alt;
}

std::string TurnStartBody(const std::string &serviceTag) {
    rapidjson::StringBuffer sb;
    Writer w(sb);
    w.StartObject();
    w.Key("context");
    w.StartObject();
    w.Key("serviceTag");
    String(w, serviceTag);
    w.EndObject();
    w.EndObject();
    return sb.GetString();
}

std::string OffsetBody(int64_t offset) {
    rapidjson::StringBuffer sb;
    Writer w(sb);
    w.StartObject();
    w.Key("Offset");
    w.Int64(offset);
    w.EndObject();
    return sb.GetString();
}

std::string HypothesisBody(const std::string &text, int64_t offset, int64_t duration) {
    rapidjson::StringBuffer sb;
    Writer w(sb);
    w.StartObject();
    w.Key("Text");
    String(w, text);
    w.Key("Offset");
    w.Int64(offset);
    w.Key("Duration");
    w.Int64(duration);
    w.EndObject();
    return sb.GetString();
}

std::string PhraseBody(const PhraseResult &result, ResultFormat format) {
    bool success = result.m_Status == "Success";
    rapidjson::StringBuffer sb;
    Writer w(sb);
    w.StartObject();
    w.Key("RecognitionStatus");
    String(w, result.m_Status);
    if (format == ResultFormat::Simple && success) {
        w.Key("DisplayText");
        String(w, result.m_NBest.empty() ? std::string() : result.m_NBest.front().m_Display);
    }
    w.Key("Offset");
    w.Int64(result.m_Offset);
    w.Key("Duration");
    w.Int64(result.m_Duration);
    if (format == ResultFormat::Detailed && success) {
        w.Key("NBest");
        w.StartArray();
        for (const Alternative &alt : result.m_NBest) {
            w.StartObject();
            w.Key("Confidence");
            w.Double(RoundConfidence(alt.m_Confidence));
            w.Key("Lexical");
            String(w, alt.m_Lexical);
            w.Key("ITN");
            String(w, alt.m_Itn);
            w.Key("MaskedITN");
            String(w, alt.m_MaskedItn);
            w.Key("Display");
            String(w, alt.m_Display);
            w.EndObject();
        }
        w.EndArray();
    }
    w.EndObject();
    return sb.GetString();
}

std::string RandomHexId() {
    unsigned char bytes[16];
    if (RAND_bytes(bytes, sizeof bytes) != 1) {
        // The id only has to be unique enough for a test service.
        std::random_device rd;
        for (unsigned char &b : bytes) b = static_cast<unsigned char>(rd());
    }
    static const char kHex[] = "0123456789abcdef";
    std::string id;
    for (unsigned char b : bytes) {
        id += kHex[b >> 4];
        id += kHex[b & 15];
    }
    return id;
}

}  // namespace SpeechService
