#include "HttpSession.h"

#include <array>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket/rfc6455.hpp>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string_view>

#include "WsSession.h"

namespace SpeechService {

namespace {

namespace beast = boost::beast;
namespace http = beast::http;
using tcp = boost::asio::ip::tcp;

constexpr std::chrono::seconds kLingerPause{1};
constexpr std::chrono::seconds kLingerLimit{10};
constexpr const char *kServerName = "koralrx-speech-service";
constexpr std::string_view kControlPrefix = "/control/";
constexpr const char *kControlTurnPath = "/control/turn";
constexpr const char *kControlUpgradePath = "/control/upgrade";
constexpr const char *kControlTokenPath = "/control/token";

// The status that answers a request the parser refused; 0 when the
// connection failed rather than the request.
int RefusalStatus(const beast::error_code &ec) {
    if (ec.category() != http::make_error_code(http::error::bad_target).category()) return 0;
    switch (static_cast<http::error>(ec.value())) {
        case http::error::header_limit:
            return 431;
        case http::error::body_limit:
            return 413;
        case http::error::end_of_stream:
        case http::error::partial_message:
        case http::error::need_more:
        case http::error::need_buffer:
        case http::error::buffer_overflow:
            return 0;
        default:
            return 400;
    }
}

bool IsTls(PlainStream &) { return false; }
bool IsTls(TlsStream &) { return true; }

template <class Stream>
class HttpSession : public Closable, public std::enable_shared_from_this<HttpSession<Stream>> {
  public:
    HttpSession(ServiceContext &context, uint64_t id, Stream stream)
        : m_Context(context), m_Id(id), m_Stream(std::move(stream)), m_Timer(context.m_Io) {}

    void Start() {
        m_Context.Register(m_Id, this->weak_from_this());
        std::string remote;
        beast::error_code ec;
        tcp::endpoint peer = beast::get_lowest_layer(m_Stream).socket().remote_endpoint(ec);
        if (!ec) remote = peer.address().to_string() + ":" + std::to_string(peer.port());
        m_Context.m_Log.Record("connect", m_Id, [&](EventLog::Writer &w) {
            EventLog::Str(w, "remote", remote);
            w.Key("tls");
            w.Bool(IsTls(m_Stream));
        });
        Handshake(m_Stream);
    }

    void Shutdown() override {
        // A lingering read may be pending: no TLS shutdown beside it.
        if (m_Lingering && !m_Closed) {
            m_Closed = true;
            beast::get_lowest_layer(m_Stream).close();
            return;
        }
        Close();
    }

    // A handshake or request that takes longer (a client sending a byte now
    // and then, or nothing at all) loses its connection.
    std::chrono::seconds RequestTimeout() const {
        return std::chrono::seconds(m_Context.m_Options.m_RequestTimeoutS);
    }

    ~HttpSession() override {
        if (!m_Upgraded) m_Context.Unregister(m_Id);
    }

  private:
    void Handshake(PlainStream &) { Read(); }

    void Handshake(TlsStream &stream) {
        beast::get_lowest_layer(stream).expires_after(RequestTimeout());
        stream.async_handshake(boost::asio::ssl::stream_base::server,
                               [self = this->shared_from_this()](beast::error_code ec) {
                                   if (ec) {
                                       self->m_Context.m_Log.Record(
                                           "tls-failed", self->m_Id, [&](EventLog::Writer &w) {
                                               EventLog::Str(w, "error", ec.message());
                                           });
                                       return self->Close();
                                   }
                                   self->Read();
                               });
    }

    void Read() {
        m_Parser.emplace();
        m_Parser->header_limit(16 * 1024);
        m_Parser->body_limit(64 * 1024);
        beast::get_lowest_layer(m_Stream).expires_after(RequestTimeout());
        http::async_read(
            m_Stream, m_Buffer, *m_Parser,
            [self = this->shared_from_this()](beast::error_code ec, size_t) { self->OnRead(ec); });
    }

