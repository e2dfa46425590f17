// koral-soak: many recognitions over many channels at once, through the
// plugin loaded by the host library, against the local speech service over
// TLS, with a service fault, a STOP, DTMF, silence or a channel close drawn
// for each from a seeded generator. Every accepted RECOGNIZE must end exactly
// once with a cause that fits what was done to it; the report at the end
// lists what ran, what was injected, how recognitions ended and every
// mismatch (exit status 1 when there is one).
//
//   koral-soak [--recognitions N] [--channels C] [--seed S] [--speed X]
//              [--log-priority P] [--skip-fault KIND]... [--keep]
#include <apr_file_info.h>
#include <apr_general.h>
#include <apr_pools.h>
#include <execinfo.h>
#include <rapidjson/document.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "KoralTest/Speech.h"
#include "KoralTest/SpeechServiceProcess.h"
#include "KoralTest/TempDir.h"
#include "KoralTest/TestCerts.h"
#include "SoakPlan.h"
#include "TestClient.h"
#include "apt_dir_layout.h"
#include "apt_log.h"
#include "engine_host.h"
#include "media_clock.h"
#include "plugin_module.h"

namespace KoralSoak {

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    int recognitions = 3000;
    int channels = 24;
    uint64_t seed = 20261206;
    double speed = 1.0;
    std::string log_priority = "NOTICE";
    bool keep = false;
    std::set<std::string> skip;  // service fault kinds left out
};

// Wall-clock bounds: a recognition's end, a STOP's answer. The plugin bounds
// every recognition itself (timers, result timeout); these only catch one
// that never ends.
constexpr long kEndWaitMs = 90000;
constexpr long kResponseWaitMs = 30000;
// A token fault posted to the service is met by the token client's next
// fetch (one refresh period at most, behind nothing: one fault at a time),
// answered within seconds even on a loaded machine (3.8 s seen).
constexpr double kTokenWindowS = 10.0;
// A connect refused while the token client had no token is logged by the
// channel a little later, on the engine thread.
constexpr double kTokenLagS = 2.0;
// The plugin's wait for a turn's result after its end of audio (the
// configuration's result-timeout), and the slack allowed between the logs of
// two processes and for a message in transit on the loopback.
constexpr int kResultTimeoutS = 5;
constexpr double kLogSlackS = 0.5;
// The no-input timeout of every RECOGNIZE.
constexpr int kNoInputTimeoutMs = 3000;

// What the plugin sent for one request id of one channel.
struct Ends {
    int responses = 0;
    std::string state;  // of the first response
    int status = -1;
    int start_of_input = 0;
    std::vector<int> completions;  // Completion-Cause of each RECOGNITION-COMPLETE
    std::vector<double> completion_times;
    std::string body;                   // of the first RECOGNITION-COMPLETE
    bool stop_answered_active = false;  // a STOP response named this request as stopped
    double last_time = 0;
};

struct Recognition {
    int worker = 0;
    std::string channel;
    std::string channel_id;  // the host's id, which the plugin's log lines name
    unsigned request_id = 0;
    Plan plan;
    double started = 0;  // seconds since the run began
    double ended = 0;
    bool accepted = false;
    bool ended_in_time = false;
    double close_answered = -1;  // channel closed mid-recognition, when answered
};

class Collector {
  public:
    void Add(const vantor::MessageRecord &m) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_.count(m.channel)) late_.push_back(m.channel + " " + m.name);
        if (m.is_event) {
            Ends &e = ends_[{m.channel, m.request_id}];
            e.last_time = m.t;
            if (m.id == RECOGNIZER_START_OF_INPUT) ++e.start_of_input;
            if (m.id == RECOGNIZER_RECOGNITION_COMPLETE) {
                if (e.completions.empty()) e.body = m.body;
                e.completions.push_back(m.cause);
                e.completion_times.push_back(m.t);
            }
            return;
        }
        Ends &e = ends_[{m.channel, m.request_id}];
        if (e.responses++ == 0) {
            e.state = m.state;
            e.status = m.status;
        }
        if (m.name == "STOP") {
            for (const auto &h : m.headers) {
                if (h.first != "Active-Request-Id-List") continue;
                size_t at = 0;
                while (at < h.second.size()) {
                    size_t comma = h.second.find(',', at);
                    std::string id = h.second.substr(
                        at, comma == std::string::npos ? std::string::npos : comma - at);
                    ends_[{m.channel,
                           static_cast<mrcp_request_id>(std::strtoul(id.c_str(), nullptr, 10))}]
                        .stop_answered_active = true;
                    at = comma == std::string::npos ? h.second.size() : comma + 1;
                }
            }
        }
    }
    void Closed(const std::string &channel) {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_[channel] = true;
    }
    Ends Get(const std::string &channel, unsigned id) {
        std::lock_guard<std::mutex> lock(mutex_);
        return ends_[{channel, id}];
    }
    std::vector<std::string> Late() {
        std::lock_guard<std::mutex> lock(mutex_);
        return late_;
    }

  private:
    std::mutex mutex_;
    std::map<std::pair<std::string, unsigned>, Ends> ends_;
    std::map<std::string, bool> closed_;
    std::vector<std::string> late_;
};

