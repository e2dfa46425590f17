// The service: listens, accepts connections on the network thread, owns the
// engine, and shuts down cleanly on SIGINT or SIGTERM.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <memory>
#include <string>

#include "Engine.h"
#include "Options.h"
#include "ServiceContext.h"

namespace SpeechService {

class Server {
  public:
    explicit Server(const Options &options);
    ~Server();

    // Loads certificates, scenario and model, binds the port and writes the
    // key file. False with a message for the user when something is wrong.
    bool Prepare(std::string &error);
    // The bound port (after Prepare).
    uint16_t Port() const { return m_Port; }
    std::string ReadyLine() const;
    // Serves until a signal arrives; returns the process exit status.
    int Run();

  private:
    bool PrepareTls(std::string &error);
    bool PrepareEngine(std::string &error);
    bool Listen(std::string &error);
    void Accept();
    void BeginShutdown(int signal);

    // Declared before the io_context so that they outlive it: handlers still
    // queued when it is destroyed own sessions that use them.
    Options m_Options;
    std::unique_ptr<ServiceContext> m_Context;
    std::unique_ptr<boost::asio::ssl::context> m_Tls;
    std::unique_ptr<Engine> m_Engine;
    boost::asio::io_context m_Io{1};
    boost::asio::ip::tcp::acceptor m_Acceptor{m_Io};
    boost::asio::signal_set m_Signals{m_Io};
    boost::asio::steady_timer m_ShutdownTimer{m_Io};
    uint16_t m_Port = 0;
};

}  // namespace SpeechService
