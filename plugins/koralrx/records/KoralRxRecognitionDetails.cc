#include "KoralRxRecognitionDetails.h"

#include <rapidjson/encodedstream.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <locale>
#include <sstream>

#include "KoralRxLog.h"
#include "OmbraFileManager.h"
#include "mrcp_recog_header.h"

namespace KORAL {

namespace {

const char *const kIndent = "   ";  // one level of the record's layout

// Length of the well-formed UTF-8 sequence at text[i], or 0 if none starts there.
size_t Utf8SequenceLength(const std::string &text, size_t i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    size_t length;
    unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
    if (c < 0x80) return 1;
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        if (c == 0xE0) low = 0xA0;   // no overlong forms
        if (c == 0xED) high = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        if (c == 0xF0) low = 0x90;   // no overlong forms
        if (c == 0xF4) high = 0x8F;  // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (i + length > text.size()) return 0;
    for (size_t k = 1; k < length; ++k) {
        const unsigned char b = static_cast<unsigned char>(text[i + k]);
        if (k == 1 ? (b < low || b > high) : (b < 0x80 || b > 0xBF)) return 0;
    }
    return length;
}

// `text` as a JSON string with its quotes: quotation mark, backslash and
// control characters escaped, bytes that are not UTF-8 written as U+FFFD.
std::string JsonString(const std::string &text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const size_t length = Utf8SequenceLength(text, i);
        if (length == 0) {
            out += "\\ufffd";
            ++i;
            continue;
        }
        if (length > 1) {
            out.append(text, i, length);
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20) {
            char escape[8];
            snprintf(escape, sizeof(escape), "\\u%04x", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
        i += length;
    }
    out += '"';
    return out;
}

// Whether `text` is exactly one JSON value in UTF-8. Iterative parsing: a
// hostile nesting depth cannot exhaust the stack.
bool IsJsonValue(const std::string &text) {
    // The parser takes a NUL for the end of its input.
    // NOLINTNEXTLINE(bugprone-not-null-terminated-result): a search, not a copy
    if (text.empty() || memchr(text.data(), '\0', text.size())) return false;
    rapidjson::MemoryStream memory(text.data(), text.size());
    rapidjson::EncodedInputStream<rapidjson::UTF8<>, rapidjson::MemoryStream> input(memory);
    rapidjson::BaseReaderHandler<> handler;
    rapidjson::Reader reader;
    return !reader
                .Parse<rapidjson::kParseIterativeFlag | rapidjson::kParseValidateEncodingFlag>(
                    input, handler)
                .IsError();
}

// "VALUE UNIT" of a whole number.
std::string Quantity(uint64_t value, const char *unit) {
    return JsonString(std::to_string(value) + " " + unit);
}

// A confidence with the stream's default formatting ("0.93", "1"), whatever
// the process's locale; a value JSON has no number for is written as 0.
std::string Confidence(float value) {
    if (!std::isfinite(value)) value = 0.0f;
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out << value;
    return out.str();
}

// "name": value
std::string Member(const char *name, const std::string &value) {
    return std::string("\"") + name + "\": " + value;
}

// The members, each on its own line(s) at `indent`, separated by commas.
std::string JoinMembers(const std::vector<std::string> &members, const std::string &indent) {
    std::string out;
    for (size_t i = 0; i < members.size(); ++i) {
        out += indent + members[i];
        if (i + 1 < members.size()) out += ',';
        out += '\n';
    }
    return out;
}

}  // namespace

bool RecognitionDetails::GetTimestampStr(apr_time_t time, std::string &text) {
    if (time == 0) return true;
    apr_time_exp_t t;
    if (apr_time_exp_lt(&t, time) != APR_SUCCESS) return true;
    char buffer[64];
    snprintf(buffer, sizeof(buffer), "%4d-%02d-%02d %02d:%02d:%02d", t.tm_year + 1900, t.tm_mon + 1,
             t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    text = buffer;
    return true;
}

const char *RecognitionDetails::GetInputTypeStr(mpf_sdi_mode_e type) {
    switch (type) {
        case MPF_SDI_MODE_SPEECH:
            return "speech";
        case MPF_SDI_MODE_DTMF:
            return "dtmf";
        default:
            return nullptr;
    }
}

std::string RecognitionDetails::Compose() const {
    auto valid = [this](apr_time_t time) { return time != 0 && time >= start_ts; };
    auto offset = [this](apr_time_t time) {
        return Quantity(time >= start_ts ? static_cast<uint64_t>(time - start_ts) / 1000 : 0, "ms");
    };

    std::vector<std::string> record;
    std::string datetime;
    GetTimestampStr(start_ts, datetime);
    record.push_back(Member("datetime", JsonString(datetime)));
    record.push_back(Member("language", JsonString(language)));
    record.push_back(Member("sampling-rate", Quantity(sampling_rate, "Hz")));
    record.push_back(Member("max-alternatives", std::to_string(max_alternatives)));

    if (input_type != MPF_SDI_MODE_NONE) {
        std::vector<std::string> input;
        const char *type = GetInputTypeStr(input_type);
        input.push_back(Member("type", JsonString(type ? type : "")));
        if (valid(start_of_input_ts))
            input.push_back(Member("start-of-input-ts", offset(start_of_input_ts)));
        if (valid(end_of_input_ts))
            input.push_back(Member("end-of-input-ts", offset(end_of_input_ts)));
        input.push_back(Member("end-of-input-cause", JsonString(mpf_sdi_completion_cause_str(
                                                         input_stats.completion_cause))));
        if (input_type == MPF_SDI_MODE_SPEECH) {
            input.push_back(Member("duration", Quantity(input_stats.duration, "ms")));
            input.push_back(Member("size", Quantity(input_stats.size, "bytes")));
        }
        record.push_back(Member(
            "input", "{\n" + JoinMembers(input, std::string(kIndent) + kIndent) + kIndent + "}"));
    }

    if (valid(speech_start_ts)) {
        std::vector<std::string> websocket;
        if (valid(connection_start_ts))
            websocket.push_back(Member("connection-start-ts", offset(connection_start_ts)));
        if (valid(connection_complete_ts))
            websocket.push_back(Member("connection-complete-ts", offset(connection_complete_ts)));
        websocket.push_back(Member("speech-start-ts", offset(speech_start_ts)));
        if (valid(speech_end_ts))
            websocket.push_back(Member("speech-end-ts", offset(speech_end_ts)));
        websocket.push_back(Member("sent", Quantity(sent, "bytes")));
        websocket.push_back(Member("turns", JsonString(std::to_string(turns))));
        record.push_back(
            Member("websocket",
                   "{\n" + JoinMembers(websocket, std::string(kIndent) + kIndent) + kIndent + "}"));
    }

    if (!transcripts.empty()) {
        std::vector<std::string> entries;
        for (const RecogAlternative &alternative : transcripts) {
            entries.push_back("{" + Member("transcript", JsonString(alternative.lexical)) + ", " +
                              Member("confidence", Confidence(alternative.confidence)) + "}");
        }
        record.push_back(
            Member("transcripts",
                   "[\n" + JoinMembers(entries, std::string(kIndent) + kIndent) + kIndent + "]"));
    } else if (!raw_transcripts.empty()) {
        // The service's own result as it came, when it is JSON at all.
        record.push_back(Member("transcripts", IsJsonValue(raw_transcripts)
                                                   ? raw_transcripts
                                                   : JsonString(raw_transcripts)));
    }

    const apt_str_t *cause = mrcp_recog_completion_cause_get(
        static_cast<mrcp_recog_completion_cause_e>(completion_cause),
        static_cast<mrcp_version_e>(version));
    record.push_back(Member("completion-cause", JsonString(cause ? cause->buf : "")));
    record.push_back(Member("completion-ts", offset(completion_ts)));

    return "{\"recog-details-record\": {\n" + JoinMembers(record, kIndent) + "}}\n";
}

bool RecognitionDetails::Save(const std::string &path) const {
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Save RDR %s", path.c_str());
    FILE *file = path.empty() ? nullptr : fopen(path.c_str(), "w");
    if (!file) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Open RDR File %s",
                path.c_str());
        return false;
    }
    const std::string text = Compose();
    bool written = fwrite(text.data(), 1, text.size(), file) == text.size();
    written = (fclose(file) == 0) && written;
    if (!written) {
        // Half a record is no JSON document: better none.
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Write RDR File %s",
                path.c_str());
        Ombra::RemoveFile(path);
        return false;
    }
    return true;
}

}  // namespace KORAL
