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
#include <new>
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

    FftBuffer<double> m_Block;
    FftBuffer<fftw_complex> m_BlockSpectrum;
    FftBuffer<fftw_complex> m_OutSpectrum;
    FftBuffer<double> m_OutBlock;
    std::unique_ptr<double[]> m_Out;
};

FftResampler::FftResampler(std::shared_ptr<const ResamplerKernel> kernel, int maxInLen)
    : m_Kernel(std::move(kernel)),
      m_Up(m_Kernel->m_Design.m_Up),
      m_Down(m_Kernel->m_Design.m_Down),
      m_FftIn(m_Kernel->m_FftIn),
      m_FftUp(m_Kernel->m_FftUp),
      m_FftOut(m_Kernel->m_FftOut),
      m_MaxIn(maxInLen),
      m_Latency((m_Kernel->m_Taps - 1) / 2 / m_Down),
      m_HistoryKeep(m_FftIn + m_Down),
      m_Capacity(2 * (m_FftIn + m_Down) + maxInLen),
      m_History(new (std::nothrow) double[m_Capacity]),
      m_Block(AllocFftBuffer<double>(m_FftIn)),
      m_BlockSpectrum(AllocFftBuffer<fftw_complex>(m_FftIn / 2 + 1)),
      m_OutSpectrum(AllocFftBuffer<fftw_complex>(m_FftOut / 2 + 1)),
      m_OutBlock(AllocFftBuffer<double>(m_FftOut)),
      // Each call yields at most ceil(count x p / q) samples.
      m_Out(
          new (std::nothrow) double[static_cast<size_t>(CeilDiv(int64_t(maxInLen) * m_Up, m_Down)) +
                                    1]) {
    Clear();
}

bool FftResampler::Allocated() const {
    return m_History && m_Block && m_BlockSpectrum && m_OutSpectrum && m_OutBlock && m_Out;
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
    const int64_t from = std::max<int64_t>(start, 0);
    const int64_t to = std::min<int64_t>(start + m_FftIn, m_Received);
    const int lead = static_cast<int>(std::min<int64_t>(from - start, m_FftIn));
    std::fill(block, block + lead, 0.0);
    int filled = lead;
    if (to > from) {
        std::memcpy(block + lead, m_History.get() + (from - m_Base), sizeof(double) * (to - from));
        filled += static_cast<int>(to - from);
    }
    std::fill(block + filled, block + m_FftIn, 0.0);
    fftw_execute_dft_r2c(k.m_Forward, block, m_BlockSpectrum.get());

    // Product spectrum: the input spectrum repeated p times (up-sampling by
    // zero insertion) times the filter's, folded q times (down-sampling).
    const auto *in = reinterpret_cast<const std::complex<double> *>(m_BlockSpectrum.get());
    auto *out = reinterpret_cast<std::complex<double> *>(m_OutSpectrum.get());
    const std::complex<double> *h = k.m_Spectrum;
    const int halfIn = m_FftIn / 2;
    const int halfUp = m_FftUp / 2;
    if (m_Down == 1) {
        // Bin j of the up-sampled block is input bin j mod N, mirrored above
        // N/2: runs of straight and of mirrored bins, each a plain loop.
        // Written out: std::complex's product checks for NaN and infinity.
        const double *x = reinterpret_cast<const double *>(in);
        const double *hh = reinterpret_cast<const double *>(h);
        double *y = reinterpret_cast<double *>(out);
        for (int base = 0; base <= halfUp; base += m_FftIn) {
            const int straight = std::min(halfIn, halfUp - base);
            for (int r = 0; r <= straight; ++r) {
                const int j = base + r;
                const double xr = x[2 * r], xi = x[2 * r + 1];
                const double hr = hh[2 * j], hi = hh[2 * j + 1];
                y[2 * j] = xr * hr - xi * hi;
                y[2 * j + 1] = xr * hi + xi * hr;
            }
            const int mirrored = std::min(m_FftIn - 1, halfUp - base);
            for (int r = halfIn + 1; r <= mirrored; ++r) {
                const int j = base + r;
                const double xr = x[2 * (m_FftIn - r)], xi = -x[2 * (m_FftIn - r) + 1];
                const double hr = hh[2 * j], hi = hh[2 * j + 1];
                y[2 * j] = xr * hr - xi * hi;
                y[2 * j + 1] = xr * hi + xi * hr;
            }
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
    const int64_t keep = std::max<int64_t>(m_Done, m_Latency);
    if (end > keep) {
        std::memcpy(m_Out.get() + produced, m_OutBlock.get() + (keep - first),
                    sizeof(double) * (end - keep));
        produced += static_cast<int>(end - keep);
    }
    m_Done = end;
}

// An integral rate in Hz, or 0.
long WholeRate(double rate) {
    if (!(rate >= 1.0 && rate <= 1e6)) return 0;
    const double whole = std::round(rate);
    return std::fabs(rate - whole) < 1e-9 ? static_cast<long>(whole) : 0;
}

}  // namespace

std::unique_ptr<Resampler> CreateResampler(double srcRate, double dstRate, int maxInLen,
                                           double transitionBand, double stopBandAttenuation,
                                           std::string *error) {
    auto refuse = [error](const std::string &reason) {
        if (error) *error = reason;
        return std::unique_ptr<Resampler>();
    };
    const long in = WholeRate(srcRate), out = WholeRate(dstRate);
    if (in == 0 || out == 0) return refuse("rates must be whole numbers of Hz from 1 to 1000000");
    if (in == out) return refuse("source and destination rates are equal");
    const long g = std::gcd(in, out);
    const int up = static_cast<int>(out / g), down = static_cast<int>(in / g);
    if (up > kMaxFactor || down > kMaxFactor)
        return refuse("ratio " + std::to_string(up) + "/" + std::to_string(down) +
                      " has a factor above " + std::to_string(kMaxFactor));
    if (maxInLen <= 0 || maxInLen > kMaxInputLength)
        return refuse("largest input length must be from 1 to " + std::to_string(kMaxInputLength));
    if (!(transitionBand >= 0.5 && transitionBand <= 45))
        return refuse("transition band must be from 0.5 to 45 percent");
    if (!(stopBandAttenuation >= 49 && stopBandAttenuation <= 218))
        return refuse("stop-band attenuation must be from 49 to 218 dB");

    KernelDesign design;
    design.m_Up = up;
    design.m_Down = down;
    design.m_FilterRate = static_cast<double>(in) * up;
    design.m_BandEdge = std::min(in, out) / 2.0;
    design.m_TransitionBand = transitionBand;
    design.m_Attenuation = stopBandAttenuation;
    // A third of the largest input: callers size their largest chunk with
    // room to spare, and one block per usual chunk is the cheapest.
    design.m_ChunkHint = std::max(1, maxInLen / 3);
    try {
        std::string reason;
        auto kernel = ResamplerKernel::Get(design, reason);
        if (!kernel) return refuse(reason);
        std::unique_ptr<FftResampler> resampler(new FftResampler(std::move(kernel), maxInLen));
        if (!resampler->Allocated()) return refuse("out of memory for FFT buffers");
        return resampler;
    } catch (const std::bad_alloc &) {
        return refuse("out of memory for the filter or its buffers");
    }
}

}  // namespace KORAL