struct Shared {
    Options options;
    vantor::EngineHost *host = nullptr;
    vantor::MediaClock *clock = nullptr;
    Collector collector;
    KoralTest::Samples speech;
    uint16_t service_port = 0;
    std::string ca_file;
    Clock::time_point start;
    double wall_start = 0;  // the same moment, in seconds since the epoch (the logs' times)

    std::mutex mutex;  // channel creation; the lists below
    std::vector<Recognition> recognitions;
    std::vector<std::string> problems;  // failures of the run itself
    std::vector<std::pair<double, double>> token_windows;

    // What the host log told (OnLogLine): a mutex of its own, taken inside
    // the host log's lock, so never held while logging.
    std::mutex log_mutex;
    std::multimap<std::string, double> connect_failures;  // channel id, when logged
    // Periods in which the token client had no token: from a failed fetch to
    // the next token retrieved (a negative end: still failing).
    std::vector<std::pair<double, double>> token_failures;
    // Result waits that ran out, by channel id: the turn's request id and
    // when (wall-clock seconds, as the service's event log counts).
    std::multimap<std::string, std::pair<std::string, double>> result_timeouts;

    std::atomic<int> done{0};

    // Opens a token fault window from `start` unless one is open; the check
    // and the opening are one step, so that two workers never queue two.
    bool OpenTokenWindow(double start) {
        std::lock_guard<std::mutex> lock(mutex);
        for (const auto &w : token_windows)
            if (start <= w.second + 1.0) return false;
        token_windows.emplace_back(start, start + kTokenWindowS);
        return true;
    }
    double Now() const { return std::chrono::duration<double>(Clock::now() - start).count(); }
    void Problem(const std::string &text) {
        std::lock_guard<std::mutex> lock(mutex);
        problems.push_back(text);
        fprintf(stderr, "koral-soak: %s\n", text.c_str());
    }
};

// The service's control endpoint over one kept TLS connection.
class Control {
  public:
    Control(uint16_t port, const std::string &ca) : port_(port), ca_(ca) {}

    bool Post(const std::string &path, const std::string &connection, const std::string &body,
              std::string *error) {
        std::string request = "POST " + path +
                              " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) +
                              "\r\nContent-Type: application/json\r\n";
        if (!connection.empty()) request += "X-ConnectionId: " + connection + "\r\n";
        request += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (!client_) {
                client_ = std::make_unique<KoralTest::TestClient>(port_, ca_);
                if (!client_->Open(error)) {
                    client_.reset();
                    continue;
                }
            }
            KoralTest::HttpResponse response = client_->Exchange(request);
            if (response.m_Status == 200) return true;
            if (response.m_Status != 0) {
                *error = path + " answered " + std::to_string(response.m_Status) + ": " +
                         response.m_Body;
                return false;
            }
            client_.reset();  // closed between requests: once more on a new connection
        }
        if (error->empty()) *error = path + ": no answer";
        return false;
    }

  private:
    uint16_t port_;
    std::string ca_;
    std::unique_ptr<KoralTest::TestClient> client_;
};

class Worker {
  public:
    Worker(Shared *shared, int index, int count)
        : shared_(shared),
          index_(index),
          count_(count),
          rng_(shared->options.seed * 1000003ULL + static_cast<uint64_t>(index)),
          control_(shared->service_port, shared->ca_file) {}

    void Run() {
        for (int i = 0; i < count_; ++i) {
            Plan plan = DrawPlan(rng_, channel_ == nullptr, shared_->options.skip);
            if (plan.fresh_channel && channel_) Close();
            if (!channel_ && !Open()) return;
            RunOne(plan);
            ++shared_->done;
        }
        if (channel_) Close();
    }

  private:
    bool Open() {
        std::string error;
        std::string name = "w" + std::to_string(index_) + "c" + std::to_string(channels_++);
        {
            std::lock_guard<std::mutex> lock(shared_->mutex);
            channel_ = shared_->host->CreateChannel(name, 8000, MRCP_VERSION_2, &error);
        }
        if (!channel_ || !shared_->host->OpenChannel(channel_, &error)) {
            shared_->Problem("channel " + name + ": " + error);
            channel_ = nullptr;
            return false;
        }
        next_id_ = 1;
        return true;
    }

    double Close() {
        std::string error;
        std::string name = channel_->name();
        bool ok = shared_->host->CloseChannel(channel_, &error);
        double answered = shared_->Now();
        shared_->collector.Closed(name);
        if (!ok) shared_->Problem("close of channel " + name + ": " + error);
        channel_ = nullptr;
        return answered;
    }

