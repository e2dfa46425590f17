// One upgraded recognition connection: the WebSocket handshake answer, the
// read loop, the ordered write queue (including deliberately faulty frames),
// and the idle and lifetime limits. The protocol itself is SessionProtocol.
#pragma once

#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>
#include <cstdint>

#include "ServiceContext.h"
#include "UpgradeRequest.h"

namespace SpeechService {

using HttpRequest = boost::beast::http::request<boost::beast::http::string_body>;
using PlainStream = boost::beast::tcp_stream;
using TlsStream = boost::beast::ssl_stream<boost::beast::tcp_stream>;

// Takes over the stream after the upgrade request passed its checks.
void StartWsSession(ServiceContext &context, uint64_t connection, PlainStream stream,
                    HttpRequest request, const SessionSettings &settings);
void StartWsSession(ServiceContext &context, uint64_t connection, TlsStream stream,
                    HttpRequest request, const SessionSettings &settings);

}  // namespace SpeechService
