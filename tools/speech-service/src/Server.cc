#include "Server.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/stat.h>

#include <boost/asio/ip/address.hpp>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <vector>

#include "HttpSession.h"
#include "KeyFile.h"
#include "ScriptEngine.h"
#include "SphinxEngine.h"

namespace SpeechService {

namespace {

constexpr std::chrono::milliseconds kShutdownGrace{2000};
constexpr std::chrono::milliseconds kShutdownPoll{20};

bool FileReadable(const std::string &path, const char *what, std::string &error) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        error = std::string(what) + " file " + path + " does not exist";
        return false;
    }
    return true;
}

std::string OpenSslError() {
    unsigned long code = ERR_get_error();
    if (code == 0) return "unknown error";
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    ERR_clear_error();
    return text;
}

}  // namespace

Server::Server(const Options &options) : m_Options(options) {
    m_Context = std::make_unique<ServiceContext>(m_Io, m_Options);
}

Server::~Server() {
    // The engine's threads post to the io_context: they stop before it goes.
    if (m_Engine) m_Engine->Shutdown();
}

bool Server::Prepare(std::string &error) {
    // Registered first: a signal during model loading still ends the process cleanly.
    m_Signals.add(SIGINT);
    m_Signals.add(SIGTERM);
    if (!m_Options.m_EventLogFile.empty() &&
        !m_Context->m_Log.Open(m_Options.m_EventLogFile, error))
        return false;
    if (!m_Options.m_Plain && !PrepareTls(error)) return false;
    Scenario scenario = DefaultScenario();
    if (!m_Options.m_ScriptFile.empty() && !LoadScenario(m_Options.m_ScriptFile, scenario, error)) {
        error = "bad scenario " + m_Options.m_ScriptFile + ": " + error;
        return false;
    }
    m_Context->m_TokenFault = scenario.m_Token;
    m_Context->m_UpgradeFault = scenario.m_Upgrade;
    if (!Listen(error)) return false;
    if (m_Options.m_Engine == "script") {
        m_Engine = std::make_unique<ScriptEngine>(m_Io, std::move(scenario), &m_Context->m_Pending);
    } else if (!PrepareEngine(error)) {
        return false;
    }
    m_Context->m_Engine = m_Engine.get();
    if (!m_Options.m_KeyFilePath.empty() &&
        !WriteKeyFile(m_Options.m_KeyFilePath, m_Options.m_ListenAddress, m_Port, m_Options.m_Plain,
                      m_Options.m_SubscriptionKey, error)) {
        return false;
    }
    m_Context->m_Log.Record("ready", 0, [&](EventLog::Writer &w) {
        w.Key("port");
        w.Uint(m_Port);
        w.Key("tls");
        w.Bool(!m_Options.m_Plain);
        EventLog::Str(w, "engine", m_Options.m_Engine);
    });
    return true;
}

bool Server::PrepareTls(std::string &error) {
    if (!FileReadable(m_Options.m_CertFile, "certificate", error) ||
        !FileReadable(m_Options.m_KeyFile, "key", error)) {
        return false;
    }
    m_Tls = std::make_unique<boost::asio::ssl::context>(boost::asio::ssl::context::tls_server);
    m_Tls->set_options(boost::asio::ssl::context::default_workarounds |
                       boost::asio::ssl::context::no_sslv2 | boost::asio::ssl::context::no_sslv3 |
                       boost::asio::ssl::context::no_tlsv1 | boost::asio::ssl::context::no_tlsv1_1);
    boost::system::error_code ec;
    m_Tls->use_certificate_chain_file(m_Options.m_CertFile, ec);
    if (ec) {
        error = "cannot load certificate " + m_Options.m_CertFile + ": " + ec.message();
        return false;
    }
    m_Tls->use_private_key_file(m_Options.m_KeyFile, boost::asio::ssl::context::pem, ec);
    if (ec) {
        error = "cannot load key " + m_Options.m_KeyFile + ": " + ec.message();
        return false;
    }
    if (SSL_CTX_check_private_key(m_Tls->native_handle()) != 1) {
        error = "key " + m_Options.m_KeyFile + " does not match certificate " +
                m_Options.m_CertFile + ": " + OpenSslError();
        return false;
    }
    return true;
}

bool Server::PrepareEngine(std::string &error) {
    SphinxSettings settings;
    settings.m_Decoder.m_ModelDir = m_Options.m_ModelDir;
    settings.m_Decoder.m_MaxAlternatives = static_cast<size_t>(m_Options.m_NBest);
    settings.m_Workers = static_cast<size_t>(m_Options.m_Workers);
    settings.m_MaxDecoders = static_cast<size_t>(m_Options.m_MaxDecoders);
    settings.m_Preload = static_cast<size_t>(m_Options.m_Preload);
    settings.m_ThresholdDb = m_Options.m_VadThresholdDb;
    settings.m_Band = m_Options.m_Band;
    settings.m_Log = &m_Context->m_Log;
    settings.m_Verbose = m_Options.m_Verbose;
    auto engine = std::make_unique<SphinxEngine>(m_Io, settings);
    if (!engine->Init(error)) return false;
    m_Engine = std::move(engine);
    return true;
}

