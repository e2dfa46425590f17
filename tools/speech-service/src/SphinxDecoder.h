// One pocketsphinx decoder with the US English model. Each utterance starts
// from the state the decoder had when it was made: the running cepstral mean
// would otherwise carry one caller's channel into the next turn.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

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
  SphinxDecoder(const SphinxDecoder&) = delete;
  SphinxDecoder& operator=(const SphinxDecoder&) = delete;

  // Silences the library's own logging; call once before any decoder is made.
  static void QuietLibrary(bool verbose);
  // Checks that the model files exist.
  static bool CheckModel(const DecoderSettings& settings, std::string& error);
  static std::unique_ptr<SphinxDecoder> Create(const DecoderSettings& settings, std::string& error);

  bool Start();
  bool Feed(const int16_t* samples, size_t count);
  // Partial hypothesis of the running utterance (empty when none).
  std::string Partial();
  // Ends the utterance; an empty result means no words.
  bool Finish(DecodeResult& result);

 private:
  SphinxDecoder() = default;

  ps_decoder_s* m_Decoder = nullptr;
  cmd_ln_s* m_Config = nullptr;
  std::vector<float> m_InitialMean;  // cepstral mean as loaded
  size_t m_MaxAlternatives = 5;
  bool m_InUtterance = false;
};

// Drops pronunciation variants ("word(2)") and fillers ("<sil>", "[noise]").
std::string CleanHypothesis(const char* text);

}  // namespace SpeechService
