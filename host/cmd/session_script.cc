#include "session_script.h"

#include <algorithm>
#include <cctype>
#include <sstream>

#include "mpf_frame.h"
#include "mrcp_recog_resource.h"

namespace vantor {

namespace {

const unsigned kMaxMs = 3600 * 1000;

std::vector<std::string> Split(const std::string &line) {
    std::vector<std::string> tokens;
    std::istringstream in(line);
    std::string token;
    while (in >> token) tokens.push_back(token);
    return tokens;
}

std::string Trim(const std::string &s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

bool ParseUnsigned(const std::string &text, uint64_t max, uint64_t *out) {
    if (text.empty() || text.size() > 10) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (uint64_t)(c - '0');
    }
    if (v > max) return false;
    *out = v;
    return true;
}

bool ValidName(const std::string &name) {
    return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum((unsigned char)c) || c == '_' || c == '-' || c == '.';
    });
}

class Parser {
  public:
    Parser(const std::string &text, const std::string &base_dir) : base_dir_(base_dir) {
        std::string line;
        std::istringstream in(text);
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            lines_.push_back(line);
        }
    }

    bool Run(std::vector<ScriptCommand> *commands, std::string *error) {
        for (index_ = 0; index_ < lines_.size(); ++index_) {
            std::string line = Trim(lines_[index_]);
            if (line.empty() || line[0] == '#') continue;
            ScriptCommand command;
            command.line = (int)index_ + 1;
            if (!Command(line, &command)) {
                *error = "line " + std::to_string(command.line) + ": " + error_;
                return false;
            }
            commands->push_back(std::move(command));
        }
        return true;
    }

  private:
    bool Fail(const std::string &why) {
        error_ = why;
        return false;
    }

    // key=value options after the positional arguments.
    bool Options(const std::vector<std::string> &tokens, size_t from, ScriptCommand *c) {
        for (size_t i = from; i < tokens.size(); ++i) {
            size_t eq = tokens[i].find('=');
            if (eq == std::string::npos) return Fail("unexpected argument " + tokens[i]);
            std::string key = tokens[i].substr(0, eq);
            std::string value = tokens[i].substr(eq + 1);
            uint64_t n = 0;
            bool allowed = false;
            switch (c->kind) {
                case ScriptCommand::Kind::kChannel:
                    allowed = key == "rate" || key == "version";
                    break;
                case ScriptCommand::Kind::kDtmf:
                    allowed = key == "on" || key == "off";
                    break;
                case ScriptCommand::Kind::kWait:
                    allowed =
                        key == "timeout" || key == "status" || key == "state" || key == "cause";
                    break;
                case ScriptCommand::Kind::kNone:
                case ScriptCommand::Kind::kDrain:
                    allowed = key == "timeout";
                    break;
                default:
                    break;
            }
            if (!allowed) return Fail("unknown option " + key);
            if (key == "state") {
                if (value != "COMPLETE" && value != "IN-PROGRESS" && value != "PENDING")
                    return Fail("bad state " + value);
                c->state = value;
                continue;
            }
            if (!ParseUnsigned(value, kMaxMs, &n))
                return Fail("bad value of " + key + ": " + value);
            if (key == "rate") {
                if (n != 8000 && n != 16000) return Fail("rate must be 8000 or 16000");
                c->rate = (unsigned)n;
            } else if (key == "version") {
                if (n != 1 && n != 2) return Fail("version must be 1 or 2");
                c->version = (int)n;
            } else if (key == "on") {
                c->on_ms = (unsigned)n;
            } else if (key == "off") {
                c->off_ms = (unsigned)n;
            } else if (key == "timeout") {
                c->timeout_ms = (long)n;
            } else if (key == "status") {
                if (n < 100 || n > 999) return Fail("bad status " + value);
                c->status = (int)n;
            } else if (key == "cause") {
                if (n > 999) return Fail("bad cause " + value);
                c->cause = (int)n;
            }
        }
        return true;
    }

    // WHAT of wait and none: an event name, or "response" and a request id.
    bool What(const std::vector<std::string> &tokens, size_t *next, ScriptCommand *c) {
        if (tokens.size() < 3) return Fail("missing what to wait for");
        if (tokens[2] == "response") {
            uint64_t id = 0;
            if (tokens.size() < 4 || !ParseUnsigned(tokens[3], 0xFFFFFFFFull, &id))
                return Fail("response needs a request id");
            c->response = true;
            c->request_id = (uint32_t)id;
            *next = 4;
            return true;
        }
        const std::string &e = tokens[2];
        if (mrcp_recog_event_id_find(e.c_str(), e.size(), MRCP_VERSION_2) >=
                RECOGNIZER_EVENT_COUNT &&
            mrcp_recog_event_id_find(e.c_str(), e.size(), MRCP_VERSION_1) >= RECOGNIZER_EVENT_COUNT)
            return Fail("unknown event " + e);
        c->event = e;
        *next = 3;
        return true;
    }

    bool Send(const std::vector<std::string> &tokens, ScriptCommand *c) {
        uint64_t id = 0;
        if (tokens.size() != 4) return Fail("usage: send NAME METHOD REQUEST-ID");
        if (!ParseUnsigned(tokens[3], 0xFFFFFFFFull, &id))
            return Fail("bad request id " + tokens[3]);
        c->method = tokens[2];
        std::transform(c->method.begin(), c->method.end(), c->method.begin(),
                       [](unsigned char ch) { return (char)std::toupper(ch); });
        c->request_id = (uint32_t)id;
        bool in_body = false;
        for (++index_; index_ < lines_.size(); ++index_) {
            const std::string &raw = lines_[index_];
            if (raw == ".") return true;
            if (in_body) {
                // A body line starting with "." is written with one more dot.
                std::string text = raw.compare(0, 2, "..") == 0 ? raw.substr(1) : raw;
                c->body += text + "\r\n";
                c->has_body = true;
                continue;
            }
            std::string line = Trim(raw);
            if (line.empty()) {
                in_body = true;
                continue;
            }
            if (line[0] == '#') continue;
            size_t colon = line.find(':');
            if (colon == std::string::npos || colon == 0) {
                error_ = "header line without a name and colon: " + line;
                c->line = (int)index_ + 1;
                return false;
            }
            c->headers.emplace_back(Trim(line.substr(0, colon)), Trim(line.substr(colon + 1)));
        }
        return Fail("send without its closing \".\" line");
    }

    bool Command(const std::string &line, ScriptCommand *c) {
        std::vector<std::string> t = Split(line);
        const std::string &verb = t[0];
        if (verb == "sleep") {
            uint64_t ms = 0;
            c->kind = ScriptCommand::Kind::kSleep;
            if (t.size() != 2 || !ParseUnsigned(t[1], kMaxMs, &ms)) return Fail("usage: sleep MS");
            c->ms = (unsigned)ms;
            return true;
        }
        if (t.size() < 2 || !ValidName(t[1])) return Fail("missing or bad channel name");
        c->channel = t[1];
        size_t next = 0;
        if (verb == "channel") {
            c->kind = ScriptCommand::Kind::kChannel;
            return Options(t, 2, c);
        }
        if (verb == "send") {
            c->kind = ScriptCommand::Kind::kSend;
            return Send(t, c);
        }
        if (verb == "audio") {
            c->kind = ScriptCommand::Kind::kAudio;
            if (t.size() < 3) return Fail("usage: audio NAME FILE.wav");
            // The file is the rest of the line, so that names may hold blanks.
            size_t at = line.find(t[1], verb.size()) + t[1].size();
            std::string file = Trim(line.substr(at));
            c->file = (file[0] == '/' || base_dir_.empty()) ? file : base_dir_ + "/" + file;
            return true;
        }
        if (verb == "silence") {
            uint64_t ms = 0;
            c->kind = ScriptCommand::Kind::kSilence;
            if (t.size() != 3 || !ParseUnsigned(t[2], kMaxMs, &ms))
                return Fail("usage: silence NAME MS");
            c->ms = (unsigned)ms;
            return true;
        }
        if (verb == "dtmf") {
            c->kind = ScriptCommand::Kind::kDtmf;
            if (t.size() < 3) return Fail("usage: dtmf NAME DIGITS [on=MS] [off=MS]");
            for (char d : t[2])
                if (mpf_dtmf_char_to_event_id(d) == 0xFF)
                    return Fail(std::string("bad DTMF digit ") + d);
            c->digits = t[2];
            return Options(t, 3, c);
        }
        if (verb == "wait" || verb == "none") {
            c->kind = verb == "wait" ? ScriptCommand::Kind::kWait : ScriptCommand::Kind::kNone;
            if (c->kind == ScriptCommand::Kind::kNone) c->timeout_ms = 1000;
            return What(t, &next, c) && Options(t, next, c);
        }
        if (verb == "drain") {
            c->kind = ScriptCommand::Kind::kDrain;
            c->timeout_ms = 60000;
            return Options(t, 2, c);
        }
        if (verb == "close") {
            c->kind = ScriptCommand::Kind::kClose;
            if (t.size() != 2) return Fail("usage: close NAME");
            return true;
        }
        return Fail("unknown command " + verb);
    }

    std::string base_dir_;
    std::vector<std::string> lines_;
    size_t index_ = 0;
    std::string error_;
};

}  // namespace