bool Server::Listen(std::string &error) {
    boost::system::error_code ec;
    std::string where = m_Options.m_ListenAddress + ":" + std::to_string(m_Options.m_ListenPort);
    boost::asio::ip::address address = boost::asio::ip::make_address(m_Options.m_ListenAddress, ec);
    if (ec) {
        error = "cannot listen on " + where + ": not an IP address";
        return false;
    }
    boost::asio::ip::tcp::endpoint endpoint(address, m_Options.m_ListenPort);
    m_Acceptor.open(endpoint.protocol(), ec);
    if (!ec) m_Acceptor.set_option(boost::asio::socket_base::reuse_address(true), ec);
    if (!ec) m_Acceptor.bind(endpoint, ec);
    if (!ec) m_Acceptor.listen(boost::asio::socket_base::max_listen_connections, ec);
    if (ec) {
        error = "cannot listen on " + where + ": " + ec.message();
        return false;
    }
    m_Port = m_Acceptor.local_endpoint(ec).port();
    return true;
}

std::string Server::ReadyLine() const {
    return "speech-service ready on " + m_Options.m_ListenAddress + ":" + std::to_string(m_Port) +
           (m_Options.m_Plain ? " (plain)" : " (tls)");
}

void Server::Accept() {
    m_Acceptor.async_accept([this](boost::system::error_code ec,
                                   boost::asio::ip::tcp::socket socket) {
        if (!m_Acceptor.is_open() || m_Context->m_ShuttingDown) return;
        if (!ec) {
            boost::system::error_code ignored;
            socket.set_option(boost::asio::ip::tcp::no_delay(true), ignored);
            StartHttpSession(*m_Context, std::move(socket), m_Tls.get());
        } else {
            m_Context->m_Log.Record("accept-failed", 0, [&](EventLog::Writer &w) {
                EventLog::Str(w, "error", ec.message());
            });
            if (m_Options.m_Verbose)
                std::fprintf(stderr, "speech-service: accept failed: %s\n", ec.message().c_str());
        }
        // Running out of descriptors must not end the service: try again shortly.
        if (ec == boost::asio::error::no_descriptors) {
            m_ShutdownTimer.expires_after(std::chrono::milliseconds(100));
            m_ShutdownTimer.async_wait([this](boost::system::error_code e) {
                if (!e && !m_Context->m_ShuttingDown) Accept();
            });
            return;
        }
        Accept();
    });
}

void Server::BeginShutdown(int signal) {
    m_Context->m_ShuttingDown = true;
    m_Context->m_Log.Record("shutdown", 0, [&](EventLog::Writer &w) {
        w.Key("signal");
        w.Int(signal);
    });
    boost::system::error_code ignored;
    m_Acceptor.close(ignored);
    // A second signal ends at once.
    m_Signals.async_wait([this](boost::system::error_code ec, int) {
        if (!ec) m_Io.stop();
    });
    std::vector<std::shared_ptr<Closable>> open;
    for (auto &kv : m_Context->m_Open) {
        if (auto c = kv.second.lock()) open.push_back(c);
    }
    for (auto &c : open) c->Shutdown();
    auto deadline = std::chrono::steady_clock::now() + kShutdownGrace;
    // Wait until every connection has gone or the grace time is over.
    struct Poller {
        static void Arm(Server *s, std::chrono::steady_clock::time_point deadline) {
            s->m_ShutdownTimer.expires_after(kShutdownPoll);
            s->m_ShutdownTimer.async_wait([s, deadline](boost::system::error_code ec) {
                if (ec) return;
                bool live = false;
                for (auto &kv : s->m_Context->m_Open) live = live || !kv.second.expired();
                if (!live || std::chrono::steady_clock::now() >= deadline) {
                    if (live) {
                        // Whoever did not finish in time is named in the log.
                        s->m_Context->m_Log.Record("shutdown-timeout", 0, [&](EventLog::Writer &w) {
                            w.Key("open");
                            w.StartArray();
                            for (auto &kv : s->m_Context->m_Open) {
                                if (!kv.second.expired()) w.Uint64(kv.first);
                            }
                            w.EndArray();
                        });
                    }
                    s->m_Io.stop();
                    return;
                }
                Arm(s, deadline);
            });
        }
    };
    Poller::Arm(this, deadline);
}

int Server::Run() {
    m_Signals.async_wait([this](boost::system::error_code ec, int signal) {
        if (!ec) BeginShutdown(signal);
    });
    Accept();
    m_Io.run();
    if (m_Engine) m_Engine->Shutdown();
    m_Context->m_Log.Record("stopped", 0);
    return 0;
}

}  // namespace SpeechService
