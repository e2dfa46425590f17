// The audio path of a service connection on the client's loop thread: one
// 80 ms chunk of 16 kHz audio (2560 bytes) composed into an audio message,
// framed, masked and written through TLS, against a bare SSL_write of the
// same frame bytes (composed beforehand) on the same TLS socket. Both are
// timed on the loop thread up to the point where the bytes were handed to
// the kernel.
//
// The machine is shared: wall time there counts other programs' turns. The
// "Cpu" pair therefore counts the CPU time of this process instead (the
// service is another process), and the chunk goes the whole way a channel
// sends it: posted from another thread (the engine thread in the plugin),
// handed to the loop, composed, framed, masked and written through TLS;
// against the same bare SSL_write, handed to the loop in the same way.
//
// The peer is the local speech service (scripted engine) when it was built;
// otherwise a TLS endpoint on loopback that answers the token request and
// the upgrade and discards the rest. Certificates come from
// scripts/make-test-certs.
#include <apr_general.h>
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/bufferevent_ssl.h>
#include <event2/event.h>
#include <event2/listener.h>
#include <event2/thread.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KoralRxClient.h"
#include "KoralRxConnection.h"
#include "KoralRxMessageAudio.h"
#include "KoralRxWsFrame.h"
#include "KoralRxWsHandshake.h"
#include "apt_log.h"

namespace {

// ---- the discarding TLS peer ---------------------------------------------

struct SinkPeer {
    bufferevent *m_Bev = nullptr;
    std::string m_Head;
    bool m_Streaming = false;
};

class Sink {
  public:
    bool Start(const std::string &cert, const std::string &key) {
        evthread_use_pthreads();
        m_Ctx = SSL_CTX_new(TLS_server_method());
        if (SSL_CTX_use_certificate_chain_file(m_Ctx, cert.c_str()) != 1 ||
            SSL_CTX_use_PrivateKey_file(m_Ctx, key.c_str(), SSL_FILETYPE_PEM) != 1) {
            return false;
        }
        m_Base = event_base_new();
        evthread_make_base_notifiable(m_Base);
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_Listener =
            evconnlistener_new_bind(m_Base, Accept, this, LEV_OPT_CLOSE_ON_FREE | LEV_OPT_REUSEABLE,
                                    16, reinterpret_cast<sockaddr *>(&sin), sizeof(sin));
        if (!m_Listener) {
            return false;
        }
        socklen_t len = sizeof(sin);
        getsockname(evconnlistener_get_fd(m_Listener), reinterpret_cast<sockaddr *>(&sin), &len);
        m_Port = ntohs(sin.sin_port);
        m_Thread = std::thread([this] { event_base_loop(m_Base, EVLOOP_NO_EXIT_ON_EMPTY); });
        return true;
    }
    void Stop() {
        if (m_Thread.joinable()) {
            event_base_loopbreak(m_Base);
            m_Thread.join();
        }
        for (SinkPeer *p : m_Peers) {
            if (p->m_Bev) {
                bufferevent_free(p->m_Bev);
            }
            delete p;
        }
        if (m_Listener) {
            evconnlistener_free(m_Listener);
        }
        if (m_Base) {
            event_base_free(m_Base);
        }
        if (m_Ctx) {
            SSL_CTX_free(m_Ctx);
        }
    }
    int Port() const { return m_Port; }

