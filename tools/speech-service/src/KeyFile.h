// The plugin's subscription key file pointing at this server.
#pragma once

#include <cstdint>
#include <string>

namespace SpeechService {

// Writes {"auth-endpoint", "auth-key", "service-endpoint"} for host:port,
// both endpoints https (http when plain): the plugin upgrades an http(s)
// URI to a WebSocket and refuses ws(s) schemes.
bool WriteKeyFile(const std::string &path, const std::string &host, uint16_t port, bool plain,
                  const std::string &key, std::string &error);

}  // namespace SpeechService
