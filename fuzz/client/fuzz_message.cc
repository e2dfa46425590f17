// A text message from the speech service: the header block up to the empty
// line, then the body, which for a hypothesis or a phrase is JSON read the
// way a channel reads it. What parses writes out and parses again to the
// same message.
#include <rapidjson/document.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzCommon.h"
#include "KoralRxMessage.h"
#include "KoralRxMessageJson.h"

namespace {

using namespace KORAL;

// The members a channel takes from a hypothesis or a phrase.
void ReadServiceJson(const std::string &body) {
    rapidjson::Document doc;
    if (!ParseServiceJson(body, doc) || !doc.IsObject()) return;
    size_t seen = 0;
    for (const char *name : {"Text", "RecognitionStatus", "DisplayText"}) {
        auto it = doc.FindMember(name);
        if (it != doc.MemberEnd() && it->value.IsString())
            seen += std::string(it->value.GetString(), it->value.GetStringLength()).size();
    }
    auto nbest = doc.FindMember("NBest");
    if (nbest == doc.MemberEnd() || !nbest->value.IsArray()) return;
    for (const rapidjson::Value &entry : nbest->value.GetArray()) {
        if (!entry.IsObject()) continue;
        auto confidence = entry.FindMember("Confidence");
        if (confidence != entry.MemberEnd() && confidence->value.IsDouble())
            seen += confidence->value.GetDouble() > 0.5;
        for (const char *name : {"Lexical", "ITN"}) {
            auto it = entry.FindMember(name);
            if (it != entry.MemberEnd() && it->value.IsString())
                seen += it->value.GetStringLength();
        }
    }
    KORAL_FUZZ_CHECK(seen <= 2 * body.size() + 3);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    WebSocketSrMessage::InitMessageMaps();
    fuzz::RootPool();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    WebSocketSrMessage message(WebSocketSrMessage::SERVICE_ORIGINATED);
    if (!message.Parse(text, nullptr)) return 0;
    KORAL_FUZZ_CHECK(message.m_Method >= 0 &&
                     message.m_Method < WebSocketSrMessage::SERVICE_METHOD_COUNT);
    KORAL_FUZZ_CHECK(message.m_Body.size() <= text.size());
    KORAL_FUZZ_CHECK(
        text.compare(text.size() - message.m_Body.size(), std::string::npos, message.m_Body) == 0);
    ReadServiceJson(message.m_Body);

    std::string again;
    KORAL_FUZZ_CHECK(message.GenerateHeader(again, true));
    again += message.m_Body;
    WebSocketSrMessage reparsed(WebSocketSrMessage::SERVICE_ORIGINATED);
    KORAL_FUZZ_CHECK(reparsed.Parse(again, nullptr));
    KORAL_FUZZ_CHECK(reparsed.m_Method == message.m_Method);
    KORAL_FUZZ_CHECK(reparsed.m_RequestId == message.m_RequestId);
    KORAL_FUZZ_CHECK(reparsed.m_Timestamp == message.m_Timestamp);
    KORAL_FUZZ_CHECK(reparsed.m_ContentType == message.m_ContentType);
    KORAL_FUZZ_CHECK(reparsed.m_Body == message.m_Body);
    return 0;
}
