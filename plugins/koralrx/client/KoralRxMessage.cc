#include "KoralRxMessage.h"

#include <strings.h>

#include <cstdio>

namespace KORAL {

std::map<std::string, int32_t> WebSocketSrMessage::m_ServiceMessageMap;
std::map<std::string, int32_t> WebSocketSrMessage::m_ClientMessageMap;
std::vector<std::string> WebSocketSrMessage::m_ServiceMessageArr;
std::vector<std::string> WebSocketSrMessage::m_ClientMessageArr;

namespace {

const char *const kServicePaths[WebSocketSrMessage::SERVICE_METHOD_COUNT] = {"",
                                                                             "speech.startDetected",
                                                                             "speech.hypothesis",
                                                                             "speech.phrase",
                                                                             "speech.endDetected",
                                                                             "turn.start",
                                                                             "turn.end"};

const char *const kClientPaths[WebSocketSrMessage::CLIENT_METHOD_COUNT] = {"", "speech.config",
                                                                           "audio", "telemetry"};

const std::string kUnknown = "unknown";

// One header line [begin, end) without its line break; false when it has no colon.
bool SplitField(const std::string &text, size_t begin, size_t end, std::string &name,
                std::string &value) {
    size_t colon = text.find(':', begin);
    if (colon == std::string::npos || colon >= end || colon == begin) {
        return false;
    }
    name.assign(text, begin, colon - begin);
    size_t v = colon + 1;
    while (v < end && (text[v] == ' ' || text[v] == '\t')) {
        ++v;
    }
    size_t e = end;
    while (e > v && (text[e - 1] == ' ' || text[e - 1] == '\t')) {
        --e;
    }
    value.assign(text, v, e - v);
    return true;
}

}  // namespace

WebSocketSrMessage::WebSocketSrMessage(MessageType type)
    : m_Type(type), m_Method(0), m_ReceiveTime(0) {}

WebSocketSrMessage::~WebSocketSrMessage() {}

void WebSocketSrMessage::InitMessageMaps() {
    m_ServiceMessageArr.assign(kServicePaths, kServicePaths + SERVICE_METHOD_COUNT);
    m_ClientMessageArr.assign(kClientPaths, kClientPaths + CLIENT_METHOD_COUNT);
    m_ServiceMessageMap.clear();
    m_ClientMessageMap.clear();
    for (int32_t i = 1; i < SERVICE_METHOD_COUNT; ++i) {
        m_ServiceMessageMap[kServicePaths[i]] = i;
    }
    for (int32_t i = 1; i < CLIENT_METHOD_COUNT; ++i) {
        m_ClientMessageMap[kClientPaths[i]] = i;
    }
}

void WebSocketSrMessage::DestroyMessageMaps() {
    m_ServiceMessageMap.clear();
    m_ClientMessageMap.clear();
    m_ServiceMessageArr.clear();
    m_ClientMessageArr.clear();
}

const std::string &WebSocketSrMessage::GetMethodTypeStr(MessageType type, int32_t method) {
    if (method >= 0) {
        size_t m = static_cast<size_t>(method);
        if (type == SERVICE_ORIGINATED && m < m_ServiceMessageArr.size()) {
            return m_ServiceMessageArr[m];
        }
        if (type == CLIENT_ORIGINATED && m < m_ClientMessageArr.size()) {
            return m_ClientMessageArr[m];
        }
    }
    return kUnknown;
}

int32_t WebSocketSrMessage::ParseServiceMethodType(const std::string &path) {
    auto it = m_ServiceMessageMap.find(path);
    return it == m_ServiceMessageMap.end() ? 0 : it->second;
}

int32_t WebSocketSrMessage::ParseClientMethodType(const std::string &path) {
    auto it = m_ClientMessageMap.find(path);
    return it == m_ClientMessageMap.end() ? 0 : it->second;
}

void WebSocketSrMessage::GenerateXTimestamp(apr_time_t time, std::string &text) {
    apr_time_exp_t t;
    apr_time_exp_lt(&t, time);
    char buf[64];
    snprintf(buf, sizeof(buf), "%4d-%02d-%02dT%02d:%02d:%02d.%06d", t.tm_year + 1900, t.tm_mon + 1,
             t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, t.tm_usec);
    text = buf;
}

bool WebSocketSrMessage::GenerateHeader(std::string &header, bool endOfHeader) const {
    header = "Path:";
    header += GetMethodTypeStr(m_Type, m_Method);
    header += "\r\n";
    if (!m_RequestId.empty()) {
        header += "X-RequestId:" + m_RequestId + "\r\n";
    }
    if (!m_Timestamp.empty()) {
        header += "X-Timestamp:" + m_Timestamp + "\r\n";
    }
    if (!m_ContentType.empty()) {
        header += "Content-Type:" + m_ContentType + "\r\n";
    }
    if (endOfHeader) {
        header += "\r\n";
    }
    return true;
}

bool WebSocketSrMessage::Parse(const std::string &text, apr_pool_t *) {
    std::string path;
    bool pathFound = false;
    std::string name;
    std::string value;
    size_t pos = 0;
    for (;;) {
        size_t lf = text.find('\n', pos);
        if (lf == std::string::npos) {
            return false;  // the empty line that ends the header section is missing
        }
        size_t end = (lf > pos && text[lf - 1] == '\r') ? lf - 1 : lf;
        if (end == pos) {
            pos = lf + 1;
            break;
        }
        if (!SplitField(text, pos, end, name, value)) {
            return false;
        }
        if (strcasecmp(name.c_str(), "X-RequestId") == 0) {
            m_RequestId = value;
        } else if (strcasecmp(name.c_str(), "X-Timestamp") == 0) {
            m_Timestamp = value;
        } else if (strcasecmp(name.c_str(), "Content-Type") == 0) {
            m_ContentType = value;
        } else if (strcasecmp(name.c_str(), "Path") == 0) {
            path = value;
            pathFound = true;
        }
        pos = lf + 1;
    }
    if (pathFound) {
        m_Method = m_Type == SERVICE_ORIGINATED ? ParseServiceMethodType(path)
                                                : ParseClientMethodType(path);
    }
    m_Body.assign(text, pos, std::string::npos);
    return true;
}

}  // namespace KORAL