    void RunOne(Plan plan) {
        // What an earlier recognition left queued would be heard by this one.
        if (!channel_->input().WaitEmpty(kResponseWaitMs))
            shared_->Problem(channel_->name() + ": input still queued");
        Recognition r;
        r.worker = index_;
        r.channel = channel_->name();
        r.channel_id = channel_->id();
        r.request_id = next_id_++;
        r.started = shared_->Now();
        if (!plan.token.empty() && !shared_->OpenTokenWindow(r.started)) {
            // One refused fetch at a time: while one lasts, every new
            // connection fails anyway.
            plan.fault = "none";
            plan.token.clear();
            plan.causes = {0};
        }
        r.plan = plan;
        std::string error;
        const std::string &connection = channel_->id();
        if (plan.input == Input::kSpeech &&
            !control_.Post("/control/turn", connection, plan.turn, &error))
            shared_->Problem("control: " + error);
        if (plan.upgrade_status != 0 &&
            !control_.Post("/control/upgrade", connection,
                           "{\"status\":" + std::to_string(plan.upgrade_status) + "}", &error))
            shared_->Problem("control: " + error);
        if (!plan.token.empty() && !control_.Post("/control/token", "", plan.token, &error))
            shared_->Problem("control: " + error);

        std::vector<vantor::Header> headers = {
            {"Content-Type", "text/uri-list"},
            {"No-Input-Timeout", std::to_string(kNoInputTimeoutMs)}};
        std::string grammar = plan.input == Input::kDtmf ? "builtin:dtmf/digits?length=4"
                                                         : "builtin:speech/transcribe";
        if (!shared_->host->SendRequest(channel_, "RECOGNIZE", r.request_id, headers,
                                        grammar + "\r\n", true, &error)) {
            shared_->Problem(r.channel + " RECOGNIZE: " + error);
            Record(r);
            return;
        }
        vantor::MessageRecord m;
        unsigned id = r.request_id;
        if (!channel_->WaitMessage(
                [id](const vantor::MessageRecord &x) { return !x.is_event && x.request_id == id; },
                kResponseWaitMs, &m)) {
            Record(r);  // reported as unanswered
            Close();
            return;
        }
        r.accepted = m.state == "IN-PROGRESS";
        if (!r.accepted) {
            Record(r);
            return;
        }
        vantor::InputQueue &input = channel_->input();
        switch (plan.input) {
            case Input::kSpeech:
                input.PushSilence(100);
                input.PushAudio(shared_->speech.data(), shared_->speech.size());
                break;
            case Input::kDtmf:
                input.PushSilence(100);
                input.PushDtmf(plan.digits, 100, 100);
                break;
            case Input::kSilence:
                break;
        }
        auto is_end = [id](const vantor::MessageRecord &x) {
            return x.is_event && x.request_id == id && x.id == RECOGNIZER_RECOGNITION_COMPLETE;
        };
        if (plan.interrupt == Interrupt::kStop) {
            shared_->clock->Sleep(static_cast<uint64_t>(plan.interrupt_after_ms));
            unsigned stop_id = next_id_++;
            if (!shared_->host->SendRequest(channel_, "STOP", stop_id, {}, "", false, &error)) {
                shared_->Problem(r.channel + " STOP: " + error);
            } else {
                r.ended_in_time = channel_->WaitMessage(
                    [stop_id](const vantor::MessageRecord &x) {
                        return !x.is_event && x.request_id == stop_id;
                    },
                    kResponseWaitMs, &m);
            }
        } else if (plan.interrupt == Interrupt::kClose) {
            shared_->clock->Sleep(static_cast<uint64_t>(plan.interrupt_after_ms));
            r.close_answered = Close();
            r.ended_in_time = true;
        } else {
            r.ended_in_time = channel_->WaitMessage(is_end, kEndWaitMs, &m);
        }
        r.ended = shared_->Now();
        Record(r);
        // A channel whose recognition did not end is not trusted with another;
        // nor one that asked for a refused upgrade: when its connect failed
        // before upgrading (the token client failing for another worker's token
        // fault), the refusal would strike the channel's next recognition.
        if (channel_ && (!r.ended_in_time || plan.upgrade_status != 0)) Close();
    }

    void Record(const Recognition &r) {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->recognitions.push_back(r);
    }

    Shared *shared_;
    int index_;
    int count_;
    std::mt19937_64 rng_;
    Control control_;
    vantor::HostChannel *channel_ = nullptr;
    int channels_ = 0;
    unsigned next_id_ = 1;
};

Shared *g_shared = nullptr;