  private:
    static void Accept(evconnlistener *, evutil_socket_t fd, sockaddr *, int, void *arg) {
        Sink *s = static_cast<Sink *>(arg);
        SinkPeer *p = new SinkPeer;
        s->m_Peers.push_back(p);
        p->m_Bev = bufferevent_openssl_socket_new(s->m_Base, fd, SSL_new(s->m_Ctx),
                                                  BUFFEREVENT_SSL_ACCEPTING, BEV_OPT_CLOSE_ON_FREE);
        bufferevent_openssl_set_allow_dirty_shutdown(p->m_Bev, 1);
        bufferevent_setcb(p->m_Bev, Read, nullptr, Event, p);
        bufferevent_enable(p->m_Bev, EV_READ | EV_WRITE);
    }
    static void Read(bufferevent *bev, void *arg) {
        SinkPeer *p = static_cast<SinkPeer *>(arg);
        evbuffer *in = bufferevent_get_input(bev);
        if (p->m_Streaming) {
            evbuffer_drain(in, evbuffer_get_length(in));
            return;
        }
        size_t n = evbuffer_get_length(in);
        std::string data(n, '\0');
        evbuffer_remove(in, &data[0], n);
        p->m_Head += data;
        if (p->m_Head.find("\r\n\r\n") == std::string::npos) {
            return;
        }
        if (p->m_Head.compare(0, 5, "POST ") == 0) {
            static const char reply[] =
                "HTTP/1.1 200 OK\r\nContent-Length: 10\r\nConnection: close\r\n\r\nbenchtoken";
            bufferevent_write(bev, reply, sizeof(reply) - 1);
        } else {
            std::string key;
            KORAL::WsHandshake::FindHeader(p->m_Head.data(), p->m_Head.size(), "Sec-WebSocket-Key",
                                           key);
            std::string reply = "HTTP/1.1 101 Switching Protocols\r\nSec-WebSocket-Accept: " +
                                KORAL::WsHandshake::AcceptKey(key) + "\r\n\r\n";
            bufferevent_write(bev, reply.data(), reply.size());
        }
        p->m_Streaming = true;
    }
    static void Event(bufferevent *bev, short events, void *arg) {
        if (events & (BEV_EVENT_EOF | BEV_EVENT_ERROR)) {
            SinkPeer *p = static_cast<SinkPeer *>(arg);
            bufferevent_free(p->m_Bev);
            p->m_Bev = nullptr;
        }
    }

    SSL_CTX *m_Ctx = nullptr;
    event_base *m_Base = nullptr;
    evconnlistener *m_Listener = nullptr;
    std::thread m_Thread;
    std::vector<SinkPeer *> m_Peers;
    int m_Port = 0;
};

// ---- the local speech service ------------------------------------------------

class LocalService {
  public:
    // Starts `program` on a free loopback port; false when it did not come up.
    bool Start(const std::string &program, const std::string &cert, const std::string &key) {
        int out[2];
        if (access(program.c_str(), X_OK) != 0 || pipe(out) != 0) {
            return false;
        }
        m_Pid = fork();
        if (m_Pid == 0) {
            dup2(out[1], 1);
            close(out[0]);
            close(out[1]);
            execl(program.c_str(), program.c_str(), "--listen", "127.0.0.1:0", "--cert",
                  cert.c_str(), "--key", key.c_str(), "--subscription-key", "bench", "--engine",
                  "script", (char *)nullptr);
            _exit(127);
        }
        close(out[1]);
        if (m_Pid < 0) {
            close(out[0]);
            return false;
        }
        // "speech-service ready on 127.0.0.1:PORT (tls)"
        std::string text;
        char buf[256];
        ssize_t n;
        while (text.find('\n') == std::string::npos && (n = read(out[0], buf, sizeof(buf))) > 0) {
            text.append(buf, static_cast<size_t>(n));
        }
        close(out[0]);
        size_t at = text.find("ready on 127.0.0.1:");
        if (at == std::string::npos) {
            return false;
        }
        m_Port = atoi(text.c_str() + at + 19);
        return m_Port > 0;
    }
    ~LocalService() {
        if (m_Pid > 0) {
            kill(m_Pid, SIGTERM);
            waitpid(m_Pid, nullptr, 0);
        }
    }
    int Port() const { return m_Port; }

  private:
    pid_t m_Pid = -1;
    int m_Port = 0;
};

// ---- the client side --------------------------------------------------------

class Ready : public KORAL::WebSocketConnection::Handler, public KORAL::WebSocketClient::Observer {
  public:
    void OnConnect(bool ok, const KORAL::WebSocketConnection::ConnectionStats &) override {
        Set(ok ? 1 : -1);
    }
    void OnClose() override { Set(2); }
    void OnMessage(const KORAL::WebSocketSrMessage &) override {}
    bool OnStart(KORAL::WebSocketClient *) override {
        Set(0);
        return true;
    }
    int Wait(int atLeast) {
        std::unique_lock<std::mutex> lock(m_Mutex);
        m_Cond.wait_for(lock, std::chrono::seconds(20),
                        [&] { return m_State >= atLeast || m_State == -1; });
        return m_State;
    }

