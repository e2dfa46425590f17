#include "WsSession.h"

#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <chrono>
#include <deque>
#include <iterator>
#include <memory>

#include "SessionProtocol.h"

namespace SpeechService {

namespace {

namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = boost::asio::ip::tcp;

constexpr size_t kMaxClientMessage = size_t{4} * 1024 * 1024;
// The opening handshake, and the closing one of a client that never answers.
constexpr std::chrono::seconds kHandshakeLimit{5};

// A frame the WebSocket library would refuse to write: a server frame with
// a mask (for the "masked" fault).
std::string MaskedTextFrame(const std::string &payload) {
    std::string frame;
    frame += static_cast<char>(0x81);
    size_t n = payload.size();
    if (n <= 125) {
        frame += static_cast<char>(0x80 | n);
    } else if (n <= 65535) {
        frame += static_cast<char>(0x80 | 126);
        frame += static_cast<char>(n >> 8);
        frame += static_cast<char>(n & 0xff);
    } else {
        frame += static_cast<char>(0x80 | 127);
        for (int shift = 56; shift >= 0; shift -= 8)
            frame += static_cast<char>((static_cast<uint64_t>(n) >> shift) & 0xff);
    }
    const unsigned char key[4] = {0x37, 0xfa, 0x21, 0x3d};
    for (unsigned char k : key) frame += static_cast<char>(k);
    for (size_t i = 0; i < n; ++i) frame += static_cast<char>(payload[i] ^ key[i % 4]);
    return frame;
}

// The close code the library sent when it failed the connection itself.
uint16_t CodeForError(const beast::error_code &ec) {
    if (ec == websocket::error::message_too_big || ec == websocket::error::buffer_overflow)
        return 1009;
    if (ec == websocket::error::bad_frame_payload) return 1007;
    return 1002;
}

struct OutItem {
    enum class Kind { Text, Ping, Close, Abort } m_Kind = Kind::Text;
    std::string m_Data;
    int m_Fragments = 1;
    bool m_Masked = false;
    uint16_t m_Code = 1000;
};

template <class Stream>
class WsSession : public Closable,
                  public SessionOutput,
                  public std::enable_shared_from_this<WsSession<Stream>> {
  public:
    WsSession(ServiceContext &context, uint64_t id, Stream stream, const SessionSettings &settings)
        : m_Context(context),
          m_Id(id),
          m_Settings(settings),
          m_Ws(std::move(stream)),
          m_IdleTimer(context.m_Io),
          m_LifeTimer(context.m_Io) {}

    ~WsSession() override {
        if (m_Protocol) m_Protocol->OnClosed();
        m_Context.Unregister(m_Id);
    }

    void Start(HttpRequest request) {
        m_Context.Register(m_Id, this->weak_from_this());
        websocket::stream_base::timeout timeout =
            websocket::stream_base::timeout::suggested(beast::role_type::server);
        timeout.idle_timeout =
            websocket::stream_base::none();  // the service keeps its own idle limit
        // Bounds the opening handshake only: OnAccept turns the library's
        // timeouts off, and the session bounds its closing handshake itself.
        timeout.handshake_timeout = kHandshakeLimit;
        m_Ws.set_option(timeout);
        m_Ws.set_option(websocket::stream_base::decorator([](websocket::response_type &res) {
            res.set(beast::http::field::server, "koralrx-speech-service");
        }));
        // Each message goes out as one frame: fragments only where a fault asks.
        m_Ws.auto_fragment(false);
        m_Ws.read_message_max(kMaxClientMessage);
        m_Ws.async_accept(request, [self = this->shared_from_this()](beast::error_code ec) {
            self->OnAccept(ec);
        });
    }

    void Shutdown() override {
        // Before the handshake is answered, OnAccept sees the shutdown instead.
        if (m_Protocol) SendClose(1001, "service shutting down");
    }

    // SessionOutput
    void SendText(std::string text, int fragments, bool masked) override {
        OutItem item;
        item.m_Data = std::move(text);
        item.m_Fragments = fragments < 1 ? 1 : fragments;
        item.m_Masked = masked;
        Queue(std::move(item));
    }

    void SendPing(std::string payload) override {
        OutItem item;
        item.m_Kind = OutItem::Kind::Ping;
        item.m_Data = payload.substr(0, 125);
        Queue(std::move(item));
    }

    void SendClose(uint16_t code, std::string reason) override {
        OutItem item;
        item.m_Kind = OutItem::Kind::Close;
        item.m_Code = code;
        item.m_Data = reason.substr(0, 123);
        Queue(std::move(item));
    }

    void Abort() override {
        OutItem item;
        item.m_Kind = OutItem::Kind::Abort;
        Queue(std::move(item));
    }

  private:
    void OnAccept(beast::error_code ec) {
        if (ec) {
            m_Context.m_Log.Record("upgrade-failed", m_Id, [&](EventLog::Writer &w) {
                EventLog::Str(w, "error", ec.message());
            });
            return Finish();
        }
        // The library's timeout, when it strikes a closing handshake while a
        // read waits behind the close, trips an assertion of its own (and
        // ends the service in a debug build): no timeout of it from here on.
        websocket::stream_base::timeout open =
            websocket::stream_base::timeout::suggested(beast::role_type::server);
        open.idle_timeout = websocket::stream_base::none();
        open.handshake_timeout = websocket::stream_base::none();
        m_Ws.set_option(open);
        m_Protocol = std::make_shared<SessionProtocol>(m_Id, m_Settings, *m_Context.m_Engine,
                                                       m_Context.m_Log, this);
        ArmIdle();
        m_LifeTimer.expires_after(std::chrono::seconds(m_Context.m_Options.m_MaxConnectionTimeS));
        m_LifeTimer.async_wait([weak = this->weak_from_this()](beast::error_code ec) {
            auto self = weak.lock();
            if (!ec && self) self->LimitReached("connection time limit");
        });
        if (m_Context.m_ShuttingDown) return Shutdown();
        Read();
    }

    void ArmIdle() {
        m_IdleTimer.expires_after(std::chrono::seconds(m_Context.m_Options.m_IdleTimeoutS));
        m_IdleTimer.async_wait([weak = this->weak_from_this()](beast::error_code ec) {
            auto self = weak.lock();
            if (!ec && self) self->LimitReached("idle timeout");
        });
    }

    void LimitReached(const char *why) {
        if (m_CloseQueued || m_Finished) return;
        m_Context.m_Log.Record("limit", m_Id,
                               [&](EventLog::Writer &w) { EventLog::Str(w, "reason", why); });
        if (m_Protocol) m_Protocol->OnClosed();
        SendClose(1000, why);
    }

    void Read() {
        m_Ws.async_read(m_Buffer, [self = this->shared_from_this()](beast::error_code ec, size_t) {
            self->OnRead(ec);
        });
    }

    void OnRead(beast::error_code ec) {
        if (ec) return OnReadError(ec);
        ArmIdle();
        std::string_view data(static_cast<const char *>(m_Buffer.data().data()), m_Buffer.size());
        if (m_Ws.got_text()) {
            m_Protocol->OnText(data);
        } else {
            m_Protocol->OnBinary(data);
        }
        m_Buffer.consume(m_Buffer.size());
        // Reading goes on after a close was sent: the client's close reply ends it.
        Read();
    }

    void OnReadError(beast::error_code ec) {
        if (ec == websocket::error::closed) {
            websocket::close_reason reason = m_Ws.reason();
            m_Context.m_Log.Record("close", m_Id, [&](EventLog::Writer &w) {
                EventLog::Str(w, "by", m_CloseQueued ? "service" : "client");
                w.Key("code");
                w.Uint(reason.code);
                EventLog::Str(w, "reason", std::string(reason.reason.data(), reason.reason.size()));
            });
        } else if (ec.category() ==
                   websocket::make_error_code(websocket::error::closed).category()) {
            // The WebSocket layer found the client's frames invalid and failed the
            // connection itself (unmasked, bad opcode, bad UTF-8, too big...).
            m_Context.m_Log.Record("violation", m_Id, [&](EventLog::Writer &w) {
                w.Key("code");
                w.Uint(CodeForError(ec));
                EventLog::Str(w, "reason", ec.message());
            });
        } else if (!m_CloseQueued && ec.category() == boost::asio::error::get_ssl_category() &&
                   ec != boost::asio::ssl::error::stream_truncated) {
            // Over TLS the layer's own failure is reported as the error of the TLS
            // shutdown that followed it (data after close_notify): only a failed
            // connection makes this side shut TLS down unasked.
            m_Context.m_Log.Record("violation", m_Id, [&](EventLog::Writer &w) {
                w.Key("code");
                w.Uint(1002);
                EventLog::Str(w, "reason", "invalid client frame (" + ec.message() + ")");
            });
        } else {
            m_Context.m_Log.Record("disconnect", m_Id, [&](EventLog::Writer &w) {
                EventLog::Str(w, "error", ec.message());
                EventLog::Str(w, "by", m_Aborted ? "service" : "client");
            });
        }
        Finish();
    }

    // Closes the socket under the session: what it has under way fails.
    void DropSocket() {
        m_Aborted = true;
        beast::error_code ignored;
        tcp::socket &socket = beast::get_lowest_layer(m_Ws).socket();
        socket.shutdown(tcp::socket::shutdown_both, ignored);
        socket.close(ignored);
    }

    void Finish() {
        if (m_Finished) return;
        m_Finished = true;
        m_IdleTimer.cancel();
        m_LifeTimer.cancel();
        if (m_Protocol) m_Protocol->OnClosed();
        // A write under way still reads the front item's bytes: it stays
        // until the session goes.
        if (m_Writing && !m_Queue.empty()) {
            m_Queue.erase(std::next(m_Queue.begin()), m_Queue.end());
        } else {
            m_Queue.clear();
        }
        beast::error_code ignored;
        beast::get_lowest_layer(m_Ws).socket().close(ignored);
        m_Context.Unregister(m_Id);
    }

    void Queue(OutItem item) {
        if (m_Finished || m_CloseQueued) return;
        if (item.m_Kind == OutItem::Kind::Close || item.m_Kind == OutItem::Kind::Abort)
            m_CloseQueued = true;
        m_Queue.push_back(std::move(item));
        Pump();
    }

    void Pump() {
        if (m_Writing || m_Queue.empty() || m_Finished) return;
        m_Writing = true;
        OutItem &item = m_Queue.front();
        auto done = [self = this->shared_from_this()](beast::error_code ec, size_t = 0) {
            self->Written(ec);
        };
        switch (item.m_Kind) {
            case OutItem::Kind::Text:
                if (item.m_Masked) {
                    m_Raw = MaskedTextFrame(item.m_Data);
                    boost::asio::async_write(m_Ws.next_layer(), boost::asio::buffer(m_Raw), done);
                } else if (item.m_Fragments > 1) {
                    WriteFragment(0);
                } else {
                    m_Ws.text(true);
                    m_Ws.async_write(boost::asio::buffer(item.m_Data), done);
                }
                break;
            case OutItem::Kind::Ping:
                m_Ws.async_ping(websocket::ping_data(item.m_Data.c_str()),
                                [done](beast::error_code ec) { done(ec); });
                break;
            case OutItem::Kind::Close:
                m_Context.m_Log.Record("closing", m_Id, [&](EventLog::Writer &w) {
                    w.Key("code");
                    w.Uint(item.m_Code);
                    EventLog::Str(w, "reason", item.m_Data);
                });
                // A client that never answers the close (or never reads it)
                // must not hold the socket long: it is dropped after the limit.
                // The connection's time limit is moot once a close is queued.
                m_LifeTimer.expires_after(kHandshakeLimit);
                m_LifeTimer.async_wait([weak = this->weak_from_this()](beast::error_code ec) {
                    auto self = weak.lock();
                    if (!ec && self && !self->m_Finished) self->DropSocket();
                });
                m_Ws.async_close(websocket::close_reason(
                                     static_cast<websocket::close_code>(item.m_Code), item.m_Data),
                                 [done](beast::error_code ec) { done(ec); });
                break;
            case OutItem::Kind::Abort: {
                DropSocket();
                m_Writing = false;
                m_Queue.clear();
                return;
            }
        }
    }

    // A message in `fragments` frames: the first text frame without FIN, then
    // continuations, the last with FIN.
    void WriteFragment(int index) {
        OutItem &item = m_Queue.front();
        size_t size = item.m_Data.size();
        size_t per = (size + static_cast<size_t>(item.m_Fragments) - 1) /
                     static_cast<size_t>(item.m_Fragments);
        if (per == 0) per = 1;
        size_t from = std::min(size, static_cast<size_t>(index) * per);
        size_t to = std::min(size, from + per);
        bool last = index + 1 >= item.m_Fragments || to >= size;
        m_Ws.text(true);
        m_Ws.async_write_some(
            last, boost::asio::buffer(item.m_Data.data() + from, to - from),
            [self = this->shared_from_this(), index, last](beast::error_code ec, size_t) {
                if (ec || last) return self->Written(ec);
                self->WriteFragment(index + 1);
            });
    }

    void Written(beast::error_code ec) {
        m_Writing = false;
        if (m_Finished) return;
        if (!m_Queue.empty()) m_Queue.pop_front();
        if (ec) {
            // The read side sees the same failure and ends the session.
            m_Queue.clear();
            beast::error_code ignored;
            beast::get_lowest_layer(m_Ws).socket().close(ignored);
            return;
        }
        Pump();
    }

    ServiceContext &m_Context;
    uint64_t m_Id;
    SessionSettings m_Settings;
    websocket::stream<Stream> m_Ws;
    beast::flat_buffer m_Buffer;
    boost::asio::steady_timer m_IdleTimer;
    boost::asio::steady_timer m_LifeTimer;
    std::shared_ptr<SessionProtocol> m_Protocol;
    std::deque<OutItem> m_Queue;
    std::string m_Raw;
    bool m_Writing = false;
    bool m_CloseQueued = false;
    bool m_Aborted = false;
    bool m_Finished = false;
};

template <class Stream>
void Start(ServiceContext &context, uint64_t id, Stream stream, HttpRequest request,
           const SessionSettings &settings) {
    auto session = std::make_shared<WsSession<Stream>>(context, id, std::move(stream), settings);
    session->Start(std::move(request));
}

}  // namespace

void StartWsSession(ServiceContext &context, uint64_t connection, PlainStream stream,
                    HttpRequest request, const SessionSettings &settings) {
    Start(context, connection, std::move(stream), std::move(request), settings);
}

void StartWsSession(ServiceContext &context, uint64_t connection, TlsStream stream,
                    HttpRequest request, const SessionSettings &settings) {
    Start(context, connection, std::move(stream), std::move(request), settings);
}

}  // namespace SpeechService