    void OnRead(beast::error_code ec) {
        if (ec) {
            // A client closing between requests is normal; anything else is noted,
            // and a request the parser refused is answered before the close.
            if (ec == http::error::end_of_stream || ec == boost::asio::error::eof ||
                ec == boost::asio::ssl::error::stream_truncated ||
                ec == boost::asio::error::operation_aborted) {
                return Close();
            }
            int status = RefusalStatus(ec);
            m_Context.m_Log.Record("http-error", m_Id, [&](EventLog::Writer &w) {
                EventLog::Str(w, "error", ec.message());
                if (status != 0) {
                    w.Key("status");
                    w.Int(status);
                }
            });
            if (status == 0) return Close();
            m_Request = HttpRequest();
            return Respond(static_cast<http::status>(status), ec.message(), false, true);
        }
        m_Request = m_Parser->release();
        if (!IsValidTarget(
                std::string_view(m_Request.target().data(), m_Request.target().size()))) {
            RecordRequest("http", 400, "malformed request target", nullptr);
            return Respond(http::status::bad_request, "malformed request target", false);
        }
        std::string path, query;
        SplitTarget(std::string(m_Request.target()), path, query);
        if (path == kTokenPath) return HandleToken();
        if (path == kRecognitionPath) return HandleUpgrade();
        if (path.compare(0, kControlPrefix.size(), kControlPrefix) == 0) return HandleControl(path);
        RecordRequest("http", 404, "no such endpoint", nullptr);
        Respond(http::status::not_found, "no such endpoint", false);
    }

    void RecordRequest(const char *event, int status, const std::string &reason,
                       const std::function<void(EventLog::Writer &)> &more) {
        m_Context.m_Log.Record(event, m_Id, [&](EventLog::Writer &w) {
            EventLog::Str(w, "method", std::string(m_Request.method_string()));
            EventLog::Str(w, "target", std::string(m_Request.target()));
            w.Key("headers");
            w.StartArray();
            for (const auto &field : m_Request) {
                w.StartArray();
                std::string name(field.name_string()), value(field.value());
                w.String(name.c_str(), static_cast<rapidjson::SizeType>(name.size()));
                w.String(value.c_str(), static_cast<rapidjson::SizeType>(value.size()));
                w.EndArray();
            }
            w.EndArray();
            w.Key("bodySize");
            w.Uint64(m_Request.body().size());
            w.Key("status");
            w.Int(status);
            if (!reason.empty()) EventLog::Str(w, "reason", reason);
            if (more) more(w);
        });
    }

    void HandleToken() {
        if (m_Request.method() != http::verb::post) {
            RecordRequest("token", 405, "POST required", nullptr);
            return Respond(http::status::method_not_allowed, "POST required", false);
        }
        uint64_t number = ++m_Context.m_TokenRequests;
        TokenFault fault = m_Context.m_TokenFault;
        bool faulty = fault.m_Count == 0 || number <= static_cast<uint64_t>(fault.m_Count);
        std::deque<TokenFault> &pending = m_Context.m_Pending.m_Tokens;
        if (!pending.empty()) {
            fault = pending.front();
            pending.pop_front();
            faulty = true;
        }
        int delayMs = faulty ? fault.m_DelayMs : 0;
        if (delayMs > 0) {
            m_Timer.expires_after(std::chrono::milliseconds(delayMs));
            beast::get_lowest_layer(m_Stream).expires_never();
            m_Timer.async_wait(
                [self = this->shared_from_this(), faulty, fault](beast::error_code ec) {
                    if (ec) return self->Close();
                    self->AnswerToken(faulty, fault);
                });
            return;
        }
        AnswerToken(faulty, fault);
    }

    void AnswerToken(bool faulty, const TokenFault &fault) {
        if (faulty && fault.m_Reset) {
            RecordRequest("token", 0, "connection reset (fault)", nullptr);
            // A zero linger time makes close() send a reset instead of a FIN.
            beast::error_code ec;
            tcp::socket &socket = beast::get_lowest_layer(m_Stream).socket();
            socket.set_option(boost::asio::socket_base::linger(true, 0), ec);
            socket.close(ec);
            return;
        }
        if (faulty && fault.m_Status != 0) {
            RecordRequest("token", fault.m_Status, "status from the scenario", nullptr);
            return Respond(static_cast<http::status>(fault.m_Status),
                           "token refused by the scenario", false);
        }
        auto key = m_Request.find("Ocp-Apim-Subscription-Key");
        bool keyOk =
            key != m_Request.end() && key->value() == m_Context.m_Options.m_SubscriptionKey;
        if (!keyOk) {
            RecordRequest("token", 401,
                          key == m_Request.end() ? "no subscription key" : "wrong subscription key",
                          nullptr);
            return Respond(http::status::unauthorized,
                           "Access denied due to invalid subscription key or wrong API endpoint.",
                           false);
        }
        std::string token = m_Context.m_Tokens.Issue();
        RecordRequest("token", 200, std::string(),
                      [&](EventLog::Writer &w) { EventLog::Str(w, "token", token); });
        Respond(http::status::ok, token, true);
    }

