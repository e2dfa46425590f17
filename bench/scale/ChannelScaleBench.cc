// How many real-time 8 kHz channels the plugin carries, and how long it takes
// to turn the service's final phrase into RECOGNITION-COMPLETE.
//
// In one process, as a server runs it: the host library loads the plugin
// with dlopen, opens the engine and N recognizer channels, and its media
// clock writes a 10 ms frame to every channel each tick at real-time pace.
// Each channel recognizes over and over: a RECOGNIZE, 300 ms of silence and a
// phrase spoken by flite (then silence until the detector ends the input),
// the next RECOGNIZE as soon as RECOGNITION-COMPLETE arrives. The local speech
// service plays its scripted engine over TLS in a child process.
//
// Per N, over a window after every channel has started:
//   - CPU of each thread, from /proc/self/task/*/stat, grouped by the thread
//     names (koralrx-engine, koralrx-client, ombra-logger: the plugin's;
//     vantor-media: the host's media clock, inside which the plugin's
//     detector runs; the rest: the host's driver) and the service's process;
//   - the media clock's lateness and the ticks that fell behind;
//   - RSS growth over the idle engine, per 100 channels;
//   - for every recognition completed in the window, the time from the
//     service's writing of speech.phrase (its event log, wall clock) to the
//     host receiving RECOGNITION-COMPLETE (wall clock).
//
//   channel_scale_bench [--channels 50,200,500,1000] [--seconds S] [--out DIR]
//
// Writes DIR/scale.dat (one line per N) and DIR/latency-N.dat (sorted
// latencies, ms) and prints "figure" lines that scripts/run-benchmarks reads.
// Not a test: numbers for reports.
#include <apr_general.h>
#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "KoralTest/EventLogReader.h"
#include "KoralTest/Speech.h"
#include "KoralTest/SpeechServiceProcess.h"
#include "KoralTest/TempDir.h"
#include "KoralTest/TestCerts.h"
#include "KoralTest/TestPaths.h"
#include "apt_dir_layout.h"
#include "apt_log.h"
#include "engine_host.h"
#include "media_clock.h"
#include "plugin_module.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    std::vector<int> channels = {50, 200, 500, 1000};
    std::vector<int> latency_at = {100, 1000};  // also run when not in `channels`
    int warmup_s = 4;
    int seconds = 20;
    std::string out = ".";
};

std::vector<int> ParseList(const std::string &text) {
    std::vector<int> values;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ','))
        if (!item.empty()) values.push_back(std::atoi(item.c_str()));
    return values;
}

bool ParseOptions(int argc, char **argv, Options *o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (i + 1 >= argc) return false;
        if (a == "--channels")
            o->channels = ParseList(argv[++i]);
        else if (a == "--latency-channels")
            o->latency_at = ParseList(argv[++i]);
        else if (a == "--seconds")
            o->seconds = std::max(2, std::atoi(argv[++i]));
        else if (a == "--warmup")
            o->warmup_s = std::max(1, std::atoi(argv[++i]));
        else if (a == "--out")
            o->out = argv[++i];
        else
            return false;
    }
    return true;
}

int64_t WallUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The service's event-log time (local, "YYYY-MM-DDTHH:MM:SS.uuuuuu") in
// microseconds since the epoch.
int64_t ParseLocalTime(const std::string &text) {
    struct tm tm = {};
    long usec = 0;
    if (sscanf(text.c_str(), "%d-%d-%dT%d:%d:%d.%ld", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
               &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &usec) != 7)
        return -1;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    tm.tm_isdst = -1;
    return static_cast<int64_t>(mktime(&tm)) * 1000000 + usec;
}

