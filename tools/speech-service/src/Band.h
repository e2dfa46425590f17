// Which kind of audio a turn carries. Callers on telephone lines reach the
// service as 8 kHz speech converted to 16 kHz: the same model hears it, but
// nothing lies above 4 kHz, which shifts every cepstral coefficient. The
// detector tells the two apart from the share of energy above 4 kHz in the
// first loud frames of a turn; the decoder then starts from settings made
// for that band (BandProfile).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace SpeechService {

enum class Band { Wide, Narrow };
// What the service decodes a turn as: detected per turn, or fixed.
enum class BandMode { Auto, Wide, Narrow };

const char *BandName(Band band);
bool ParseBandMode(const std::string &text, BandMode &mode);

// Decoding settings of one band.
struct BandProfile {
    std::vector<float> m_InitialMean;  // initial cepstral mean; empty: the model's own
    double m_DitherLsb = 0.0;          // RMS of white noise added to every sample (LSB)
};

// The narrowband profile from text of "-name value" lines ('#' starts a
// comment): "-cmninit c0,c1,..." and "-dither LSB". False with `error` on
// anything else.
bool ParseBandProfile(const std::string &text, BandProfile &profile, std::string &error);

// The calibrated narrowband profile built into the service.
const BandProfile &NarrowbandProfile();

class BandDetector {
  public:
    // Frames (10 ms at 16 kHz) below `thresholdDb` (dBFS) do not count; the
    // band is decided once `decideAfterFrames` frames have counted.
    BandDetector(double thresholdDb, int decideAfterFrames);

    void Frame(const int16_t *frame);
    bool Decided() const { return m_Counted >= m_DecideAfter; }
    // The band seen so far: wide unless the frames that counted had almost
    // no energy above 4 kHz (no loud frame at all: wide, the model's own).
    Band Result() const;
    // Energy from 4.4 to 7.6 kHz relative to 0.2 to 3.6 kHz, in dB (-200 with none).
    double HighBandDb() const;
    int CountedFrames() const { return m_Counted; }

  private:
    double m_ThresholdEnergy;
    int m_DecideAfter;
    int m_Counted = 0;
    double m_Low = 0.0;
    double m_High = 0.0;
};

}  // namespace SpeechService
