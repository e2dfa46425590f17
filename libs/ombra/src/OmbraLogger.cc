#include "OmbraLogger.h"

#include "OmbraLogFacilityConfig.h"

namespace Ombra {

std::atomic<uint32_t> Logger::sm_RefCount(0);
std::atomic<Logger *> Logger::sm_pLogger(nullptr);
std::shared_mutex Logger::sm_InstanceGuard;

void LogRecordEvent::Process() { m_pLogger->ProcessLogRecord(m_Record); }

Logger *Logger::CreateInstance() {
    std::unique_lock<std::shared_mutex> guard(sm_InstanceGuard);
    if (sm_RefCount.fetch_add(1) == 0 && !sm_pLogger.load()) sm_pLogger.store(new Logger());
    return sm_pLogger.load();
}

Logger *Logger::GetInstance() { return sm_pLogger.load(); }

void Logger::DestroyInstance() {
    Logger *logger;
    {
        std::unique_lock<std::shared_mutex> guard(sm_InstanceGuard);
        if (sm_RefCount.load() == 0) return;
        if (sm_RefCount.fetch_sub(1) != 1) return;
        // Unpublished first: statements from now on are dropped, and none is
        // still posting once the guard was taken.
        logger = sm_pLogger.exchange(nullptr);
    }
    if (!logger) return;
    logger->Shutdown();
    delete logger;
}

LogLevel Logger::GetConfiguredLevel(const std::string &name) {
    std::shared_lock<std::shared_mutex> guard(sm_InstanceGuard);
    Logger *logger = sm_pLogger.load();
    return logger ? logger->GetFacilityConfig(name)->GetLevel() : LOG_LEVEL_INFO;
}

bool Logger::PostToInstance(const LogRecord &record) {
    std::shared_lock<std::shared_mutex> guard(sm_InstanceGuard);
    Logger *logger = sm_pLogger.load();
    return logger && logger->PostLogRecord(record);
}

Logger::Logger()
    : m_pConfig(new LogFacilityConfig(LOG_LEVEL_INFO)),
      m_Facility("GLOBAL", m_pConfig->Lookup("GLOBAL")->GetLevel()),
      m_pWriter(nullptr) {}

Logger::~Logger() {
    Shutdown();
    // Devices of a logger that never ran were never opened.
    for (auto &entry : m_Devices) delete entry.second;
    m_Devices.clear();
    delete m_pConfig;
}

bool Logger::AddLogDevice(LogDevice *device) {
    if (!device) return false;
    bool started;
    {
        std::shared_lock<std::shared_mutex> guard(m_WriterGuard);
        started = m_pWriter != nullptr;
    }
    // The device map belongs to the writer thread once it runs.
    if (started || !m_Devices.emplace(device->GetFacility().GetName(), device).second) {
        delete device;
        return false;
    }
    return true;
}

bool Logger::Start() {
    std::unique_lock<std::shared_mutex> guard(m_WriterGuard);
    if (m_pWriter) return false;
    SoftEventProcessor *writer = new SoftEventProcessor("ombra-logger");
    writer->AddObserver(this);
    if (!writer->Start()) {
        delete writer;
        return false;
    }
    m_pWriter = writer;
    return true;
}

bool Logger::Shutdown() {
    SoftEventProcessor *writer;
    {
        std::unique_lock<std::shared_mutex> guard(m_WriterGuard);
        writer = m_pWriter;
        m_pWriter = nullptr;
    }
    if (!writer) return false;
    writer->Shutdown(true);
    delete writer;
    return true;
}

bool Logger::OnStart(SoftEventProcessor *processor) {
    for (auto &entry : m_Devices) entry.second->Open();
    return true;
}

void Logger::OnShutdown(SoftEventProcessor *processor) {
    for (auto &entry : m_Devices) {
        entry.second->Close();
        delete entry.second;
    }
    m_Devices.clear();
}

bool Logger::PostLogRecord(const LogRecord &record) {
    std::shared_lock<std::shared_mutex> guard(m_WriterGuard);
    if (!m_pWriter) return false;
    AsyncEvent *event = new LogRecordEvent(this, record);
    event->Ref();
    return m_pWriter->PostEvent(event);
}

bool Logger::ProcessLogRecord(const LogRecord &record) {
    bool result = true;
    for (auto &entry : m_Devices) {
        if (!entry.second->ProcessLogRecord(record)) result = false;
    }
    return result;
}

const LogFacilityConfig *Logger::GetFacilityConfig(const std::string &name) const {
    return m_pConfig->Lookup(name);
}

}  // namespace Ombra
