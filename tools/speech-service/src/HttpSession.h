// One accepted TCP connection until it upgrades to a WebSocket: the TLS
// handshake, HTTP requests to the token endpoint, and the checks of the
// recognition endpoint's upgrade request.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>

#include "ServiceContext.h"

namespace SpeechService {

// `tls` is null for a plain connection.
void StartHttpSession(ServiceContext &context, boost::asio::ip::tcp::socket socket,
                      boost::asio::ssl::context *tls);

}  // namespace SpeechService
