// Sample-rate converter: converts a stream of 16-bit-magnitude samples (as
// doubles, unscaled) from one rate to another by a rational ratio with small
// factors (8000 -> 16000 above all; also 12000, 24000, 32000 and 48000 ->
// 16000). Linear phase; the band is limited to the narrower of the two
// Nyquist frequencies with a transition band given in percent of it, which
// ends at that Nyquist frequency, so nothing aliases or images; the stop band
// is attenuated by at least the given depth. Output is delayed only by the
// filter's group delay, whatever the chunking of the input: the same input
// split into any chunks gives the same output. Processing allocates nothing
// (buffers are sized at creation) and is safe to run in many converters on
// many threads at once; each converter is used by one thread at a time.
#pragma once

#include <memory>
#include <string>

namespace KORAL {

class Resampler {
  public:
    virtual ~Resampler() = default;
    // Converts `count` input samples (at most the maximum given at creation);
    // returns the number of output samples now available at `output`, which
    // points into the converter's own buffer and stays valid until the next call.
    // Output is held back by the filter's delay at first, so 0 is a valid result.
    // Output sample k stands at input time k / dstRate: the delay is in when
    // samples become available, not in their positions. Input beyond the
    // maximum is cut to it; a null input or a count below 1 yields 0.
    virtual int process(double *input, int count, double *&output) = 0;
    // Output samples held back by the filter (its group delay at the output rate).
    virtual int GetLatency() const = 0;
    // Back to the state after creation (empty delay line).
    virtual void Clear() = 0;
};

// Null (with a reason in `error` when given) for rates or lengths it cannot serve.
std::unique_ptr<Resampler> CreateResampler(double srcRate, double dstRate, int maxInLen,
                                           double transitionBand = 2.0,
                                           double stopBandAttenuation = 136.45,
                                           std::string *error = nullptr);

}  // namespace KORAL
