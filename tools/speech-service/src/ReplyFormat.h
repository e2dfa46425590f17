// JSON bodies of the service's messages. Offsets and durations are in
// 100-nanosecond ticks from the start of the turn's audio.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace SpeechService {

enum class ResultFormat { Simple, Detailed };

constexpr int64_t kTicksPerMs = 10000;
constexpr int64_t kTicksPerSample16k = 625;

struct Alternative {
    std::string m_Lexical;
    std::string m_Itn;
    std::string m_MaskedItn;
    std::string m_Display;
    double m_Confidence = 0.0;
};

struct PhraseResult {
    std::string m_Status;  // Success, NoMatch, InitialSilenceTimeout, BabbleTimeout, Error
    int64_t m_Offset = 0;
    int64_t m_Duration = 0;
    std::vector<Alternative> m_NBest;  // best first; used for Success only
};

// An alternative whose other forms derive from the lexical text: ITN and
// masked ITN equal it, the display form is capitalised and ends with ".".
Alternative MakeAlternative(const std::string &lexical, double confidence);

std::string TurnStartBody(const std::string &serviceTag);
std::string OffsetBody(int64_t offset);  // speech.startDetected, speech.endDetected
std::string HypothesisBody(const std::string &text, int64_t offset, int64_t duration);
std::string PhraseBody(const PhraseResult &result, ResultFormat format);

// 32 random lowercase hexadecimal digits.
std::string RandomHexId();

}  // namespace SpeechService