// Sees every host log line: notes the channels whose service connection
// failed, and when, and when the token client lost and regained its token.
void OnLogLine(const char *, const char *, int, apt_log_priority_e, const char *message) {
    static const char kFailed[] = "Failed to Connect to Service <";
    if (!message || !g_shared) return;
    Shared &s = *g_shared;
    if (strstr(message, "HTTP auth failure [") ||
        (strstr(message, "Request failed: ") && strstr(message, "for HTTP auth <"))) {
        std::lock_guard<std::mutex> lock(s.log_mutex);
        if (s.token_failures.empty() || s.token_failures.back().second >= 0)
            s.token_failures.emplace_back(s.Now(), -1.0);
        return;
    }
    if (strstr(message, "Access token retrieved")) {
        std::lock_guard<std::mutex> lock(s.log_mutex);
        if (!s.token_failures.empty() && s.token_failures.back().second < 0)
            s.token_failures.back().second = s.Now();
        return;
    }
    static const char kResultTimeout[] = "Result Timed Out [";
    const char *at = strstr(message, kResultTimeout);
    if (at) {
        at += sizeof(kResultTimeout) - 1;
        const char *close = strchr(at, ']');
        const char *id = close ? strstr(close, " <") : nullptr;
        const char *id_end = id ? strchr(id, '>') : nullptr;
        if (!id_end) return;
        double wall =
            std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
                .count();
        std::lock_guard<std::mutex> lock(s.log_mutex);
        s.result_timeouts.emplace(std::string(id + 2, id_end),
                                  std::make_pair(std::string(at, close), wall));
        return;
    }
    at = strstr(message, kFailed);
    if (!at) return;
    at += sizeof(kFailed) - 1;
    const char *end = strchr(at, '@');
    if (!end) return;
    std::lock_guard<std::mutex> lock(s.log_mutex);
    s.connect_failures.emplace(std::string(at, end), s.Now());
}

// A recognition whose connect failed while the token client had no token,
// after a token fault that the soak asked for.
bool TokenFaultVictim(const Shared &s, const Recognition &r) {
    auto injected = [&s](double failed) {
        for (const auto &w : s.token_windows)
            if (failed >= w.first && failed <= w.second) return true;
        return false;
    };
    auto range = s.connect_failures.equal_range(r.channel_id);
    for (auto it = range.first; it != range.second; ++it) {
        double t = it->second;
        if (t < r.started || t > r.ended) continue;
        for (const auto &f : s.token_failures)
            if (injected(f.first) && t >= f.first && (f.second < 0 || t <= f.second + kTokenLagS))
                return true;
    }
    return false;
}

// What the service's event log tells of one turn, in wall-clock seconds
// (negative: not logged).
struct TurnTimeline {
    std::string channel_id;    // X-ConnectionId of the turn's WebSocket
    double started = -1;       // the turn's first audio read
    double start_sent = -1;    // speech.startDetected
    double end_sent = -1;      // the client's end of audio, by its X-Timestamp
    double end_received = -1;  // when the service read it
    double phrase_sent = -1;   // speech.phrase
};

struct ServiceLog {
    std::map<std::string, TurnTimeline> turns;           // by request id
    std::multimap<std::string, std::string> by_channel;  // channel id: request ids
};

// "2026-12-07T01:03:06.249633" (local time) as seconds since the epoch.
double LocalTime(const char *text) {
    tm local{};
    int micros = 0;
    if (sscanf(text, "%d-%d-%dT%d:%d:%d.%d", &local.tm_year, &local.tm_mon, &local.tm_mday,
               &local.tm_hour, &local.tm_min, &local.tm_sec, &micros) != 7)
        return -1;
    local.tm_year -= 1900;
    local.tm_mon -= 1;
    local.tm_isdst = -1;
    return static_cast<double>(mktime(&local)) + micros / 1e6;
}

// A time of the service's log as seconds into the run, "none" when not logged.
std::string RunTime(double wall, double wall_start) {
    if (wall < 0) return "none";
    char text[32];
    snprintf(text, sizeof(text), "%.2f s", wall - wall_start);
    return text;
}

const char *Member(const rapidjson::Value &v, const char *name) {
    auto m = v.FindMember(name);
    return m != v.MemberEnd() && m->value.IsString() ? m->value.GetString() : "";
}