  private:
    void Set(int s) {
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_State = s;
        }
        m_Cond.notify_all();
    }
    std::mutex m_Mutex;
    std::condition_variable m_Cond;
    int m_State = -100;
};

// Runs a piece of work on the loop thread and hands back its duration.
class TimedWork : public KORAL::Event {
  public:
    TimedWork(KORAL::WebSocketClient *client, std::function<void()> work)
        : Event(client), m_Work(std::move(work)) {}
    void Process() override {
        auto start = std::chrono::steady_clock::now();
        m_Work();
        auto end = std::chrono::steady_clock::now();
        std::lock_guard<std::mutex> lock(*m_Mutex);
        *m_Seconds = std::chrono::duration<double>(end - start).count();
        *m_Done = true;
        m_Cond->notify_all();
    }
    std::function<void()> m_Work;
    std::mutex *m_Mutex = nullptr;
    std::condition_variable *m_Cond = nullptr;
    double *m_Seconds = nullptr;
    bool *m_Done = nullptr;
};

const size_t kChunkBytes = 2560;  // 80 ms at 16 kHz, 16-bit mono
const int kChunksPerBatch = 1;
const char kRequestId[] = "0123456789abcdef0123456789abcdef";

// Waits until the socket can take more bytes.
void WaitWritable(int fd) {
    pollfd p{fd, POLLOUT, 0};
    poll(&p, 1, 1000);
}

// Writes `frame` `count` times straight through the connection's TLS
// session, waiting while the socket is full; false when a write fails.
bool BareSslWrite(KORAL::WebSocketConnection *c, const std::vector<uint8_t> &frame, int count) {
    bufferevent *bev = c->GetTransport().Bev();
    SSL *ssl = bev ? bufferevent_openssl_get_ssl(bev) : nullptr;
    int fd = bev ? bufferevent_getfd(bev) : -1;
    for (int i = 0; ssl && i < count; ++i) {
        size_t done = 0;
        while (done < frame.size()) {
            int n = SSL_write(ssl, frame.data() + done, static_cast<int>(frame.size() - done));
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            int err = SSL_get_error(ssl, n);
            if (err != SSL_ERROR_WANT_WRITE && err != SSL_ERROR_WANT_READ) return false;
            WaitWritable(fd);
        }
    }
    return true;
}

struct Setup {
    std::string m_Dir;
    Sink m_Sink;
    LocalService m_Service;
    std::string m_Peer;
    std::vector<char> m_Chunk;
    Ready m_Ready;
    std::unique_ptr<KORAL::WebSocketClient> m_Client;
    std::unique_ptr<KORAL::WebSocketConnection> m_Connection;
    bool m_Ok = false;

