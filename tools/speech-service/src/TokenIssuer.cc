#include "TokenIssuer.h"

#include "ReplyFormat.h"

namespace SpeechService {

namespace {
// Expired tokens are remembered a while so that a client learns "expired"
// rather than "unknown" in the log.
constexpr std::chrono::seconds kForgetAfter{3600};
}  // namespace

TokenIssuer::TokenIssuer(std::chrono::seconds lifetime, Now now)
    : m_Lifetime(lifetime), m_Now(std::move(now)), m_LastPurge(m_Now()) {}

std::string TokenIssuer::Issue() {
    Clock::time_point now = m_Now();
    Purge(now);
    std::string token = "lst." + RandomHexId() + RandomHexId();
    m_Expiry[token] = now + m_Lifetime;
    return token;
}

TokenIssuer::Check TokenIssuer::Validate(const std::string &token) {
    auto it = m_Expiry.find(token);
    if (it == m_Expiry.end()) return Check::Unknown;
    return m_Now() < it->second ? Check::Valid : Check::Expired;
}

void TokenIssuer::Purge(Clock::time_point now) {
    if (now - m_LastPurge < std::chrono::seconds(60)) return;
    m_LastPurge = now;
    for (auto it = m_Expiry.begin(); it != m_Expiry.end();) {
        it = now - it->second > kForgetAfter ? m_Expiry.erase(it) : std::next(it);
    }
}

}  // namespace SpeechService