// Reads the service's event log: each turn with its channel and the times
// that tell whether the service answered in time.
ServiceLog ReadServiceLog(const std::string &path) {
    ServiceLog log;
    std::map<int64_t, std::string> channels;  // the service's connection number: channel id
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        // Audio messages are most of the log and tell nothing here.
        if (line.find("\"event\":\"message\"") != std::string::npos &&
            line.find("\"endOfAudio\":true") == std::string::npos)
            continue;
        rapidjson::Document e;
        e.Parse(line.c_str());
        if (e.HasParseError() || !e.IsObject() || !e.HasMember("connection") ||
            !e["connection"].IsInt64())
            continue;
        std::string event = Member(e, "event");
        int64_t connection = e["connection"].GetInt64();
        double time = LocalTime(Member(e, "time"));
        if (event == "upgrade" && e.HasMember("headers") && e["headers"].IsArray()) {
            for (const auto &h : e["headers"].GetArray())
                if (h.IsArray() && h.Size() == 2 && h[0].IsString() && h[1].IsString() &&
                    std::string(h[0].GetString()) == "X-ConnectionId")
                    channels[connection] = h[1].GetString();
            continue;
        }
        std::string id = Member(e, "requestId");
        if (id.empty()) continue;
        TurnTimeline &turn = log.turns[id];
        std::string path = Member(e, "path");
        if (event == "turn-start") {
            turn.channel_id = channels[connection];
            turn.started = time;
            log.by_channel.emplace(turn.channel_id, id);
        } else if (event == "message") {
            turn.end_sent = LocalTime(Member(e, "timestamp"));
            turn.end_received = time;
        } else if (event == "reply" && path == "speech.phrase") {
            turn.phrase_sent = time;
        } else if (event == "reply" && path == "speech.startDetected") {
            turn.start_sent = time;
        }
    }
    return log;
}

// A recognition that ended in recognizer-error because its result wait ran
// out while the service itself was late: the plugin had sent the end of
// audio a whole result timeout before, and the service had not answered
// (mostly: had not even read that end yet) when the wait ran out. Under
// load the sanitized service falls seconds behind on reading, and the error
// is the plugin's right answer then. Anything else stays a mismatch, with
// the timeline in `why`.
bool ResultLate(const Shared &s, const Recognition &r, const ServiceLog &log, std::string *why) {
    double wall_start = s.wall_start;
    auto range = s.result_timeouts.equal_range(r.channel_id);
    for (auto it = range.first; it != range.second; ++it) {
        double fired = it->second.second;
        if (fired < wall_start + r.started || fired > wall_start + r.ended + kLogSlackS) continue;
        auto t = log.turns.find(it->second.first);
        if (t == log.turns.end()) continue;
        const TurnTimeline &turn = t->second;
        *why = "; result wait ran out at " + RunTime(fired, wall_start) +
               ", the service read the end of audio sent at " + RunTime(turn.end_sent, wall_start) +
               " at " + RunTime(turn.end_received, wall_start) + " and sent its phrase at " +
               RunTime(turn.phrase_sent, wall_start);
        return turn.end_sent >= 0 && turn.end_sent <= fired - kResultTimeoutS + kLogSlackS &&
               (turn.phrase_sent < 0 || turn.phrase_sent >= fired - kLogSlackS);
    }
    *why = "; no result wait ran out";
    return false;
}

// A recognition of speech that ended in no-input-timeout because the
// service said speech.startDetected (which stops the no-input timer) only
// after the timer's time: its first turn of the recognition began, or
// reported speech, too late.
bool StartLate(const Shared &s, const Recognition &r, const ServiceLog &log, std::string *why) {
    double wall_start = s.wall_start;
    const TurnTimeline *first = nullptr;
    auto range = log.by_channel.equal_range(r.channel_id);
    for (auto it = range.first; it != range.second; ++it) {
        const TurnTimeline &turn = log.turns.at(it->second);
        if (turn.started < wall_start + r.started - kLogSlackS) continue;
        if (!first || turn.started < first->started) first = &turn;
    }
    if (!first) {
        *why = "; no service turn";
        return false;
    }
    double due = wall_start + r.started + kNoInputTimeoutMs / 1000.0;
    *why = "; the service's turn began at " + RunTime(first->started, wall_start) +
           " and said speech started at " + RunTime(first->start_sent, wall_start);
    return first->start_sent < 0 ? first->started >= due - kLogSlackS
                                 : first->start_sent >= due - kLogSlackS;
}

std::string Describe(const Recognition &r) {
    std::string text = r.channel + " request " + std::to_string(r.request_id) + " (" +
                       InputName(r.plan.input) + ", fault " + r.plan.fault;
    if (r.plan.interrupt == Interrupt::kStop)
        text += ", STOP after " + std::to_string(r.plan.interrupt_after_ms) + " ms";
    if (r.plan.interrupt == Interrupt::kClose)
        text += ", close after " + std::to_string(r.plan.interrupt_after_ms) + " ms";
    // Where to look in the logs: the host's channel id, the seconds into the run.
    char when[64];
    snprintf(when, sizeof(when), "; <%s> %.2f s to %.2f s", r.channel_id.c_str(), r.started,
             r.ended);
    return text + when + ")";
}

std::string Causes(const std::set<int> &causes) {
    std::string text;
    for (int c : causes) text += (text.empty() ? "" : " or ") + std::to_string(c);
    return text;
}