    void HandleUpgrade() {
        UpgradeInput input;
        input.m_Method = std::string(m_Request.method_string());
        input.m_Target = std::string(m_Request.target());
        input.m_IsWebSocketUpgrade = beast::websocket::is_upgrade(m_Request);
        auto auth = m_Request.find(http::field::authorization);
        input.m_HasAuthorization = auth != m_Request.end();
        if (input.m_HasAuthorization) input.m_Authorization = std::string(auth->value());
        auto id = m_Request.find("X-ConnectionId");
        input.m_HasConnectionId = id != m_Request.end();
        if (input.m_HasConnectionId) input.m_ConnectionId = std::string(id->value());
        UpgradeDecision decision = CheckUpgrade(input, m_Context.m_Tokens);

        if (decision.m_Status == 101) {
            uint64_t number = ++m_Context.m_Upgrades;
            const UpgradeFault &fault = m_Context.m_UpgradeFault;
            if (fault.m_Status != 0 &&
                (fault.m_Count == 0 || number <= static_cast<uint64_t>(fault.m_Count))) {
                decision.m_Status = fault.m_Status;
                decision.m_Reason = "upgrade refused by the scenario";
            }
            auto pending = m_Context.m_Pending.m_Upgrades.find(input.m_ConnectionId);
            if (pending != m_Context.m_Pending.m_Upgrades.end()) {
                decision.m_Status = pending->second;
                decision.m_Reason = "upgrade refused by the control endpoint";
                m_Context.m_Pending.m_Upgrades.erase(pending);
            }
        }
        decision.m_Settings.m_ClientConnectionId = input.m_ConnectionId;
        auto more = [&](EventLog::Writer &w) {
            EventLog::Str(w, "token", decision.m_TokenCheck);
            std::string path, query;
            SplitTarget(input.m_Target, path, query);
            EventLog::Str(w, "path", path);
            w.Key("query");
            w.StartObject();
            for (const auto &kv : ParseQuery(query)) EventLog::Str(w, kv.first.c_str(), kv.second);
            w.EndObject();
            if (m_Buffer.size() > 0) {
                w.Key("bytesBeforeUpgrade");
                w.Uint64(m_Buffer.size());
            }
        };
        RecordRequest("upgrade", decision.m_Status, decision.m_Reason, more);
        if (decision.m_Status != 101) {
            return Respond(static_cast<http::status>(decision.m_Status), decision.m_Reason, false);
        }
        // The WebSocket session owns the stream from here on; this object ends.
        beast::get_lowest_layer(m_Stream).expires_never();
        m_Context.Unregister(m_Id);
        m_Upgraded = true;
        StartWsSession(m_Context, m_Id, std::move(m_Stream), std::move(m_Request),
                       decision.m_Settings);
    }

    // POST /control/turn (a TURN object) or /control/upgrade ({"status": N})
    // for the connection named by X-ConnectionId, or /control/token (a token
    // fault without "count") for the next token request: faults a test asks
    // for while the service runs, each used once.
    void HandleControl(const std::string &path) {
        if (m_Request.method() != http::verb::post) {
            RecordRequest("control", 405, "POST required", nullptr);
            return Respond(http::status::method_not_allowed, "POST required", true);
        }
        auto id = m_Request.find("X-ConnectionId");
        std::string connection = id == m_Request.end() ? std::string() : std::string(id->value());
        const std::string &body = m_Request.body();
        std::string error;
        bool ok = false;
        if (path == kControlTurnPath || path == kControlUpgradePath) {
            if (connection.empty()) {
                error = "X-ConnectionId required";
            } else if (path == kControlTurnPath) {
                TurnScript script;
                ok = ParseTurnScript(body, script, error);
                if (ok) m_Context.m_Pending.m_Turns[connection] = std::move(script);
            } else {
                int status = 0;
                ok = ParseUpgradeStatus(body, status, error);
                if (ok) m_Context.m_Pending.m_Upgrades[connection] = status;
            }
        } else if (path == kControlTokenPath) {
            TokenFault fault;
            ok = ParseTokenFault(body, fault, error);
            if (ok) m_Context.m_Pending.m_Tokens.push_back(fault);
        } else {
            RecordRequest("control", 404, "no such control", nullptr);
            return Respond(http::status::not_found, "no such control", true);
        }
        if (!ok) {
            RecordRequest("control", 400, error, nullptr);
            return Respond(http::status::bad_request, error, true);
        }
        RecordRequest("control", 200, std::string(), nullptr);
        Respond(http::status::ok, "ok", true);
    }

