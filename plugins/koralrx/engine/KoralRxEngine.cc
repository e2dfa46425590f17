#include "KoralRxEngine.h"

#include <algorithm>

#include "KoralRxChannel.h"
#include "KoralRxKeyFile.h"
#include "KoralRxLog.h"
#include "KoralRxLogRedirect.h"
#include "KoralRxNetUri.h"
#include "KoralRxSpeechContext.h"
#include "OmbraGlobal.h"
#include "OmbraLogger.h"

namespace KORAL {

namespace {

// An endpoint of the key file must be a URI the service client can connect
// to; a bad one fails the start rather than every recognition after it.
bool CheckEndpoint(const char *kind, const std::string &uri, const char *path) {
    const char *reason = nullptr;
    ResolvedTarget target;
    switch (ResolveTarget(uri, std::string(), target)) {
        case TARGET_OK:
            break;
        case TARGET_MALFORMED_URI:
        case TARGET_MALFORMED_PROXY_URI:
            reason = "not a URI";
            break;
        case TARGET_NO_SCHEME:
            reason = "no scheme";
            break;
        case TARGET_UNKNOWN_SCHEME:
            reason = "scheme must be http or https";
            break;
        case TARGET_NO_HOST:
        case TARGET_NO_PROXY_HOST:
            reason = "no host";
            break;
    }
    if (!reason) return true;
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
            "Invalid %s Endpoint [%s] in Subscription Key File %s: %s", kind, uri.c_str(), path,
            reason);
    return false;
}

// A record manager with its expiry timers on the engine thread. The folder
// is scanned at once: what an earlier run left is purged, expired or timed
// like the files made from now on. `label` names the manager in the log.
template <class Manager>
bool CreateRecordManager(Manager *&manager, const typename Manager::Settings &settings,
                         Ombra::AsyncEventTimerProcessor *processor, const char *label) {
    if (manager) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "%s Already Exists", label);
        return false;
    }
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Create %s", label);
    manager = new Manager(settings);
    manager->SetTimerProcessor(processor);
    return manager->LoadFileEntries();
}

template <class Manager>
void DestroyRecordManager(Manager *&manager, const char *label) {
    if (!manager) return;
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Destroy %s", label);
    delete manager;
    manager = nullptr;
}

}  // namespace

Engine::Engine(const std::string &name) : m_Name(name) {
    Ombra::GlobalInit();
    Ombra::InitSsl();
    mpf_sdi_params_init(&m_DetectorParams);
}

Engine::~Engine() {
    DestroyEventProcessor();
    DestroyLogger();
    Ombra::CleanupSsl();
    Ombra::GlobalDeinit();
    m_Channels.clear();
    for (auto &kv : m_SpeechContexts) delete kv.second;
    m_SpeechContexts.clear();
}

bool Engine::Open() {
    if (!LoadConfig("koralrx.xml", "koralrx", m_Handle->dir_layout, m_Handle->pool)) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Load VTS Koral Config");
        return false;
    }
    if (!CreateLogger()) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Create Logger");
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(m_OpenMutex);
        m_OpenAnswered = m_ClientReady = m_StartupDone = false;
    }
    if (!CreateEventProcessor()) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Create Event Processor");
        return false;
    }
    return true;
}

bool Engine::Close() {
    DestroyEventProcessor();
    DestroyLogger();
    mrcp_engine_close_respond(m_Handle, TRUE);
    return true;
}

bool Engine::CreateEventProcessor() {
    if (m_EventProcessor) return false;
    m_EventProcessor = new Ombra::SoftEventProcessor("koralrx-engine");
    m_EventProcessor->AddObserver(this);
    if (!m_EventProcessor->Start()) {
        delete m_EventProcessor;
        m_EventProcessor = nullptr;
        return false;
    }
    return true;
}

void Engine::DestroyEventProcessor() {
    if (!m_EventProcessor) return;
    m_EventProcessor->Shutdown(true);
    delete m_EventProcessor;
    m_EventProcessor = nullptr;
}

bool Engine::CreateLogger() {
    Ombra::Logger *logger = Ombra::Logger::CreateInstance();
    logger->AddLogDevice(new LogRedirectDevice());
    logger->Start();
    return true;
}

void Engine::DestroyLogger() { Ombra::Logger::DestroyInstance(); }

void Engine::AnswerOpen(bool status) {
    {
        std::lock_guard<std::mutex> lock(m_OpenMutex);
        if (m_OpenAnswered) return;
        m_OpenAnswered = true;
    }
    mrcp_engine_open_respond(m_Handle, status ? TRUE : FALSE);
}

void Engine::OnStartupStep(bool client_ready, bool startup_done) {
    bool answer = false;
    {
        std::lock_guard<std::mutex> lock(m_OpenMutex);
        m_ClientReady = m_ClientReady || client_ready;
        m_StartupDone = m_StartupDone || startup_done;
        answer = m_ClientReady && m_StartupDone && !m_OpenAnswered;
    }
    if (answer) AnswerOpen(true);
}

bool Engine::OnStart(Ombra::SoftEventProcessor *processor) {
    if (!ProcessStart()) {
        AnswerOpen(false);
        return false;
    }
    OnStartupStep(false, true);
    return true;
}

bool Engine::OnStart(WebSocketClient *client) {
    OnStartupStep(true, false);
    return true;
}

