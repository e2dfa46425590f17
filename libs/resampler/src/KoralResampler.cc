// FFT overlap-save polyphase conversion. The input is treated as up-sampled
// by p (zeros inserted), filtered at p x the input rate and down-sampled by q.
// Both happen in the frequency domain: inserting zeros repeats the spectrum of
// an input block p times, and keeping every q-th output sample folds the
// product spectrum q times, so one block costs a real FFT of the input block
// and an inverse real FFT of the output block only.
//
// Blocks slide with the input instead of waiting to be full: each call
// computes every output sample whose inputs have all arrived, the block's
// positions past the last input being zeros that no kept sample depends on.
// So output lags input by the filter's group delay only.
#include "KoralResampler.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numeric>

#include "ResamplerKernel.h"

namespace KORAL {

namespace {

// Largest up-sampling or down-sampling factor served; 11025-based rates
// (factors of 441 against 16000) would need filters far too long.
const int kMaxFactor = 8;
// Largest input a call may take (about 21 s at 48 kHz).
const int kMaxInputLength = 1 << 20;

int64_t FloorDiv(int64_t a, int64_t b) {
    const int64_t d = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? d - 1 : d;
}

int64_t CeilDiv(int64_t a, int64_t b) { return -FloorDiv(-a, b); }

template <typename T>
struct FftwDeleter {
    void operator()(T *p) const { fftw_free(p); }
};
template <typename T>
using FftwBuffer = std::unique_ptr<T[], FftwDeleter<T>>;

class FftResampler : public Resampler {
  public:
    FftResampler(std::shared_ptr<const ResamplerKernel> kernel, int maxInLen);
    bool Allocated() const;

    int process(double *input, int count, double *&output) override;
    int GetLatency() const override { return m_Latency; }
    void Clear() override;

  private:
    void Append(const double *input, int count);
    // Computes outputs m_Done .. `target` - 1 (as far as one block reaches),
    // appending those past the latency to m_Out at `produced`.
    void RunBlock(int64_t target, int &produced);

    std::shared_ptr<const ResamplerKernel> m_Kernel;
    const int m_Up, m_Down, m_FftIn, m_FftUp, m_FftOut;
    const int m_MaxIn;
    const int m_Latency;      // output samples
    const int m_HistoryKeep;  // input samples kept for the next block
    const int m_Capacity;     // input samples the history holds

    // Input history: samples m_Base .. m_Received - 1.
    std::unique_ptr<double[]> m_History;
    int64_t m_Base = 0;
    int64_t m_Received = 0;
    int64_t m_Done = 0;  // output samples computed, the trimmed ones included