// Checks one recognition; returns the mismatch, empty when it fits. Fills
// `outcome` with how it ended.
std::string Check(Shared &s, const Recognition &r, const ServiceLog &log, std::string *outcome) {
    Ends e = s.collector.Get(r.channel, r.request_id);
    if (e.responses == 0) {
        *outcome = "unanswered";
        return "RECOGNIZE never answered";
    }
    if (e.responses > 1) return "RECOGNIZE answered " + std::to_string(e.responses) + " times";
    if (!r.accepted) {
        *outcome = "refused " + std::to_string(e.status);
        return "RECOGNIZE refused with " + std::to_string(e.status);
    }
    if (e.start_of_input > 1) return std::to_string(e.start_of_input) + " START-OF-INPUT";
    size_t ends = e.completions.size() + (e.stop_answered_active ? 1 : 0);
    if (ends > 1)
        return std::to_string(e.completions.size()) + " RECOGNITION-COMPLETE" +
               (e.stop_answered_active ? " and a STOP response naming it" : "");
    if (r.plan.interrupt == Interrupt::kClose) {
        for (double t : e.completion_times)
            if (r.close_answered >= 0 && t > r.close_answered)
                return "RECOGNITION-COMPLETE after the close was answered";
        if (ends == 0) {
            *outcome = "closed";
            return std::string();
        }
    }
    if (e.stop_answered_active) {
        *outcome = "stopped";
        return r.plan.interrupt == Interrupt::kStop ? std::string()
                                                    : "a STOP response named it, without STOP";
    }
    if (e.completions.empty()) {
        *outcome = "no end";
        return r.plan.interrupt == Interrupt::kStop ? "STOP answered without naming it, and no "
                                                      "RECOGNITION-COMPLETE"
                                                    : "no RECOGNITION-COMPLETE";
    }
    int cause = e.completions.front();
    *outcome = "cause " + std::to_string(cause);
    if (!r.plan.causes.count(cause)) {
        std::string why;
        // Without a connection no speech.startDetected comes, and the
        // no-input timer may end the recognition before the failure does.
        if ((cause == 6 || cause == 2) && TokenFaultVictim(s, r)) {
            *outcome = "cause " + std::to_string(cause) + " (token fault)";
        } else if (cause == 6 && r.plan.input == Input::kSpeech && ResultLate(s, r, log, &why)) {
            *outcome = "cause 6 (result late)";
        } else if (cause == 2 && r.plan.input == Input::kSpeech && StartLate(s, r, log, &why)) {
            *outcome = "cause 2 (start late)";
        } else {
            return "Completion-Cause " + std::to_string(cause) + ", expected " +
                   Causes(r.plan.causes) + why;
        }
    }
    if ((cause == 0 || cause == 1) && e.start_of_input != 1)
        return "cause " + std::to_string(cause) + " without START-OF-INPUT";
    if (cause == 0 && r.plan.input == Input::kDtmf &&
        e.body.find("<instance>" + r.plan.digits + "</instance>") == std::string::npos)
        return "DTMF result lacks the digits " + r.plan.digits;
    if (cause == 0 && r.plan.input == Input::kSpeech &&
        e.body.find("yes please") == std::string::npos)
        return "speech result lacks the words";
    return std::string();
}

void OnPipe(int) {
    static const char kText[] = "koral-soak: SIGPIPE: a write to a closed socket, from\n";
    if (write(2, kText, sizeof(kText) - 1) < 0) _exit(3);
    void *frames[64];
    backtrace_symbols_fd(frames, backtrace(frames, 64), 2);
    _exit(3);
}

bool ParseOptions(int argc, char **argv, Options *o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char *name) -> const char * {
            if (i + 1 >= argc) {
                fprintf(stderr, "koral-soak: %s needs a value\n", name);
                return nullptr;
            }
            return argv[++i];
        };
        const char *v = nullptr;
        if (a == "--recognitions" && (v = value("--recognitions"))) {
            o->recognitions = atoi(v);
        } else if (a == "--channels" && (v = value("--channels"))) {
            o->channels = atoi(v);
        } else if (a == "--seed" && (v = value("--seed"))) {
            o->seed = strtoull(v, nullptr, 10);
        } else if (a == "--speed" && (v = value("--speed"))) {
            o->speed = atof(v);
        } else if (a == "--log-priority" && (v = value("--log-priority"))) {
            o->log_priority = v;
        } else if (a == "--skip-fault" && (v = value("--skip-fault"))) {
            o->skip.insert(v);
        } else if (a == "--keep") {
            o->keep = true;
        } else {
            fprintf(stderr,
                    "usage: koral-soak [--recognitions N] [--channels C] [--seed S] [--speed X] "
                    "[--log-priority P] [--skip-fault KIND]... [--keep]\n");
            return false;
        }
    }
    if (o->recognitions < 1 || o->channels < 1 || o->speed < 0) {
        fprintf(stderr, "koral-soak: recognitions and channels must be positive\n");
        return false;
    }
    o->channels = std::min(o->channels, o->recognitions);
    return true;
}