bool ParseScript(const std::string &text, const std::string &base_dir,
                 std::vector<ScriptCommand> *commands, std::string *error) {
    commands->clear();
    Parser parser(text, base_dir);
    return parser.Run(commands, error);
}

std::string DescribeCommand(const ScriptCommand &c) {
    std::string s = "line " + std::to_string(c.line) + ": ";
    switch (c.kind) {
        case ScriptCommand::Kind::kChannel:
            return s + "channel " + c.channel;
        case ScriptCommand::Kind::kSend:
            return s + "send " + c.channel + " " + c.method + " " + std::to_string(c.request_id);
        case ScriptCommand::Kind::kAudio:
            return s + "audio " + c.channel + " " + c.file;
        case ScriptCommand::Kind::kSilence:
            return s + "silence " + c.channel + " " + std::to_string(c.ms);
        case ScriptCommand::Kind::kDtmf:
            return s + "dtmf " + c.channel + " " + c.digits;
        case ScriptCommand::Kind::kWait:
        case ScriptCommand::Kind::kNone:
            return s + (c.kind == ScriptCommand::Kind::kWait ? "wait " : "none ") + c.channel +
                   " " + (c.response ? "response " + std::to_string(c.request_id) : c.event);
        case ScriptCommand::Kind::kDrain:
            return s + "drain " + c.channel;
        case ScriptCommand::Kind::kSleep:
            return s + "sleep " + std::to_string(c.ms);
        case ScriptCommand::Kind::kClose:
            return s + "close " + c.channel;
    }
    return s;
}

}  // namespace vantor
