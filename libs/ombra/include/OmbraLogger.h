// The process's logger: a writer thread that hands every posted log record to
// the registered log devices.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <string>

#include "OmbraAsyncEvent.h"
#include "OmbraLogFacility.h"
#include "OmbraSoftEventProcessor.h"

namespace Ombra {

class LogFacilityConfig;

// Output of log records; runs on the logger's writer thread only.
class LogDevice {
  public:
    explicit LogDevice(const LogFacility &facility) : m_Facility(facility) {}
    explicit LogDevice(const std::string &name) : m_Facility(name) {}
    virtual ~LogDevice() {}

    virtual bool Open() { return true; }
    virtual bool Close() { return true; }
    virtual bool ProcessLogRecord(const LogRecord &record) = 0;

    const LogFacility &GetFacility() const { return m_Facility; }

  protected:
    LogFacility m_Facility;
};

class Logger;

class LogRecordEvent : public AsyncEvent {
  public:
    LogRecordEvent(Logger *logger, const LogRecord &record) : m_pLogger(logger), m_Record(record) {}
    void Process() override;

  private:
    Logger *m_pLogger;
    LogRecord m_Record;
};

class Logger : public SoftEventProcessor::Observer {
  public:
    // Counted: the first call constructs the logger, every call returns it.
    static Logger *CreateInstance();
    // The logger, or null.
    static Logger *GetInstance();
    // The call that releases the last reference shuts the logger down (every
    // record already posted is written first) and deletes it.
    static void DestroyInstance();
    // Level configured for a facility name; INFO when there is no logger.
    static LogLevel GetConfiguredLevel(const std::string &name);
    // Posts through the instance, if there is one.
    static bool PostToInstance(const LogRecord &record);

    // Registers a device under its facility name before Start. The logger
    // owns the device whatever the result: one it refuses (name already
    // registered, or logger already started) is deleted at once.
    bool AddLogDevice(LogDevice *device);
    // Starts the writer thread, which opens the devices. False if started.
    bool Start();
    // Writes every queued record, closes and deletes the devices on the
    // writer thread, joins it. False if not started.
    bool Shutdown();

    // Writer thread.
    bool OnStart(SoftEventProcessor *processor) override;
    void OnShutdown(SoftEventProcessor *processor) override;

    // Any thread: queues a copy of the record for the writer; false (record
    // dropped) while the logger is not started.
    bool PostLogRecord(const LogRecord &record);
    // Writer thread: every device in name order; true if all succeeded.
    bool ProcessLogRecord(const LogRecord &record);

    const LogFacilityConfig *GetFacilityConfig(const std::string &name) const;
    const LogFacility &GetFacility() const { return m_Facility; }

  private:
    Logger();
    ~Logger() override;
    Logger(const Logger &) = delete;
    Logger &operator=(const Logger &) = delete;

    static std::atomic<uint32_t> sm_RefCount;
    static std::atomic<Logger *> sm_pLogger;
    // Exclusive while the instance is created or released; shared while a
    // statement reaches it, so that it is not deleted under a poster.
    static std::shared_mutex sm_InstanceGuard;

    LogFacilityConfig *m_pConfig;
    LogFacility m_Facility;
    // Exclusive while the writer is created or taken down; shared to post.
    std::shared_mutex m_WriterGuard;
    SoftEventProcessor *m_pWriter;
    std::map<std::string, LogDevice *> m_Devices;
};

}  // namespace Ombra