    Setup() {
        apr_initialize();
        apt_log_priority_set(APT_PRIO_WARNING);
        char tmpl[] = "/tmp/koral-client-bench-XXXXXX";
        m_Dir = mkdtemp(tmpl);
        const char *src = getenv("KORAL_SOURCE_DIR");
        std::string script =
            std::string(src ? src : KORAL_BENCH_SOURCE_DIR) + "/scripts/make-test-certs";
        if (system((script + " " + m_Dir).c_str()) != 0) {
            return;
        }
        int port = 0;
        const char *service = getenv("KORAL_SPEECH_SERVICE");
        std::string program = service ? service : KORAL_BENCH_SPEECH_SERVICE;
        if (!program.empty() &&
            m_Service.Start(program, m_Dir + "/server.crt", m_Dir + "/server.key")) {
            port = m_Service.Port();
            m_Peer = "local speech service";
        } else if (m_Sink.Start(m_Dir + "/server.crt", m_Dir + "/server.key")) {
            port = m_Sink.Port();
            m_Peer = "discarding TLS endpoint";
        } else {
            return;
        }
        std::string base = "https://127.0.0.1:" + std::to_string(port);
        m_Client.reset(new KORAL::WebSocketClient("WSL", false));
        m_Client->SetObserver(&m_Ready);
        m_Client->m_AuthSettings.m_Uri = base + "/sts/v1.0/issueToken";
        m_Client->m_AuthSettings.m_Key = "bench";
        m_Client->m_TlsSettings.m_CaFile = m_Dir + "/ca.crt";
        if (!m_Client->Start(nullptr) || m_Ready.Wait(0) != 0) {
            return;
        }
        m_Connection.reset(new KORAL::WebSocketConnection(&m_Ready, m_Client.get(), nullptr));
        m_Connection->Connect("bench",
                              base + "/speech/recognition/interactive/cognitiveservices/v1", "",
                              "en-US", 16000);
        m_Ok = m_Ready.Wait(1) == 1;
        m_Chunk.resize(kChunkBytes);
        for (size_t i = 0; i < m_Chunk.size(); ++i) {
            m_Chunk[i] = static_cast<char>(i * 31);
        }
        // The turn's first message (with the WAV header) goes first, so that
        // every measured frame is an ordinary audio message of that turn.
        if (m_Ok) {
            m_Connection->PostAudioData(kRequestId, m_Chunk.data(), m_Chunk.size());
        }
    }
    ~Setup() {
        if (m_Connection) {
            m_Connection->Close();
            m_Ready.Wait(2);
            m_Connection.reset();
        }
        if (m_Client) {
            m_Client->Shutdown(true);
        }
        m_Client.reset();
        m_Sink.Stop();
        system(("rm -rf '" + m_Dir + "'").c_str());
    }

    // Runs `work` on the loop thread; returns its duration in seconds.
    double OnLoop(std::function<void()> work) {
        std::mutex mutex;
        std::condition_variable cond;
        double seconds = 0;
        bool done = false;
        TimedWork *e = new TimedWork(m_Client.get(), std::move(work));
        e->m_Mutex = &mutex;
        e->m_Cond = &cond;
        e->m_Seconds = &seconds;
        e->m_Done = &done;
        m_Client->PostEvent(e);
        std::unique_lock<std::mutex> lock(mutex);
        cond.wait(lock, [&] { return done; });
        return seconds;
    }
};

Setup &TheSetup() {
    static Setup setup;
    return setup;
}

// The connected setup, labelled with its peer; null (the benchmark skipped) without one.
Setup *ReadySetup(benchmark::State &state) {
    Setup &s = TheSetup();
    if (!s.m_Ok) {
        state.SkipWithError("no TLS connection to the local endpoint");
        return nullptr;
    }
    state.SetLabel(s.m_Peer);
    return &s;
}

// One audio message of the turn as the connection composes it (timestamp,
// header block, fresh masking key, masked copy of the audio) into `out`.
size_t ComposeFrame(std::vector<uint8_t> &out, const std::vector<char> &audio) {
    KORAL::WebSocketSrMessage m(KORAL::WebSocketSrMessage::CLIENT_ORIGINATED);
    m.m_Method = KORAL::WebSocketSrMessage::CLIENT_METHOD_AUDIO;
    m.m_RequestId = kRequestId;
    KORAL::WebSocketSrMessage::GenerateXTimestamp(apr_time_now(), m.m_Timestamp);
    m.m_ContentType = "audio/x-wav";
    std::string header;
    m.GenerateHeader(header, false);
    KORAL::BinaryMessage message;
    message.m_Header = &header;
    message.m_Audio = reinterpret_cast<const uint8_t *>(audio.data());
    message.m_AudioSize = audio.size();
    uint8_t key[4];
    KORAL::WsFrame::RandomMaskKey(key);
    out.resize(KORAL::BinaryFrameSize(message));
    return KORAL::WriteBinaryFrame(out.data(), message, key);
}

// The composition alone, into memory.
void BM_ComposeMaskedFrameOnly(benchmark::State &state) {
    apr_initialize();
    std::vector<char> audio(kChunkBytes, 7);
    std::vector<uint8_t> out;
    for (auto _ : state) {
        benchmark::DoNotOptimize(ComposeFrame(out, audio));
    }
    state.SetBytesProcessed(state.iterations() * kChunkBytes);
}

