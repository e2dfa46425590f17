// Texts of the WebSocket opening handshake and of the HTTP proxy tunnel:
// composing the requests and judging the replies, on plain bytes.
#pragma once

#include <cstddef>
#include <string>

namespace KORAL {
namespace WsHandshake {

// Origin sent with every upgrade request.
extern const char *const kOrigin;

// 16 random bytes in standard Base64 (24 characters).
std::string GenerateKey();

// The upgrade request: request target `uri` (the whole URI), "Host:host:port",
// the fixed upgrade lines, the key, authorization and connection id, the
// Origin and the empty line; no space after the colons.
std::string ComposeUpgradeRequest(const std::string &uri, const std::string &host, int port,
                                  const std::string &key, const std::string &authorization,
                                  const std::string &connectionId);

// Offset just past the CR LF CR LF that ends a response head, or npos.
size_t FindHeadEnd(const char *data, size_t size);

// The response head begins with "HTTP/1.1 101" (any letter case).
bool IsUpgradeAccepted(const char *data, size_t size);

// The Sec-WebSocket-Accept value that answers `key` (RFC 6455, 4.2.2): the
// SHA-1 of the key followed by the protocol's GUID, in standard Base64.
std::string AcceptKey(const std::string &key);

// The value of the first header field `name` (any letter case) of a head,
// without the blanks around it; false when the head has no such field.
bool FindHeader(const char *data, size_t size, const std::string &name, std::string &value);

// Whether an accepted upgrade's head answers `key` with the right
// Sec-WebSocket-Accept; otherwise `reason` says what is wrong.
bool CheckAccept(const char *data, size_t size, const std::string &key, std::string &reason);

// "CONNECT host:port HTTP/1.1" with the Host line and the empty line.
std::string ComposeProxyConnect(const std::string &host, int port);

// Status code of an "HTTP/x.y NNN ..." line at the start of `data`; 0 when
// the line is not of that form.
int StatusCode(const char *data, size_t size);

// The first line of a head (without its line break), for log lines.
std::string FirstLine(const char *data, size_t size);

}  // namespace WsHandshake
}  // namespace KORAL
