// The service's command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Band.h"

namespace SpeechService {

struct Options {
    std::string m_ListenAddress = "127.0.0.1";
    uint16_t m_ListenPort = 8443;
    bool m_Plain = false;
    std::string m_CertFile;
    std::string m_KeyFile;
    std::string m_SubscriptionKey = "local-subscription-key";
    std::string m_Engine = "pocketsphinx";
    std::string m_ScriptFile;
    std::string m_EventLogFile;
    std::string m_KeyFilePath;
    int m_TokenLifetimeS = 600;
    int m_IdleTimeoutS = 180;
    int m_RequestTimeoutS = 30;  // a TLS handshake or an HTTP request, from its start
    int m_MaxConnectionTimeS = 600;
    std::string m_ModelDir;
    int m_Workers = 2;
    int m_MaxDecoders = 4;
    int m_Preload = 1;
    int m_NBest = 5;
    double m_VadThresholdDb = -50.0;
    BandMode m_Band = BandMode::Auto;
    bool m_Verbose = false;
    bool m_Help = false;
};

// Parses argv; false with a message for the user on a bad command line.
bool ParseOptions(const std::vector<std::string> &args, Options &options, std::string &error);

const char *UsageText();

}  // namespace SpeechService
