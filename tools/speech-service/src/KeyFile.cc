#include "KeyFile.h"

#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "UpgradeRequest.h"

namespace SpeechService {

bool WriteKeyFile(const std::string &path, const std::string &host, uint16_t port, bool plain,
                  const std::string &key, std::string &error) {
    std::string authority = (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" +
                            std::to_string(port);
    std::string auth = std::string(plain ? "http://" : "https://") + authority + kTokenPath;
    // The plugin opens its WebSocket from an http(s) URI and takes no ws(s) scheme.
    std::string service =
        std::string(plain ? "http://" : "https://") + authority + kRecognitionPath;
    rapidjson::StringBuffer sb;
    rapidjson::PrettyWriter<rapidjson::StringBuffer> w(sb);
    w.StartObject();
    w.Key("auth-endpoint");
    w.String(auth.c_str());
    w.Key("auth-key");
    w.String(key.c_str());
    w.Key("service-endpoint");
    w.String(service.c_str());
    w.EndObject();

    // Written whole under a temporary name so that a reader never sees half a file.
    std::string temp = path + ".tmp";
    std::FILE *f = std::fopen(temp.c_str(), "w");
    if (f == nullptr) {
        error = "cannot write the key file " + path + ": " + std::strerror(errno);
        return false;
    }
    bool ok = std::fprintf(f, "%s\n", sb.GetString()) > 0;
    ok = std::fclose(f) == 0 && ok;
    if (!ok || std::rename(temp.c_str(), path.c_str()) != 0) {
        error = "cannot write the key file " + path + ": " + std::strerror(errno);
        std::remove(temp.c_str());
        return false;
    }
    return true;
}

}  // namespace SpeechService
