// One pocketsphinx decoder with the US English model. Each utterance starts
// from the state the decoder had when it was made: the running cepstral mean
// would otherwise carry one caller's channel into the next turn.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "Band.h"

struct ps_decoder_s;
struct cmd_ln_s;

namespace SpeechService {

struct DecoderSettings {
    std::string m_ModelDir;  // holds en-us/, en-us.lm.bin, cmudict-en-us.dict
    size_t m_MaxAlternatives = 5;
};

struct DecodeResult {
    std::vector<std::string> m_Texts;   // n-best, best first, no duplicates
    std::vector<double> m_Confidences;  // same length
};

class SphinxDecoder {
  public:
    ~SphinxDecoder();
    SphinxDecoder(const SphinxDecoder &) = delete;
    SphinxDecoder &operator=(const SphinxDecoder &) = delete;

    // Silences the library's own logging; call once before any decoder is made.
    static void QuietLibrary(bool verbose);
    // Checks that the model files exist.
    static bool CheckModel(const DecoderSettings &settings, std::string &error);
    static std::unique_ptr<SphinxDecoder> Create(const DecoderSettings &settings,
                                                 std::string &error);

    // Starts an utterance from `profile`'s initial cepstral mean (the model's
    // own when it has none), with its dither.
    bool Start(const BandProfile &profile = BandProfile());
    bool Feed(const int16_t *samples, size_t count);
    // Partial hypothesis of the running utterance (empty when none).
    std::string Partial();
    // Ends the utterance; an empty result means no words.
    bool Finish(DecodeResult &result);

    // Adds the cepstra of `samples`, as this decoder's front end computes
    // them, to `sum` (one entry per coefficient) for every frame the live
    // normalisation counts (non-negative c0); `frames` counts them. For
    // calibration: not during an utterance.
    bool SumCepstra(const int16_t *samples, size_t count, std::vector<double> &sum, size_t &frames);

  private:
    SphinxDecoder() = default;

    ps_decoder_s *m_Decoder = nullptr;
    cmd_ln_s *m_Config = nullptr;
    std::vector<float> m_InitialMean;  // cepstral mean as loaded
    double m_DitherLsb = 0.0;
    std::minstd_rand m_Noise;
    std::vector<int16_t> m_Dithered;
    size_t m_MaxAlternatives = 5;
    bool m_InUtterance = false;
};

// Drops pronunciation variants ("word(2)") and fillers ("<sil>", "[noise]").
std::string CleanHypothesis(const char *text);

}  // namespace SpeechService