    FftwBuffer<double> m_Block;
    FftwBuffer<fftw_complex> m_BlockSpectrum;
    FftwBuffer<fftw_complex> m_OutSpectrum;
    FftwBuffer<double> m_OutBlock;
    std::unique_ptr<double[]> m_Out;
};

FftResampler::FftResampler(std::shared_ptr<const ResamplerKernel> kernel, int maxInLen)
    : m_Kernel(std::move(kernel)),
      m_Up(m_Kernel->m_Spec.m_Up),
      m_Down(m_Kernel->m_Spec.m_Down),
      m_FftIn(m_Kernel->m_FftIn),
      m_FftUp(m_Kernel->m_FftUp),
      m_FftOut(m_Kernel->m_FftOut),
      m_MaxIn(maxInLen),
      m_Latency((m_Kernel->m_Taps - 1) / 2 / m_Down),
      m_HistoryKeep(m_FftIn + m_Down),
      m_Capacity(2 * (m_FftIn + m_Down) + maxInLen),
      m_History(new double[m_Capacity]),
      m_Block(fftw_alloc_real(m_FftIn)),
      m_BlockSpectrum(fftw_alloc_complex(m_FftIn / 2 + 1)),
      m_OutSpectrum(fftw_alloc_complex(m_FftOut / 2 + 1)),
      m_OutBlock(fftw_alloc_real(m_FftOut)),
      // Each call yields at most ceil(count x p / q) samples.
      m_Out(new double[static_cast<size_t>(CeilDiv(int64_t(maxInLen) * m_Up, m_Down)) + 1]) {
    Clear();
}

bool FftResampler::Allocated() const {
    return m_Block && m_BlockSpectrum && m_OutSpectrum && m_OutBlock;
}

void FftResampler::Clear() {
    m_Base = 0;
    m_Received = 0;
    m_Done = 0;
}

int FftResampler::process(double *input, int count, double *&output) {
    output = m_Out.get();
    if (input == nullptr || count <= 0) return 0;
    count = std::min(count, m_MaxIn);
    Append(input, count);
    const int64_t target = CeilDiv(m_Received * m_Up, m_Down);
    int produced = 0;
    while (m_Done < target) RunBlock(target, produced);
    return produced;
}

void FftResampler::Append(const double *input, int count) {
    if (m_Received - m_Base + count > m_Capacity) {
        const int64_t keep = std::min<int64_t>(m_Received - m_Base, m_HistoryKeep);
        std::memmove(m_History.get(), m_History.get() + (m_Received - m_Base - keep),
                     sizeof(double) * keep);
        m_Base = m_Received - keep;
    }
    std::memcpy(m_History.get() + (m_Received - m_Base), input, sizeof(double) * count);
    m_Received += count;
}

void FftResampler::RunBlock(int64_t target, int &produced) {
    const ResamplerKernel &k = *m_Kernel;
    // The latest block start (a multiple of q, so that its first sample at
    // the filter rate is on the output grid) whose first valid output is the
    // first one still to compute.
    const int64_t firstNeeded = m_Down * m_Done;
    const int64_t start = FloorDiv(FloorDiv(firstNeeded - (k.m_Taps - 1), m_Up), m_Down) * m_Down;

    // Block input: zeros before the stream's start and past its last sample.
    double *block = m_Block.get();
    for (int i = 0; i < m_FftIn;) {
        const int64_t pos = start + i;
        if (pos < 0 || pos >= m_Received) {
            block[i++] = 0.0;
            continue;
        }
        const int run = static_cast<int>(std::min<int64_t>(m_FftIn - i, m_Received - pos));
        std::memcpy(block + i, m_History.get() + (pos - m_Base), sizeof(double) * run);
        i += run;
    }
    fftw_execute_dft_r2c(k.m_Forward, block, m_BlockSpectrum.get());

    // Product spectrum: the input spectrum repeated p times (up-sampling by
    // zero insertion) times the filter's, folded q times (down-sampling).
    const auto *in = reinterpret_cast<const std::complex<double> *>(m_BlockSpectrum.get());
    auto *out = reinterpret_cast<std::complex<double> *>(m_OutSpectrum.get());
    const std::complex<double> *h = k.m_Spectrum;
    const int halfIn = m_FftIn / 2;
    const int halfUp = m_FftUp / 2;
    if (m_Down == 1) {
        // Bin j of the up-sampled block is input bin j mod N, mirrored above N/2.
        // Written out: std::complex's product checks for NaN and infinity.
        int r = 0;
        for (int j = 0; j <= halfUp; ++j) {
            double xr, xi;
            if (r <= halfIn) {
                xr = in[r].real(), xi = in[r].imag();
            } else {
                xr = in[m_FftIn - r].real(), xi = -in[m_FftIn - r].imag();
            }
            const double hr = h[j].real(), hi = h[j].imag();
            out[j] = std::complex<double>(xr * hr - xi * hi, xr * hi + xi * hr);
            if (++r == m_FftIn) r = 0;
        }
    } else {
        auto product = [&](int j) {
            const bool mirror = j > halfUp;
            const int jj = mirror ? m_FftUp - j : j;
            const int r = jj % m_FftIn;
            const std::complex<double> x = r <= halfIn ? in[r] : std::conj(in[m_FftIn - r]);
            const std::complex<double> y = x * h[jj];
            return mirror ? std::conj(y) : y;
        };
        for (int j = 0; j <= m_FftOut / 2; ++j) {
            std::complex<double> sum = 0;
            for (int f = 0; f < m_Down; ++f) sum += product(j + f * m_FftOut);
            out[j] = sum;
        }
    }
    fftw_execute_dft_c2r(k.m_Inverse, m_OutSpectrum.get(), m_OutBlock.get());

    // Output m is block sample m - first; the block reaches as far as it
    // holds valid samples, and never past what the input received allows.
    const int64_t first = m_Up * start / m_Down;
    const int64_t end = std::min(target, first + m_FftOut);
    const double *samples = m_OutBlock.get();
    for (int64_t m = std::max<int64_t>(m_Done, m_Latency); m < end; ++m)
        m_Out[produced++] = samples[m - first];
    m_Done = end;
}

// An integral rate in Hz, or 0.
long WholeRate(double rate) {
    if (!(rate >= 1.0 && rate <= 1e6)) return 0;
    const double whole = std::round(rate);
    return std::fabs(rate - whole) < 1e-9 ? static_cast<long>(whole) : 0;
}

bool Refuse(std::string *error, const std::string &reason) {
    if (error) *error = reason;
    return false;
}

}  // namespace

std::unique_ptr<Resampler> CreateResampler(double srcRate, double dstRate, int maxInLen,
                                           double transitionBand, double stopBandAttenuation,
                                           std::string *error) {
    const long in = WholeRate(srcRate), out = WholeRate(dstRate);
    if (in == 0 || out == 0) {
        Refuse(error, "rates must be whole numbers of Hz from 1 to 1000000");
        return nullptr;
    }
    if (in == out) {
        Refuse(error, "source and destination rates are equal");
        return nullptr;
    }
    const long g = std::gcd(in, out);
    const int up = static_cast<int>(out / g), down = static_cast<int>(in / g);
    if (up > kMaxFactor || down > kMaxFactor) {
        Refuse(error, "ratio " + std::to_string(up) + "/" + std::to_string(down) +
                          " has a factor above " + std::to_string(kMaxFactor));
        return nullptr;
    }
    if (maxInLen <= 0 || maxInLen > kMaxInputLength) {
        Refuse(error, "largest input length must be from 1 to " + std::to_string(kMaxInputLength));
        return nullptr;
    }
    if (!(transitionBand >= 0.5 && transitionBand <= 45)) {
        Refuse(error, "transition band must be from 0.5 to 45 percent");
        return nullptr;
    }
    if (!(stopBandAttenuation >= 49 && stopBandAttenuation <= 218)) {
        Refuse(error, "stop-band attenuation must be from 49 to 218 dB");
        return nullptr;
    }

    KernelSpec spec;
    spec.m_Up = up;
    spec.m_Down = down;
    spec.m_FilterRate = static_cast<double>(in) * up;
    spec.m_BandEdge = std::min(in, out) / 2.0;
    spec.m_TransitionBand = transitionBand;
    spec.m_Attenuation = stopBandAttenuation;
    // A third of the largest input: callers size their largest chunk with
    // room to spare, and one block per usual chunk is the cheapest.
    spec.m_ChunkHint = std::max(1, maxInLen / 3);
    std::string reason;
    auto kernel = ResamplerKernel::Get(spec, reason);
    if (!kernel) {
        Refuse(error, reason);
        return nullptr;
    }
    std::unique_ptr<FftResampler> resampler(new FftResampler(std::move(kernel), maxInLen));
    if (!resampler->Allocated()) {
        Refuse(error, "out of memory for FFT buffers");
        return nullptr;
    }
    return resampler;
}

}  // namespace KORAL
