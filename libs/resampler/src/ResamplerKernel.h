// The filter shared by converters of one kind: a Kaiser-windowed sinc low-pass
// filter at the up-sampled rate, kept as its spectrum for FFT overlap-save,
// with the FFTW plans that transform the converters' blocks. Kernels are
// cached by their parameters and shared read-only; FFTW's planner is not
// thread-safe, so every plan is made and destroyed under one lock here.
#pragma once

#include <fftw3.h>

#include <complex>
#include <memory>
#include <string>
#include <vector>

namespace KORAL {

struct KernelDesign {
    int m_Up = 1;                 // p: input rate x p = filter rate
    int m_Down = 1;               // q: filter rate / q = output rate
    double m_FilterRate = 0;      // Hz, the rate the filter runs at
    double m_BandEdge = 0;        // Hz, narrower Nyquist frequency: the stop band starts here
    double m_TransitionBand = 0;  // percent of m_BandEdge below it
    double m_Attenuation = 0;     // dB in the stop band
    int m_ChunkHint = 0;          // input samples a block should cover at least

    bool operator==(const KernelDesign &o) const;
};

// Aligned storage for transforms, or null when memory runs out (FFTW's own
// allocator aborts instead). Every buffer handed to a kernel's plans comes
// from here, so all share the alignment the plans were made for.
template <typename T>
T *AllocFftBuffer(size_t count);
void FreeFftBuffer(void *p);

template <typename T>
struct FftBufferDeleter {
    void operator()(T *p) const { FreeFftBuffer(p); }
};
template <typename T>
using FftBuffer = std::unique_ptr<T[], FftBufferDeleter<T>>;

class ResamplerKernel {
  public:
    // Null with a reason in `error` when FFTW cannot plan the transforms.
    static std::shared_ptr<const ResamplerKernel> Get(const KernelDesign &design,
                                                      std::string &error);
    ~ResamplerKernel();
    ResamplerKernel(const ResamplerKernel &) = delete;
    ResamplerKernel &operator=(const ResamplerKernel &) = delete;

    // Taps of the linear-phase low-pass filter at the filter rate, with a DC
    // gain of `up` (making up for the zeros inserted by up-sampling).
    static std::vector<double> DesignTaps(const KernelDesign &design);

    KernelDesign m_Design;
    int m_Taps = 0;    // odd; (m_Taps - 1) / 2 is a multiple of m_Down
    int m_FftIn = 0;   // input samples per block (a multiple of m_Down)
    int m_FftUp = 0;   // m_FftIn x m_Up: block length at the filter rate
    int m_FftOut = 0;  // m_FftUp / m_Down: output samples per block
    // Filter spectrum for bins 0..m_FftUp/2, scaled by 1/m_FftUp.
    std::complex<double> *m_Spectrum = nullptr;
    fftw_plan m_Forward = nullptr;  // real m_FftIn -> complex m_FftIn/2+1
    fftw_plan m_Inverse = nullptr;  // complex m_FftOut/2+1 -> real m_FftOut

  private:
    ResamplerKernel() = default;
    bool Build(const KernelDesign &design, std::string &error);
};

}  // namespace KORAL
