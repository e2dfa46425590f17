// One message of the speech service's WebSocket protocol: header block
// (Path, X-RequestId, X-Timestamp, Content-Type) and body, both directions.
#pragma once

#include <apr_pools.h>
#include <apr_time.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace KORAL {

class WebSocketSrMessage {
  public:
    enum MessageType { CLIENT_ORIGINATED = 0, SERVICE_ORIGINATED = 1 };

    enum ServiceOriginatedMethod {
        SERVICE_METHOD_NONE = 0,
        SERVICE_METHOD_SPEECH_START_DETECTED = 1,
        SERVICE_METHOD_SPEECH_HYPOTHESIS = 2,
        SERVICE_METHOD_SPEECH_PHRASE = 3,
        SERVICE_METHOD_SPEECH_END_DETECTED = 4,
        SERVICE_METHOD_TURN_START = 5,
        SERVICE_METHOD_TURN_END = 6,
        SERVICE_METHOD_COUNT = 7
    };

    enum ClientOriginatedMethod {
        CLIENT_METHOD_NONE = 0,
        CLIENT_METHOD_SPEECH_CONFIG = 1,
        CLIENT_METHOD_AUDIO = 2,
        CLIENT_METHOD_TELEMETRY = 3,
        CLIENT_METHOD_COUNT = 4
    };

    explicit WebSocketSrMessage(MessageType type);
    virtual ~WebSocketSrMessage();

    // Process-wide path tables; filled before the client thread starts and
    // emptied after it was joined, read-only in between.
    static void InitMessageMaps();
    static void DestroyMessageMaps();

    // Path text of a method; "unknown" outside the tables, "" for method 0.
    static const std::string &GetMethodTypeStr(MessageType type, int32_t method);
    static int32_t ParseServiceMethodType(const std::string &path);
    static int32_t ParseClientMethodType(const std::string &path);

    // "YYYY-MM-DDThh:mm:ss.uuuuuu" in the process's local time zone.
    static void GenerateXTimestamp(apr_time_t time, std::string &text);

    // Header block, each line ended by CR LF; with `endOfHeader` one more
    // CR LF closes the block. Always true.
    bool GenerateHeader(std::string &header, bool endOfHeader) const;

    // Fills this message from received text: header fields up to the empty
    // line, then the body. False when the header section cannot be read.
    // `pool` is accepted for the host's parser interface and may be null.
    bool Parse(const std::string &text, apr_pool_t *pool);

    MessageType m_Type;
    int32_t m_Method;
    std::string m_RequestId;
    std::string m_Timestamp;
    std::string m_ContentType;
    std::string m_Body;
    int64_t m_ReceiveTime;

    static std::map<std::string, int32_t> m_ServiceMessageMap;
    static std::map<std::string, int32_t> m_ClientMessageMap;
    static std::vector<std::string> m_ServiceMessageArr;
    static std::vector<std::string> m_ClientMessageArr;
};

}  // namespace KORAL