// CPU seconds (user + system) from a /proc stat line, read after the name's
// closing parenthesis: state is the 3rd field, utime and stime the 14th and 15th.
double StatCpu(const std::string &line, size_t close) {
    std::stringstream rest(line.substr(close + 2));
    std::string field;
    unsigned long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14) utime = std::stoul(field);
        if (i == 15) stime = std::stoul(field);
    }
    return (utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// CPU seconds of every thread of this process, by thread name.
std::map<std::string, double> ThreadCpu() {
    std::map<std::string, double> cpu;
    DIR *dir = opendir("/proc/self/task");
    if (!dir) return cpu;
    while (dirent *e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream in(std::string("/proc/self/task/") + e->d_name + "/stat");
        std::string line;
        std::getline(in, line);
        size_t open = line.find('('), close = line.rfind(')');
        if (open == std::string::npos || close == std::string::npos) continue;
        cpu[line.substr(open + 1, close - open - 1)] += StatCpu(line, close);
    }
    closedir(dir);
    return cpu;
}

double ProcessCpu(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(in, line);
    size_t close = line.rfind(')');
    if (close == std::string::npos) return 0;
    return StatCpu(line, close);
}

double RssMb() {
    std::ifstream in("/proc/self/statm");
    long size = 0, resident = 0;
    in >> size >> resident;
    return resident * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

bool IsPluginThread(const std::string &name) {
    return name == "koralrx-engine" || name == "koralrx-client" || name == "ombra-logger";
}

double Percentile(const std::vector<double> &sorted, double p) {
    if (sorted.empty()) return -1;
    size_t i = static_cast<size_t>(std::lround(p * static_cast<double>(sorted.size() - 1)));
    return sorted[std::min(i, sorted.size() - 1)];
}

struct RunResult {
    int channels = 0;
    double window_s = 0;
    double plugin_cpu_s = 0;  // engine, client and logger threads
    double media_cpu_s = 0;   // the media clock's thread: feeding plus the detector
    double driver_cpu_s = 0;  // the rest of this process
    double service_cpu_s = 0;
    std::map<std::string, double> by_thread;
    vantor::MediaClock::TickStats ticks;
    double rss_per_100_mb = 0;
    int completed = 0;
    int failed = 0;  // RECOGNITION-COMPLETE with a cause other than success
    std::vector<double> latency_ms;
};

// One channel's driver state.
struct Driven {
    vantor::HostChannel *channel = nullptr;
    mrcp_request_id next_id = 1;
    std::vector<int64_t> completes_us;  // wall time of each RECOGNITION-COMPLETE
};

class Run {
  public:
    Run(const Options &o, const KoralTest::TestCerts &certs, const KoralTest::Samples &phrase)
        : m_Options(o), m_Certs(certs), m_Phrase(phrase), m_Root("koral-scale") {}

    bool Execute(int n, RunResult *result, std::string *error);

  private:
    bool StartService(std::string *error);
    void Recognize(Driven &d);
    void OnMessage(const vantor::MessageRecord &record);

    const Options &m_Options;
    const KoralTest::TestCerts &m_Certs;
    const KoralTest::Samples &m_Phrase;
    KoralTest::TempDir m_Root;
    std::unique_ptr<KoralTest::SpeechServiceProcess> m_Service;

    std::vector<Driven> m_Driven;
    std::map<std::string, size_t> m_ByName;
    std::mutex m_Mutex;
    std::condition_variable m_Ready;
    std::deque<size_t> m_ReadyQueue;  // channels whose recognition ended
    std::atomic<bool> m_Counting{false};
    std::atomic<int> m_Completed{0};
    std::atomic<int> m_FirstDone{0};  // channels with one recognition done
    std::atomic<int> m_Failed{0};
    double m_HostToWallUs = 0;  // wall µs = host elapsed s * 1e6 + this
    vantor::EngineHost *m_Host = nullptr;
};

bool Run::StartService(std::string *error) {
    KoralTest::SpeechServiceOptions so;
    so.m_Engine = "script";
    so.m_CertFile = m_Certs.CertFile();
    so.m_KeyFile = m_Certs.KeyFile();
    so.m_CaFile = m_Certs.CaFile();
    // The phrase comes with the end of the turn: at the client's empty audio message.
    so.m_Scenario = R"({"turns":[{"nbest":["yes please","yes"]}],"repeat":"last"})";
    m_Service = KoralTest::SpeechServiceProcess::Start(so, error);
    return m_Service != nullptr;
}

void Run::Recognize(Driven &d) {
    std::vector<vantor::Header> headers = {{"Content-Type", "text/uri-list"}};
    std::string why;
    mrcp_request_id id = d.next_id++;
    // Audio first: the frames before the detector starts are silence anyway.
    d.channel->input().PushSilence(300);
    d.channel->input().PushAudio(m_Phrase.data(), m_Phrase.size());
    if (!m_Host->SendRequest(d.channel, "RECOGNIZE", id, headers, "builtin:speech/transcribe\n",
                             true, &why))
        fprintf(stderr, "channel %s: RECOGNIZE: %s\n", d.channel->name().c_str(), why.c_str());
}

void Run::OnMessage(const vantor::MessageRecord &record) {
    if (!record.is_event || record.name != "RECOGNITION-COMPLETE") return;
    const int64_t at = static_cast<int64_t>(record.t * 1e6 + m_HostToWallUs);
    std::lock_guard<std::mutex> lock(m_Mutex);
    auto it = m_ByName.find(record.channel);
    if (it == m_ByName.end()) return;
    m_Driven[it->second].completes_us.push_back(at);
    if (m_Driven[it->second].completes_us.size() == 1) ++m_FirstDone;
    if (m_Counting) {
        ++m_Completed;
        if (record.cause != 0) ++m_Failed;
    }
    m_ReadyQueue.push_back(it->second);
    m_Ready.notify_one();
}

bool Run::Execute(int n, RunResult *result, std::string *error) {
    const std::string root = m_Root.Path();
    for (const char *sub : {"/conf", "/data", "/var", "/log"})
        if (system(("mkdir -p " + root + sub).c_str()) != 0) {
            *error = "cannot make " + root + sub;
            return false;
        }
    if (!StartService(error)) return false;
    std::string key;
    KoralTest::ReadTextFile(m_Service->KeyFilePath(), key);
    KoralTest::WriteTextFile(root + "/data/koralrx-key.json", key);
    KoralTest::WriteTextFile(root + "/conf/koralrx.xml",
                             "<koralrx subscription-key-file=\"koralrx-key.json\">"
                             "<ws-streaming-recognition tls-ca-file=\"" +
                                 m_Certs.CaFile() + "\"/></koralrx>");

    apr_pool_t *pool = nullptr;
    apr_pool_create(&pool, nullptr);
    apt_dir_layout_t *layout = apt_default_dir_layout_create(root.c_str(), pool);
    vantor::PluginModule module;
    if (!module.Load(KORAL_BENCH_PLUGIN, error)) return false;
    apr_pool_t *engine_pool = nullptr;
    apr_pool_create(&engine_pool, pool);
    mrcp_engine_t *engine = module.CreateEngine(engine_pool, error);
    if (!engine) return false;

    vantor::MediaClock clock(1.0);
    if (!clock.Start(error)) return false;
    vantor::EngineHostSettings settings;
    settings.dir_layout = layout;
    settings.answer_timeout_ms = 30000;
    // Destroyed before the module is unloaded: the plugin's cleanups sit in
    // the pools of the host's channels.
    auto owned_host = std::make_unique<vantor::EngineHost>(
        settings, &clock, [this](const vantor::MessageRecord &r) { OnMessage(r); });
    vantor::EngineHost &host = *owned_host;
    m_Host = &host;
    m_HostToWallUs = static_cast<double>(WallUs()) - host.Elapsed() * 1e6;
    if (!host.OpenEngine(engine, error)) {
        module.Abandon();
        return false;
    }
    const double rss_idle = RssMb();

    m_Driven.assign(n, Driven());
    for (int i = 0; i < n; ++i) {
        std::string name = "c" + std::to_string(i);
        vantor::HostChannel *c = host.CreateChannel(name, 8000, MRCP_VERSION_2, error);
        if (!c || !host.OpenChannel(c, error)) {
            *error = name + ": " + *error;
            module.Abandon();
            return false;
        }
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Driven[i].channel = c;
        m_ByName[name] = i;
    }

    // The first RECOGNIZE of each channel spread over one second, so that the
    // channels do not all speak and complete in step.
    std::atomic<bool> stop{false};
    std::thread driver([&] {
        const auto start = Clock::now();
        for (int i = 0; i < n; ++i) {
            std::this_thread::sleep_until(start + std::chrono::microseconds(1000000LL * i / n));
            Recognize(m_Driven[i]);
        }
        std::unique_lock<std::mutex> lock(m_Mutex);
        while (!stop) {
            m_Ready.wait(lock, [&] { return stop || !m_ReadyQueue.empty(); });
            while (!m_ReadyQueue.empty()) {
                size_t i = m_ReadyQueue.front();
                m_ReadyQueue.pop_front();
                lock.unlock();
                Recognize(m_Driven[i]);
                lock.lock();
            }
        }
    });

    // Every channel connected and recognized once, then the warm-up.
    const auto ramp_until = Clock::now() + std::chrono::seconds(120);
    while (m_FirstDone < n && Clock::now() < ramp_until) clock.Sleep(100);
    if (m_FirstDone < n)
        fprintf(stderr, "%d channels: only %d recognized within 120 s\n", n, m_FirstDone.load());
    clock.Sleep(static_cast<uint64_t>(m_Options.warmup_s) * 1000);
    // Every channel is in a recognition now.
    const double rss_busy = RssMb();
    const int64_t window_start_us = WallUs();
    auto cpu0 = ThreadCpu();
    double service0 = ProcessCpu(m_Service->Pid());
    clock.TakeStats();
    m_Counting = true;
    const auto t0 = Clock::now();
    clock.Sleep(static_cast<uint64_t>(m_Options.seconds) * 1000);
    m_Counting = false;
    const double window = std::chrono::duration<double>(Clock::now() - t0).count();
    auto cpu1 = ThreadCpu();
    double service1 = ProcessCpu(m_Service->Pid());
    result->ticks = clock.TakeStats();
    const int64_t window_end_us = WallUs();

    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        stop = true;
        m_Ready.notify_all();
    }
    driver.join();

    result->channels = n;
    result->window_s = window;
    for (auto &[name, seconds] : cpu1) {
        double used = seconds - cpu0[name];
        result->by_thread[name] += used;
        if (IsPluginThread(name))
            result->plugin_cpu_s += used;
        else if (name == "vantor-media")
            result->media_cpu_s += used;
        else
            result->driver_cpu_s += used;
    }
    result->service_cpu_s = service1 - service0;
    result->rss_per_100_mb = (rss_busy - rss_idle) * 100.0 / n;
    result->completed = m_Completed;
    result->failed = m_Failed;

    // Let recognitions in flight end, then close the channels.
    for (Driven &d : m_Driven) d.channel->input().WaitEmpty(10000);
    clock.Sleep(3000);
    for (Driven &d : m_Driven) {
        std::string why;
        if (!host.CloseChannel(d.channel, &why))
            fprintf(stderr, "%s: close: %s\n", d.channel->name().c_str(), why.c_str());
    }
    if (!host.CloseEngine(error)) {
        module.Abandon();
        return false;
    }
    host.DestroyEngine();
    clock.Stop();
    m_Host = nullptr;

    // speech.phrase replies per connection, and each connection's channel id.
    std::map<uint64_t, std::string> connection_channel;
    std::map<uint64_t, std::vector<int64_t>> phrases;
    std::ifstream log(m_Service->EventLogPath());
    std::string line;
    while (std::getline(log, line)) {
        bool upgrade = line.find("\"event\":\"upgrade\"") != std::string::npos;
        bool reply = line.find("\"event\":\"reply\"") != std::string::npos &&
                     line.find("\"path\":\"speech.phrase\"") != std::string::npos;
        if (!upgrade && !reply) continue;
        KoralTest::ServiceEvent e;
        e.m_Line = line;
        e.m_Json = std::make_shared<rapidjson::Document>();
        e.m_Json->Parse(line.c_str());
        if (e.m_Json->HasParseError() || !e.m_Json->IsObject()) continue;
        if (reply) {
            phrases[e.Connection()].push_back(ParseLocalTime(e.Str("time")));
            continue;
        }
        const rapidjson::Value &doc = *e.m_Json;
        if (!doc.HasMember("headers") || !doc["headers"].IsArray()) continue;
        for (const auto &h : doc["headers"].GetArray())
            if (h.IsArray() && h.Size() == 2 && h[0].IsString() && h[1].IsString() &&
                strcasecmp(h[0].GetString(), "X-ConnectionId") == 0)
                connection_channel[e.Connection()] = h[1].GetString();
    }
    std::map<std::string, const Driven *> by_id;
    for (const Driven &d : m_Driven) by_id[d.channel->id()] = &d;
    for (auto &[connection, times] : phrases) {
        auto c = connection_channel.find(connection);
        if (c == connection_channel.end()) continue;
        auto d = by_id.find(c->second);
        if (d == by_id.end()) continue;
        const std::vector<int64_t> &completes = d->second->completes_us;
        // Each phrase ends the channel's next recognition: pair them in order.
        for (size_t k = 0; k < times.size() && k < completes.size(); ++k)
            if (times[k] >= window_start_us && times[k] <= window_end_us)
                result->latency_ms.push_back((completes[k] - times[k]) / 1000.0);
    }
    std::sort(result->latency_ms.begin(), result->latency_ms.end());

    owned_host.reset();
    module.Unload();
    m_Service->Stop();
    apr_pool_destroy(pool);
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
    if (!ParseOptions(argc, argv, &o)) {
        fprintf(stderr,
                "usage: channel_scale_bench [--channels 50,200,500,1000] "
                "[--latency-channels 100,1000] [--seconds S] [--warmup S] [--out DIR]\n");
        return 2;
    }
    apr_initialize();
    apr_pool_t *pool = nullptr;
    apr_pool_create(&pool, nullptr);
    KoralTest::TempDir logs("koral-scale-log");
    apt_log_instance_create(APT_PRIO_NOTICE, pool);
    apt_log_file_open(logs.File("host.log").c_str());

    std::string error;
    auto certs = KoralTest::TestCerts::Make(&error);
    if (!certs) {
        fprintf(stderr, "certificates: %s\n", error.c_str());
        return 1;
    }
    KoralTest::Samples phrase;
    if (!KoralTest::Synthesize("yes please", 8000, phrase, &error)) {
        fprintf(stderr, "flite: %s\n", error.c_str());
        return 1;
    }

    std::vector<int> all = o.channels;
    for (int n : o.latency_at)
        if (std::find(all.begin(), all.end(), n) == all.end()) all.push_back(n);
    std::sort(all.begin(), all.end());

    FILE *scale = fopen((o.out + "/scale.dat").c_str(), "w");
    if (!scale) {
        fprintf(stderr, "cannot write %s/scale.dat\n", o.out.c_str());
        return 1;
    }
    fprintf(scale,
            "# channels plugin_us_per_channel_s media_us_per_channel_s plugin_core_pct "
            "media_core_pct service_core_pct late_max_ms late_mean_ms behind_ticks "
            "rss_per_100_mb completed failed tick_cpu_mean_ms tick_cpu_max_ms\n");
    int largest_on_time = 0;
    double best_us = -1;
    double largest_us = -1;  // cost per channel-second at the largest N asked for
    std::map<int, RunResult> results;
    for (int n : all) {
        RunResult r;
        Run run(o, *certs, phrase);
        if (!run.Execute(n, &r, &error)) {
            fprintf(stderr, "%d channels: %s\n", n, error.c_str());
            return 1;
        }
        // Audio seconds the channels were fed: a late clock feeds fewer.
        const double channel_s = n * r.ticks.ticks / 100.0;
        const double plugin_us = r.plugin_cpu_s * 1e6 / channel_s;
        const double media_us = r.media_cpu_s * 1e6 / channel_s;
        const double late_mean = r.ticks.ticks ? r.ticks.late_sum_ms / r.ticks.ticks : 0;
        const double tick_cpu_mean = r.ticks.ticks ? r.ticks.cpu_sum_ms / r.ticks.ticks : 0;
        printf(
            "%5d channels, %.1f s: plugin threads %.1f us/channel-s (%.1f%% of a core), "
            "media thread %.1f us/channel-s (%.1f%%), driver %.1f%%, service %.1f%%; "
            "ticks late max %.2f ms mean %.3f ms, %llu of %llu behind; "
            "RSS +%.1f MB per 100 channels; %d recognitions, %d not successful\n",
            n, r.window_s, plugin_us, 100 * r.plugin_cpu_s / r.window_s, media_us,
            100 * r.media_cpu_s / r.window_s, 100 * r.driver_cpu_s / r.window_s,
            100 * r.service_cpu_s / r.window_s, r.ticks.late_max_ms, late_mean,
            (unsigned long long)r.ticks.behind, (unsigned long long)r.ticks.ticks, r.rss_per_100_mb,
            r.completed, r.failed);
        for (auto &[name, s] : r.by_thread)
            if (s > 0.005) printf("        %-16s %6.2f s\n", name.c_str(), s);
        fprintf(scale, "%d %.2f %.2f %.2f %.2f %.2f %.3f %.4f %llu %.2f %d %d %.4f %.4f\n", n,
                plugin_us, media_us, 100 * r.plugin_cpu_s / r.window_s,
                100 * r.media_cpu_s / r.window_s, 100 * r.service_cpu_s / r.window_s,
                r.ticks.late_max_ms, late_mean, (unsigned long long)r.ticks.behind,
                r.rss_per_100_mb, r.completed, r.failed, tick_cpu_mean, r.ticks.cpu_max_ms);
        fflush(scale);
        if (r.ticks.behind == 0 && r.failed == 0) largest_on_time = std::max(largest_on_time, n);
        if (std::find(o.channels.begin(), o.channels.end(), n) != o.channels.end()) {
            best_us = best_us < 0 ? plugin_us + media_us : std::max(best_us, plugin_us + media_us);
            largest_us = plugin_us + media_us;
        }
        FILE *lat = fopen((o.out + "/latency-" + std::to_string(n) + ".dat").c_str(), "w");
        if (lat) {
            for (size_t i = 0; i < r.latency_ms.size(); ++i)
                fprintf(lat, "%.4f %.5f\n", r.latency_ms[i],
                        (i + 1) / static_cast<double>(r.latency_ms.size()));
            fclose(lat);
        }
        printf("        completion latency: %zu samples, p50 %.3f ms, p99 %.3f ms, max %.3f ms\n",
               r.latency_ms.size(), Percentile(r.latency_ms, 0.5), Percentile(r.latency_ms, 0.99),
               r.latency_ms.empty() ? -1.0 : r.latency_ms.back());
        results[n] = std::move(r);
    }
    fclose(scale);

    // The figures: the worst per-channel cost seen; the capacity of a core,
    // from the cost at the largest N (the per-channel cost falls as channels
    // share the threads' wake-ups, so a core filled with channels carries as
    // many as that cost allows, not as many as the cost at 50 would); and the
    // latencies at the channel counts asked for.
    if (best_us > 0) {
        printf("figure channel_cpu_us %.2f\n", best_us);
        printf("figure channel_cpu_us_largest %.2f\n", largest_us);
        printf("figure channels_per_core %.0f\n", 1e6 / largest_us);
    }
    printf("figure largest_on_time %d\n", largest_on_time);
    for (int n : o.latency_at) {
        const RunResult &r = results[n];
        printf("figure latency_p50_%d %.3f\n", n, Percentile(r.latency_ms, 0.5));
        printf("figure latency_p99_%d %.3f\n", n, Percentile(r.latency_ms, 0.99));
    }
    double rss = 0;
    for (auto &[n, r] : results) rss = std::max(rss, r.rss_per_100_mb);
    if (!results.empty()) {
        const RunResult &r = results.rbegin()->second;
        printf("figure tick_channels %d\n", r.channels);
        printf("figure tick_cpu_mean_ms %.4f\n",
               r.ticks.ticks ? r.ticks.cpu_sum_ms / r.ticks.ticks : 0);
        printf("figure tick_cpu_max_ms %.4f\n", r.ticks.cpu_max_ms);
    }
    printf("figure rss_per_channel_kb %.1f\n", rss * 1024 / 100);
    apt_log_instance_destroy();
    apr_pool_destroy(pool);
    return 0;
}