void BM_FramedMaskedTlsChunk(benchmark::State &state) {
    Setup *ready = ReadySetup(state);
    if (!ready) return;
    Setup &s = *ready;
    KORAL::WebSocketConnection *c = s.m_Connection.get();
    event_base *base = s.m_Client->GetEventBase();
    for (auto _ : state) {
        double seconds = s.OnLoop([&] {
            for (int i = 0; i < kChunksPerBatch; ++i) {
                c->ProcessAudioData(kRequestId, s.m_Chunk);
                // Until the TLS layer has written everything to the socket.
                evbuffer *out = c->GetTransport().Output();
                while (out && evbuffer_get_length(out) > 0) {
                    event_base_loop(base, EVLOOP_ONCE);
                }
            }
        });
        state.SetIterationTime(seconds / kChunksPerBatch);
    }
    state.SetBytesProcessed(state.iterations() * kChunkBytes);
}

void BM_BareSslWriteChunk(benchmark::State &state) {
    Setup *ready = ReadySetup(state);
    if (!ready) return;
    Setup &s = *ready;
    // The same frame bytes, composed once beforehand.
    std::vector<uint8_t> frame;
    ComposeFrame(frame, s.m_Chunk);
    KORAL::WebSocketConnection *c = s.m_Connection.get();
    bool failed = false;
    for (auto _ : state) {
        double seconds = s.OnLoop([&] {
            if (!BareSslWrite(c, frame, kChunksPerBatch)) failed = true;
        });
        state.SetIterationTime(seconds / kChunksPerBatch);
    }
    if (failed) {
        state.SkipWithError("the TLS write failed");
    }
    state.SetBytesProcessed(state.iterations() * kChunkBytes);
}

double ProcessCpuSeconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

const int kCpuBatch = 16;  // chunks posted before the loop drains them

void BM_PostedChunkCpu(benchmark::State &state) {
    Setup *ready = ReadySetup(state);
    if (!ready) return;
    Setup &s = *ready;
    KORAL::WebSocketConnection *c = s.m_Connection.get();
    event_base *base = s.m_Client->GetEventBase();
    for (auto _ : state) {
        const double start = ProcessCpuSeconds();
        for (int i = 0; i < kCpuBatch; ++i) {
            c->PostAudioData(kRequestId, s.m_Chunk.data(), s.m_Chunk.size());
        }
        // Behind the chunks in the loop's queue: until all is written.
        s.OnLoop([&] {
            evbuffer *out = c->GetTransport().Output();
            while (out && evbuffer_get_length(out) > 0) {
                event_base_loop(base, EVLOOP_ONCE);
            }
        });
        state.SetIterationTime((ProcessCpuSeconds() - start) / kCpuBatch);
    }
    state.SetBytesProcessed(state.iterations() * kChunkBytes);
}

void BM_BareSslWriteChunkCpu(benchmark::State &state) {
    Setup *ready = ReadySetup(state);
    if (!ready) return;
    Setup &s = *ready;
    std::vector<uint8_t> frame;
    ComposeFrame(frame, s.m_Chunk);
    KORAL::WebSocketConnection *c = s.m_Connection.get();
    bool failed = false;
    for (auto _ : state) {
        const double start = ProcessCpuSeconds();
        s.OnLoop([&] {
            if (!BareSslWrite(c, frame, kCpuBatch)) failed = true;
        });
        state.SetIterationTime((ProcessCpuSeconds() - start) / kCpuBatch);
    }
    if (failed) {
        state.SkipWithError("the TLS write failed");
    }
    state.SetBytesProcessed(state.iterations() * kChunkBytes);
}

}  // namespace

BENCHMARK(BM_ComposeMaskedFrameOnly)->Unit(benchmark::kMicrosecond);
// Manual time: each iteration is one chunk timed on the loop thread, so the
// reported time is microseconds per chunk.
BENCHMARK(BM_FramedMaskedTlsChunk)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BareSslWriteChunk)->UseManualTime()->Unit(benchmark::kMicrosecond);
// Manual time: CPU time of the process per chunk.
BENCHMARK(BM_PostedChunkCpu)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BareSslWriteChunkCpu)->UseManualTime()->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