    void Respond(http::status status, const std::string &body, bool keepAlive,
                 bool linger = false) {
        auto response = std::make_shared<http::response<http::string_body>>(status, 11);
        response->set(http::field::server, kServerName);
        if (status == http::status::ok) {
            response->set(http::field::content_type, "text/plain");
        } else {
            response->set(http::field::content_type, "text/plain; charset=utf-8");
        }
        response->body() = body;
        response->keep_alive(keepAlive && m_Request.keep_alive());
        response->prepare_payload();
        beast::get_lowest_layer(m_Stream).expires_after(RequestTimeout());
        http::async_write(
            m_Stream, *response,
            [self = this->shared_from_this(), response, linger](beast::error_code ec, size_t) {
                if (!ec && linger) return self->Linger();
                if (ec || !response->keep_alive() || self->m_Context.m_ShuttingDown)
                    return self->Close();
                self->Read();
            });
    }

    void Close() {
        if (m_Closed || m_Upgraded) return;
        m_Closed = true;
        m_Timer.cancel();
        CloseStream(m_Stream);
    }

    void CloseStream(PlainStream &stream) {
        beast::error_code ec;
        stream.socket().shutdown(tcp::socket::shutdown_both, ec);
        stream.close();
    }

    // After answering a request the parser refused, the client may still be
    // sending it; closing with unread data would reset the connection, and the
    // reset could destroy the answer before the client read it. So the rest is
    // read and dropped until the client pauses or closes (within a bound), and
    // only then is the connection closed.
    void Linger() {
        m_Lingering = true;
        EndSending(m_Stream);
        m_LingerEnd = std::chrono::steady_clock::now() + kLingerLimit;
        DropInput();
    }

    void DropInput() {
        if (m_Closed || m_Context.m_ShuttingDown || std::chrono::steady_clock::now() > m_LingerEnd)
            return Close();
        beast::get_lowest_layer(m_Stream).expires_after(kLingerPause);
        m_Stream.async_read_some(boost::asio::buffer(m_Discard),
                                 [self = this->shared_from_this()](beast::error_code ec, size_t) {
                                     if (ec) return self->Close();
                                     self->DropInput();
                                 });
    }

    // A plain client sees the end of the answer at once; TLS says so only in
    // its shutdown, after the lingering.
    void EndSending(PlainStream &stream) {
        beast::error_code ec;
        stream.socket().shutdown(tcp::socket::shutdown_send, ec);
    }
    void EndSending(TlsStream &) {}

    void CloseStream(TlsStream &stream) {
        // Say close_notify if the peer is still there, but never wait long for it.
        beast::get_lowest_layer(stream).expires_after(std::chrono::seconds(2));
        stream.async_shutdown([self = this->shared_from_this()](beast::error_code) {
            beast::get_lowest_layer(self->m_Stream).close();
        });
    }

    ServiceContext &m_Context;
    uint64_t m_Id;
    Stream m_Stream;
    boost::asio::steady_timer m_Timer;
    beast::flat_buffer m_Buffer;
    std::array<char, 16 * 1024> m_Discard;
    std::chrono::steady_clock::time_point m_LingerEnd;
    std::optional<http::request_parser<http::string_body>> m_Parser;
    HttpRequest m_Request;
    bool m_Closed = false;
    bool m_Lingering = false;
    bool m_Upgraded = false;
};

}  // namespace

void StartHttpSession(ServiceContext &context, tcp::socket socket, boost::asio::ssl::context *tls) {
    uint64_t id = context.m_NextConnection++;
    if (tls != nullptr) {
        auto session = std::make_shared<HttpSession<TlsStream>>(context, id,
                                                                TlsStream(std::move(socket), *tls));
        session->Start();
    } else {
        auto session =
            std::make_shared<HttpSession<PlainStream>>(context, id, PlainStream(std::move(socket)));
        session->Start();
    }
}

}  // namespace SpeechService