bool Engine::ProcessStart() {
    OnUsageChange();
    if (!ProcessOpen()) {
        Cleanup();
        return false;
    }
    if (!CreateUttManager(m_UtteranceSettings)) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Create Utterance Manager");
        Cleanup();
        return false;
    }
    if (!CreateRdrManager(m_RdrSettings)) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Create RDR Manager");
        Cleanup();
        return false;
    }
    OnUsageChange();

    const MonitoringHandler &refresh = m_MonitoringSettings.usage_refresh_handler;
    if (refresh.AnyEnabled()) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Set Usage Refresh Timer [%d sec]",
                static_cast<int>(m_MonitoringSettings.refresh_period));
        m_UsageRefreshTimer = new Ombra::Timer(this, m_MonitoringSettings.refresh_period * 1000,
                                               Ombra::Timer::PERIODIC, Ombra::Timer::AUTO_DELETE);
        m_UsageRefreshTimer->Start(m_EventProcessor);
    }

    m_WebSocketClient->PostEvent(new AuthEvent(m_WebSocketClient));
    return true;
}

bool Engine::ProcessOpen() { return CreateWebSocketClient(); }

bool Engine::CreateWebSocketClient() {
    if (m_WebSocketClient) return false;
    const char *path = m_SubscriptionKeyFile.c_str();

    apr_pool_t *pool = m_Handle->pool;
    AuthClient::Settings settings;
    SubscriptionKeyInfo info;
    info.auth_uri = settings.m_Uri;
    if (!LoadSubscriptionKeyFile(path, info, pool)) return false;
    if (info.service_endpoint.empty()) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "Missing \"service-endpoint\" in Subscription Key File %s", path);
        return false;
    }
    if (!CheckEndpoint("Auth", info.auth_uri, path) ||
        !CheckEndpoint("Service", info.service_endpoint, path))
        return false;
    settings.m_Uri = info.auth_uri;
    settings.m_Key = info.key;
    m_ServiceEndpoint = info.service_endpoint;
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO,
            "Auth Endpoint [%s] Key [%d bytes] Service Endpoint [%s]", settings.m_Uri.c_str(),
            static_cast<int>(settings.m_Key.size()), m_ServiceEndpoint.c_str());

    if (!m_StreamingSettings.http_proxy.empty()) {
        settings.m_ProxyUri = m_StreamingSettings.http_proxy;
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "HTTP Proxy [%s]",
                settings.m_ProxyUri.c_str());
    }
    settings.m_ValidationPeriod = static_cast<int32_t>(m_StreamingSettings.auth_validation_period);
    settings.m_ReattemptTimeout = static_cast<int32_t>(m_StreamingSettings.auth_reattempt_timeout);

    m_WebSocketClient = new WebSocketClient("WSL", m_StreamingSettings.debug_logging);
    m_WebSocketClient->SetObserver(this);
    m_WebSocketClient->m_AuthSettings = settings;
    m_WebSocketClient->m_TlsSettings.m_CaFile = m_StreamingSettings.tls_ca_file;
    m_WebSocketClient->m_TlsSettings.m_Verify = m_StreamingSettings.tls_verify;
    m_WebSocketClient->m_ResultTimeout = static_cast<int32_t>(m_StreamingSettings.result_timeout);
    if (!m_WebSocketClient->Start(pool)) {
        delete m_WebSocketClient;
        m_WebSocketClient = nullptr;
        return false;
    }
    return true;
}

void Engine::DestroyWebSocketClient() {
    if (!m_WebSocketClient) return;
    m_WebSocketClient->Shutdown(true);
    delete m_WebSocketClient;
    m_WebSocketClient = nullptr;
}

bool Engine::CreateUttManager(const UtteranceManager::Settings &settings) {
    return CreateRecordManager(m_UttManager, settings, m_EventProcessor, "Utterance Manager");
}

void Engine::DestroyUttManager() { DestroyRecordManager(m_UttManager, "Utterance Manager"); }

bool Engine::CreateRdrManager(const RdrManager::Settings &settings) {
    return CreateRecordManager(m_RdrManager, settings, m_EventProcessor, "RDR Manager");
}

void Engine::DestroyRdrManager() { DestroyRecordManager(m_RdrManager, "RDR Manager"); }

void Engine::OnShutdown(Ombra::SoftEventProcessor *processor) { ProcessShutdown(); }

void Engine::ProcessShutdown() {
    OnUsageChange();
    m_UsageRefreshTimer = nullptr;  // deleted with the processor's timer queue
    Cleanup();
}

void Engine::Cleanup() {
    DestroyWebSocketClient();
    DestroyUttManager();
    DestroyRdrManager();
}

void Engine::OnOpenChannel(Channel *channel) {
    m_Channels.push_back(channel);
    m_PeakChannels = std::max<uint64_t>(m_PeakChannels, m_Channels.size());
    OnUsageChange();
}

void Engine::OnCloseChannel(Channel *channel) {
    m_Channels.remove(channel);
    OnUsageChange();
}

void Engine::OnUsageChange() { ReportUsage(m_MonitoringSettings.usage_change_handler); }

void Engine::OnTimeoutElapsed(Ombra::Timer *timer) {
    if (timer && timer == m_UsageRefreshTimer)
        ReportUsage(m_MonitoringSettings.usage_refresh_handler);
}

void Engine::ReportUsage(const MonitoringHandler &handler) {
    UsageFigures usage;
    usage.in_use = m_Channels.size();
    usage.max_used = m_PeakChannels;
    usage.total = (m_Handle && m_Handle->config) ? m_Handle->config->max_channel_count : 0;
    KORAL::ReportUsage(handler, usage, [this](std::ofstream &out) {
        for (Channel *channel : m_Channels) channel->Dump(out);
    });
}

}  // namespace KORAL
