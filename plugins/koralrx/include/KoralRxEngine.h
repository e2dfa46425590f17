// The one recognizer engine of the process: configuration, the engine thread
// on which all channel work runs, the speech service client, the two record
// managers and the registry of open channels.
#pragma once

#include <apr_pools.h>
#include <apr_xml.h>

#include <cstdint>
#include <list>
#include <map>
#include <mutex>
#include <string>

#include "KoralRxClient.h"
#include "KoralRxMonitoring.h"
#include "KoralRxRdrManager.h"
#include "KoralRxRecordSettings.h"
#include "KoralRxStreamingSettings.h"
#include "KoralRxUtteranceManager.h"
#include "OmbraSoftEventProcessor.h"
#include "OmbraTimer.h"
#include "apt_dir_layout.h"
#include "mpf_sdi_params.h"
#include "mrcp_engine_plugin.h"

namespace KORAL {

class Channel;
class SpeechContext;

class Engine : public Ombra::SoftEventProcessor::Observer,
               public Ombra::TimerHandler,
               public WebSocketClient::Observer {
  public:
    explicit Engine(const std::string &name);
    virtual ~Engine();

    // Host engine open and close (host thread). Open's answer follows later.
    virtual bool Open();
    virtual bool Close();

    // Engine thread start and end.
    bool OnStart(Ombra::SoftEventProcessor *processor) override;
    void OnShutdown(Ombra::SoftEventProcessor *processor) override;
    // Service client loop ready (client thread); its end needs nothing here.
    bool OnStart(WebSocketClient *client) override;
    using WebSocketClient::Observer::OnShutdown;
    void OnTimeoutElapsed(Ombra::Timer *timer) override;

    // Channel registry (engine thread).
    void OnOpenChannel(Channel *channel);
    void OnCloseChannel(Channel *channel);
    void OnUsageChange();

    void SetHandle(mrcp_engine_t *handle) { m_Handle = handle; }
    mrcp_engine_t *GetHandle() const { return m_Handle; }
    const std::string &GetName() const { return m_Name; }
    Ombra::SoftEventProcessor *GetEventProcessor() const { return m_EventProcessor; }
    const mpf_sdi_params_t &GetDetectorParams() const { return m_DetectorParams; }
    const StreamingRecogSettings &GetStreamingSettings() const { return m_StreamingSettings; }
    const std::map<std::string, SpeechContext *> &GetSpeechContexts() const {
        return m_SpeechContexts;
    }
    WebSocketClient *GetWebSocketClient() const { return m_WebSocketClient; }
    const std::string &GetServiceEndpoint() const { return m_ServiceEndpoint; }
    const UtteranceSettings &GetUtteranceSettings() const { return m_UtteranceSettings; }
    const RdrSettings &GetRdrSettings() const { return m_RdrSettings; }
    // The record managers: engine thread, from start-up to shut-down; null
    // before and after.
    UtteranceManager *GetUttManager() const { return m_UttManager; }
    RdrManager *GetRdrManager() const { return m_RdrManager; }
    const MonitoringSettings &GetMonitoringSettings() const { return m_MonitoringSettings; }
    const std::string &GetSubscriptionKeyFile() const { return m_SubscriptionKeyFile; }
    size_t GetOpenChannelCount() const { return m_Channels.size(); }
    uint64_t GetPeakChannelCount() const { return m_PeakChannels; }

    // Configuration (host thread, from Open).
    bool LoadConfig(const char *file_name, const char *doc_name, const apt_dir_layout_t *layout,
                    apr_pool_t *pool);
    apr_xml_doc *ParseFile(const char *path, apr_pool_t *pool);
    bool LoadDocument(const char *name, const apr_xml_doc *doc, apr_pool_t *pool);
    bool LoadElement(const apr_xml_elem *elem, apr_pool_t *pool);
    bool ValidateConfig(const apt_dir_layout_t *layout, apr_pool_t *pool);

  protected:
    bool CreateEventProcessor();
    void DestroyEventProcessor();
    bool CreateLogger();
    void DestroyLogger();
    bool ProcessStart();
    bool ProcessOpen();
    void ProcessShutdown();
    bool CreateWebSocketClient();
    void DestroyWebSocketClient();
    bool CreateUttManager(const UtteranceManager::Settings &settings);
    void DestroyUttManager();
    bool CreateRdrManager(const RdrManager::Settings &settings);
    void DestroyRdrManager();
    void Cleanup();
    void LoadSpeechContexts(const apr_xml_elem *elem);
    void ReportUsage(const MonitoringHandler &handler);

    // The host's open gets exactly one answer: success once both the engine
    // thread's start-up and the service client's loop are up, or one failure.
    void AnswerOpen(bool status);
    void OnStartupStep(bool client_ready, bool startup_done);

  private:
    std::string m_Name;
    mrcp_engine_t *m_Handle = nullptr;
    Ombra::SoftEventProcessor *m_EventProcessor = nullptr;
    WebSocketClient *m_WebSocketClient = nullptr;
    UtteranceManager *m_UttManager = nullptr;
    RdrManager *m_RdrManager = nullptr;
    std::string m_SubscriptionKeyFile;
    std::string m_ServiceEndpoint;
    std::map<std::string, SpeechContext *> m_SpeechContexts;
    StreamingRecogSettings m_StreamingSettings;
    UtteranceSettings m_UtteranceSettings;
    RdrSettings m_RdrSettings;
    mpf_sdi_params_t m_DetectorParams;
    MonitoringSettings m_MonitoringSettings;
    std::list<Channel *> m_Channels;
    uint64_t m_PeakChannels = 0;
    Ombra::Timer *m_UsageRefreshTimer = nullptr;
    apr_pool_t *m_ConfigPool = nullptr;

    std::mutex m_OpenMutex;
    bool m_OpenAnswered = false;
    bool m_ClientReady = false;
    bool m_StartupDone = false;
};

}  // namespace KORAL
