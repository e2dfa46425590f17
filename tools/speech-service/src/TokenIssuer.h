// Access tokens of the token endpoint: opaque, valid for a fixed lifetime.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <unordered_map>

namespace SpeechService {

class TokenIssuer {
  public:
    using Clock = std::chrono::steady_clock;
    using Now = std::function<Clock::time_point()>;

    enum class Check { Valid, Expired, Unknown };

    explicit TokenIssuer(std::chrono::seconds lifetime, Now now = &Clock::now);

    std::string Issue();
    Check Validate(const std::string &token);

  private:
    void Purge(Clock::time_point now);

    std::chrono::seconds m_Lifetime;
    Now m_Now;
    std::unordered_map<std::string, Clock::time_point> m_Expiry;
    Clock::time_point m_LastPurge;
};

}  // namespace SpeechService