std::string PluginPath() { return KORAL_SOAK_PLUGIN; }

int Soak(const Options &o, apr_pool_t *pool, const std::string &root) {
    Shared s;
    s.options = o;
    g_shared = &s;
    printf("koral-soak: seed %llu (replay with --seed %llu), %d recognitions on %d channels\n",
           static_cast<unsigned long long>(o.seed), static_cast<unsigned long long>(o.seed),
           o.recognitions, o.channels);
    fflush(stdout);

    std::string error;
    KoralTest::Samples words;
    if (!KoralTest::Synthesize("yes please", 8000, words, &error)) {
        fprintf(stderr, "koral-soak: cannot synthesize speech: %s\n", error.c_str());
        return 2;
    }
    s.speech = words;
    auto certs = KoralTest::TestCerts::Make(&error);
    if (!certs) {
        fprintf(stderr, "koral-soak: certificates: %s\n", error.c_str());
        return 2;
    }
    KoralTest::SpeechServiceOptions so;
    so.m_CertFile = certs->CertFile();
    so.m_KeyFile = certs->KeyFile();
    so.m_CaFile = certs->CaFile();
    auto service = KoralTest::SpeechServiceProcess::Start(so, &error);
    if (!service) {
        fprintf(stderr, "koral-soak: speech service: %s\n", error.c_str());
        return 2;
    }
    s.service_port = service->Port();
    s.ca_file = certs->CaFile();
    std::string key;
    KoralTest::ReadTextFile(service->KeyFilePath(), key);
    KoralTest::WriteTextFile(root + "/data/koralrx-key.json", key);
    // Short result wait and token periods: stalled turns and refused tokens
    // resolve within seconds. On a loaded machine the sanitized service can
    // fall seconds behind on reading; a result wait that runs out then is
    // judged against its event log (ResultLate).
    KoralTest::WriteTextFile(
        root + "/conf/koralrx.xml",
        "<koralrx subscription-key-file=\"koralrx-key.json\"><ws-streaming-recognition "
        "tls-ca-file=\"" +
            certs->CaFile() + "\" result-timeout=\"" + std::to_string(kResultTimeoutS) +
            "\" auth-validation-period=\"2\" "
            "auth-reattempt-timeout=\"1\"/></koralrx>");

    apt_dir_layout_t *layout = apt_default_dir_layout_create(root.c_str(), pool);
    vantor::PluginModule module;
    if (!module.Load(PluginPath(), &error)) {
        fprintf(stderr, "koral-soak: %s\n", error.c_str());
        return 2;
    }
    apr_pool_t *engine_pool = nullptr;
    apr_pool_create(&engine_pool, pool);
    mrcp_engine_t *engine = module.CreateEngine(engine_pool, &error);
    if (!engine) {
        fprintf(stderr, "koral-soak: %s\n", error.c_str());
        module.Abandon();
        return 2;
    }
    vantor::MediaClock clock(o.speed);
    if (!clock.Start(&error)) {
        fprintf(stderr, "koral-soak: %s\n", error.c_str());
        return 2;
    }
    vantor::EngineHostSettings settings;
    settings.dir_layout = layout;
    settings.answer_timeout_ms = 30000;
    int mismatches = 0;
    {
        vantor::EngineHost host(settings, &clock,
                                [&s](const vantor::MessageRecord &m) { s.collector.Add(m); });
        s.host = &host;
        s.clock = &clock;
        s.start = Clock::now();
        s.wall_start =
            std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
                .count();
        apt_log_ext_handler_set(OnLogLine);
        if (!host.OpenEngine(engine, &error)) {
            apt_log_ext_handler_set(nullptr);
            fprintf(stderr, "koral-soak: %s\n", error.c_str());
            clock.Stop();
            module.Abandon();
            return 2;
        }
        std::vector<std::unique_ptr<Worker>> workers;
        for (int i = 0; i < o.channels; ++i) {
            int count = o.recognitions / o.channels + (i < o.recognitions % o.channels ? 1 : 0);
            workers.push_back(std::make_unique<Worker>(&s, i, count));
        }
        std::vector<std::thread> threads;
        for (auto &w : workers) threads.emplace_back([&w] { w->Run(); });
        std::thread progress([&s, &o] {
            int last = -1;
            while (s.done.load() < o.recognitions) {
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                int done = s.done.load();
                if (done / 500 != last / 500 && done > 0) {
                    printf("koral-soak: %d of %d after %.0f s\n", done, o.recognitions, s.Now());
                    fflush(stdout);
                }
                last = done;
            }
        });
        for (auto &t : threads) t.join();
        s.done = o.recognitions;
        progress.join();
        for (const std::string &name : host.OpenChannelNames())
            s.Problem("channel " + name + " still open at the end");
        if (!host.CloseEngine(&error)) s.Problem("engine close: " + error);
        host.DestroyEngine();
        clock.Stop();
        if (host.faults() > 0)
            s.Problem(std::to_string(host.faults()) + " plugin fault(s) seen by the host (log)");
    }
    module.Unload();
    apt_log_ext_handler_set(nullptr);
    int service_status = service->Stop();
    if (service_status != 0) {
        KoralTest::WriteTextFile(root + "/log/speech-service.err", service->Stderr());
        s.Problem("speech service exited with " + std::to_string(service_status) +
                  "; its error output is in log/speech-service.err");
    }
    for (const std::string &late : s.collector.Late())
        s.Problem("message after its channel's close was answered: " + late);

    // The report.
    std::map<std::string, int> faults, outcomes, inputs, interrupts;
    std::vector<std::string> details;
    ServiceLog log = ReadServiceLog(service->EventLogPath());
    for (const Recognition &r : s.recognitions) {
        ++faults[r.plan.fault];
        ++inputs[InputName(r.plan.input)];
        ++interrupts[r.plan.interrupt == Interrupt::kStop    ? "stop"
                     : r.plan.interrupt == Interrupt::kClose ? "close"
                                                             : "none"];
        std::string outcome;
        std::string mismatch = Check(s, r, log, &outcome);
        ++outcomes[outcome];
        if (!mismatch.empty()) {
            ++mismatches;
            if (details.size() < 100) details.push_back(Describe(r) + ": " + mismatch);
        }
    }
    double elapsed = s.Now();
    printf("\nkoral-soak report (seed %llu)\n", static_cast<unsigned long long>(o.seed));
    printf("  recognitions run: %zu in %.1f s on %d concurrent channels\n", s.recognitions.size(),
           elapsed, o.channels);
    char began[32];
    tm local{};
    time_t wall_start = static_cast<time_t>(s.wall_start);
    localtime_r(&wall_start, &local);
    strftime(began, sizeof(began), "%Y-%m-%d %H:%M:%S", &local);
    printf("  began at %s (the logs' time; mismatches give seconds from then)\n", began);
    printf("  inputs:");
    for (const auto &kv : inputs) printf(" %s %d;", kv.first.c_str(), kv.second);
    printf("\n  host interruptions:");
    for (const auto &kv : interrupts) printf(" %s %d;", kv.first.c_str(), kv.second);
    printf("\n  service faults injected:\n");
    for (const auto &kv : faults) printf("    %-32s %d\n", kv.first.c_str(), kv.second);
    printf("  outcomes:\n");
    for (const auto &kv : outcomes) printf("    %-32s %d\n", kv.first.c_str(), kv.second);
    printf("  mismatches: %d\n", mismatches);
    for (const std::string &d : details) printf("    %s\n", d.c_str());
    printf("  problems of the run: %zu\n", s.problems.size());
    for (const std::string &p : s.problems) printf("    %s\n", p.c_str());
    if (s.recognitions.size() != static_cast<size_t>(o.recognitions)) ++mismatches;
    bool failed = mismatches > 0 || !s.problems.empty();
    // Kept beside the host log: what the service received and sent, by time.
    if ((failed || o.keep) && !service->EventLogPath().empty() &&
        rename(service->EventLogPath().c_str(), (root + "/log/speech-service.jsonl").c_str()) != 0)
        fprintf(stderr, "koral-soak: cannot keep the service's event log: %s\n", strerror(errno));
    return failed ? 1 : 0;
}

}  // namespace

}  // namespace KoralSoak

