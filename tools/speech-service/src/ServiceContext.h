// What every connection of the service shares. Network thread only, except
// the event log, which is thread-safe.
#pragma once

#include <boost/asio/io_context.hpp>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>

#include "Engine.h"
#include "EventLog.h"
#include "Options.h"
#include "Scenario.h"
#include "TokenIssuer.h"

namespace SpeechService {

// A connection the service can ask to wind down at shutdown.
class Closable {
  public:
    virtual ~Closable() = default;
    virtual void Shutdown() = 0;
};

struct ServiceContext {
    ServiceContext(boost::asio::io_context &io, const Options &options)
        : m_Io(io), m_Options(options), m_Tokens(std::chrono::seconds(options.m_TokenLifetimeS)) {}

    boost::asio::io_context &m_Io;
    const Options &m_Options;
    TokenIssuer m_Tokens;
    EventLog m_Log;
    Engine *m_Engine = nullptr;
    TokenFault m_TokenFault;
    UpgradeFault m_UpgradeFault;
    PendingFaults m_Pending;
    uint64_t m_TokenRequests = 0;
    uint64_t m_Upgrades = 0;
    uint64_t m_NextConnection = 1;
    bool m_ShuttingDown = false;
    std::map<uint64_t, std::weak_ptr<Closable>> m_Open;

    void Register(uint64_t id, std::weak_ptr<Closable> c) { m_Open[id] = std::move(c); }
    void Unregister(uint64_t id) { m_Open.erase(id); }
};

}  // namespace SpeechService
