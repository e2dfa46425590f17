#include "KoralRxNetHttp.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "KoralRxWsHandshake.h"

namespace KORAL {

std::string ComposeHttpRequest(const char *method, const std::string &target,
                               const HttpHeaders &headers, const std::string &body) {
    std::string r = std::string(method) + " " + target + " HTTP/1.1\r\n";
    bool hasLength = false;
    for (const auto &h : headers) {
        if (strcasecmp(h.first.c_str(), "Content-Length") == 0) {
            hasLength = true;
        }
        r += h.first + ": " + h.second + "\r\n";
    }
    if (!hasLength) {
        r += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    }
    r += "\r\n";
    r += body;
    return r;
}

bool HttpResponseReader::TakeBody() {
    size_t n = std::min(m_Remaining, m_Buffer.size());
    m_Body.append(m_Buffer, 0, n);
    m_Buffer.erase(0, n);
    m_Remaining -= n;
    return m_Remaining == 0;
}

HttpResponseReader::Status HttpResponseReader::Fail(const char *why) {
    m_Phase = ERROR;
    m_Error = why;
    return FAILED;
}

const std::string *HttpResponseReader::FindHeader(const char *name) const {
    const std::string *found = nullptr;
    for (const auto &h : m_Headers) {
        if (strcasecmp(h.first.c_str(), name) == 0) {
            found = &h.second;
        }
    }
    return found;
}

bool HttpResponseReader::ParseHead(size_t headEnd) {
    m_Headers.clear();
    m_Code = WsHandshake::StatusCode(m_Buffer.data(), headEnd);
    if (m_Code < 100 || m_Code > 999) {
        return false;
    }
    std::string first = WsHandshake::FirstLine(m_Buffer.data(), headEnd);
    size_t sp = first.find(' ');
    sp = first.find(' ', sp + 1);
    m_Reason = sp == std::string::npos ? std::string() : first.substr(sp + 1);
    size_t pos = m_Buffer.find('\n') + 1;
    while (pos < headEnd) {
        size_t lf = m_Buffer.find('\n', pos);
        if (lf == std::string::npos || lf >= headEnd) {
            break;
        }
        size_t end = (lf > pos && m_Buffer[lf - 1] == '\r') ? lf - 1 : lf;
        if (end == pos) {
            break;
        }
        size_t colon = m_Buffer.find(':', pos);
        if (colon == std::string::npos || colon >= end) {
            return false;
        }
        size_t v = colon + 1;
        while (v < end && (m_Buffer[v] == ' ' || m_Buffer[v] == '\t')) {
            ++v;
        }
        size_t e = end;
        while (e > v && (m_Buffer[e - 1] == ' ' || m_Buffer[e - 1] == '\t')) {
            --e;
        }
        m_Headers.emplace_back(m_Buffer.substr(pos, colon - pos), m_Buffer.substr(v, e - v));
        pos = lf + 1;
    }
    return true;
}

HttpResponseReader::Status HttpResponseReader::Feed(const char *data, size_t size) {
    if (m_Phase == COMPLETE) {
        return DONE;
    }
    if (m_Phase == ERROR) {
        return FAILED;
    }
    m_Buffer.append(data, size);
    return Run();
}

HttpResponseReader::Status HttpResponseReader::FeedEof() {
    if (m_Phase == COMPLETE) {
        return DONE;
    }
    if (m_Phase == BODY_EOF) {
        m_Phase = COMPLETE;
        return DONE;
    }
    if (m_Phase == ERROR) {
        return FAILED;
    }
    return Fail("connection closed before the response was complete");
}

HttpResponseReader::Status HttpResponseReader::Run() {
    for (;;) {
        switch (m_Phase) {
            case HEAD: {
                size_t end = WsHandshake::FindHeadEnd(m_Buffer.data(), m_Buffer.size());
                if (end == std::string::npos) {
                    if (m_Buffer.size() > kMaxHeadSize) {
                        return Fail("response head too large");
                    }
                    return NEED_MORE;
                }
                if (end > kMaxHeadSize) {
                    return Fail("response head too large");
                }
                if (!ParseHead(end)) {
                    return Fail("malformed response head");
                }
                m_Buffer.erase(0, end);
                if (m_Code >= 100 && m_Code < 200) {
                    continue;  // interim response: the final one follows
                }
                const std::string *te = FindHeader("Transfer-Encoding");
                const std::string *cl = FindHeader("Content-Length");
                if (m_Code == 204 || m_Code == 304) {
                    m_Phase = COMPLETE;
                } else if (te && strcasecmp(te->c_str(), "identity") != 0) {
                    m_Phase = BODY_CHUNK_SIZE;
                } else if (cl) {
                    char *endp = nullptr;
                    unsigned long long n = strtoull(cl->c_str(), &endp, 10);
                    if (cl->empty() || *endp != '\0') {
                        return Fail("malformed Content-Length");
                    }
                    if (n > kMaxBodySize) {
                        return Fail("response body too large");
                    }
                    m_Remaining = static_cast<size_t>(n);
                    m_Phase = BODY_LENGTH;
                } else {
                    m_Phase = BODY_EOF;
                }
                break;
            }
            case BODY_LENGTH: {
                if (!TakeBody()) {
                    return NEED_MORE;
                }
                m_Phase = COMPLETE;
                break;
            }
            case BODY_CHUNK_SIZE: {
                // Hex digits at the start of the line, then its end or an
                // extension; the line is bounded however it arrives.
                size_t lf = m_Buffer.find('\n');
                if (lf == std::string::npos || lf > kMaxChunkLine) {
                    if (m_Buffer.size() > kMaxChunkLine) {
                        return Fail("malformed chunk size");
                    }
                    return NEED_MORE;
                }
                size_t n = 0;
                size_t digits = 0;
                for (; digits < lf && isxdigit(static_cast<unsigned char>(m_Buffer[digits]));
                     ++digits) {
                    if (n > kMaxBodySize) {
                        return Fail("response body too large");
                    }
                    char c = m_Buffer[digits];
                    n = n * 16 + static_cast<size_t>(isdigit(static_cast<unsigned char>(c))
                                                         ? c - '0'
                                                         : (tolower(c) - 'a' + 10));
                }
                char next = m_Buffer[digits];
                if (digits == 0 ||
                    (next != '\r' && next != '\n' && next != ';' && next != ' ' && next != '\t')) {
                    return Fail("malformed chunk size");
                }
                if (n > kMaxBodySize || m_Body.size() + n > kMaxBodySize) {
                    return Fail("response body too large");
                }
                m_Buffer.erase(0, lf + 1);
                m_Remaining = static_cast<size_t>(n);
                m_Phase = n ? BODY_CHUNK_DATA : BODY_TRAILER;
                break;
            }
            case BODY_CHUNK_DATA: {
                if (!TakeBody()) {
                    return NEED_MORE;
                }
                m_Phase = BODY_CHUNK_CRLF;
                break;
            }
            case BODY_CHUNK_CRLF: {
                // Exactly the line break that ends the chunk's data.
                if (m_Buffer.empty() || m_Buffer == "\r") {
                    return NEED_MORE;
                }
                if (m_Buffer[0] == '\r') {
                    m_Buffer.erase(0, 1);
                }
                if (m_Buffer[0] != '\n') {
                    return Fail("malformed chunk");
                }
                m_Buffer.erase(0, 1);
                m_Phase = BODY_CHUNK_SIZE;
                break;
            }
            case BODY_TRAILER: {
                size_t lf = m_Buffer.find('\n');
                if (lf == std::string::npos || lf > kMaxHeadSize) {
                    return m_Buffer.size() > kMaxHeadSize ? Fail("trailer too large") : NEED_MORE;
                }
                bool empty = lf == 0 || (lf == 1 && m_Buffer[0] == '\r');
                m_Buffer.erase(0, lf + 1);
                if (empty) {
                    m_Phase = COMPLETE;
                }
                break;
            }
            case BODY_EOF:
                if (m_Body.size() + m_Buffer.size() > kMaxBodySize) {
                    return Fail("response body too large");
                }
                m_Body += m_Buffer;
                m_Buffer.clear();
                return NEED_MORE;
            case COMPLETE:
                return DONE;
            case ERROR:
                return FAILED;
        }
    }
}

}  // namespace KORAL