int main(int argc, char **argv) {
    // SIGPIPE keeps its deadly default here, as in a server that does not
    // ignore it: a write to a closed socket anywhere in the process shows
    // up, with where it happened.
    signal(SIGPIPE, KoralSoak::OnPipe);
    KoralSoak::Options o;
    if (!KoralSoak::ParseOptions(argc, argv, &o)) return 2;
    apr_initialize();
    apr_pool_t *pool = nullptr;
    apr_pool_create(&pool, nullptr);
    int code = 2;
    {
        KoralTest::TempDir root("koral-soak");
        for (const char *sub : {"/conf", "/data", "/var", "/log"})
            apr_dir_make_recursive((root.Path() + sub).c_str(), APR_FPROT_OS_DEFAULT, pool);
        apt_log_instance_create(apt_log_priority_translate(o.log_priority.c_str()), pool);
        std::string log = root.Path() + "/log/host.log";
        apt_log_file_open(log.c_str());
        code = KoralSoak::Soak(o, pool, root.Path());
        apt_log_instance_destroy();
        if (code != 0 || o.keep) {
            // Kept for a look: the host log and the configuration.
            std::string kept = root.Path() + "-kept";
            if (rename(root.Path().c_str(), kept.c_str()) == 0)
                printf("koral-soak: host log kept in %s/log/host.log\n", kept.c_str());
        }
    }
    apr_pool_destroy(pool);
    apr_terminate();
    return code;
}
