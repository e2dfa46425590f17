#include "ResamplerKernel.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace KORAL {

namespace {

// FFTW's planner (plan creation and destruction) is not thread-safe; its
// execute calls are. This lock also guards the kernel cache. Recursive: a
// kernel whose last reference goes while the cache is searched (or whose
// build failed) is destroyed with the lock held.
// Both are never destroyed, so that a converter outliving static destruction
// (one owned by a global) still finds them.
std::recursive_mutex &PlannerLock() {
    static auto *lock = new std::recursive_mutex;
    return *lock;
}

std::vector<std::weak_ptr<const ResamplerKernel>> &Cache() {
    static auto *cache = new std::vector<std::weak_ptr<const ResamplerKernel>>;
    return *cache;
}

// Zeroth-order modified Bessel function of the first kind (power series).
double BesselI0(double x) {
    double sum = 1.0, term = 1.0;
    const double q = x * x / 4.0;
    for (int k = 1; k < 500; ++k) {
        term *= q / (static_cast<double>(k) * k);
        sum += term;
        if (term < sum * 1e-17) break;
    }
    return sum;
}

// Kaiser's beta for a stop-band attenuation in dB.
double KaiserBeta(double atten) {
    if (atten > 50) return 0.1102 * (atten - 8.7);
    if (atten >= 21) return 0.5842 * std::pow(atten - 21, 0.4) + 0.07886 * (atten - 21);
    return 0;
}

// Half length (taps either side of the centre) that Kaiser's estimate gives
// for the transition width, rounded up to a multiple of `down` so that the
// group delay is a whole number of output samples.
int HalfLength(const KernelDesign &s) {
    const double width = s.m_BandEdge * s.m_TransitionBand / 100.0;
    const double order = (s.m_Attenuation - 7.95) / (2.285 * 2.0 * M_PI * width / s.m_FilterRate);
    int half = static_cast<int>(std::ceil(order / 2.0));
    half = (half + s.m_Down - 1) / s.m_Down * s.m_Down;
    return half;
}

// Input samples whose outputs one block is sure to cover: its outputs less
// those the filter's length spoils at its start and those lost in aligning the
// block's start to the output grid (up to p x q - 1 at the filter rate).
int BlockAdvance(int fftIn, int up, int down, int taps) {
    const int outputs = fftIn * up / down - (taps - 1 + up * down - 1 + down - 1) / down;
    return outputs <= 0 ? 0 : outputs * down / up;
}

// Block length in input samples: among lengths FFTW transforms fast (2^a 3^b
// 5^c, times q), the one that converts a chunk of the hinted length in the
// fewest operations (blocks needed x n log n of both transforms).
int ChooseFftIn(const KernelDesign &s, int taps) {
    const int chunk = std::max(s.m_ChunkHint, 1);
    // Past this, one block already covers the chunk and longer ones only cost more.
    const long limit = std::min<long>(1L << 22, 4L * (taps / s.m_Up + chunk) + 1024);
    std::vector<long> lengths;
    for (long a = 16; a <= limit; a *= 2)
        for (long b = a; b <= limit; b *= 3)
            for (long c = b; c <= limit; c *= 5) lengths.push_back(c);
    std::sort(lengths.begin(), lengths.end());
    int best = 0;
    double bestCost = 0;
    for (long length : lengths) {
        const int fftIn = static_cast<int>(length) * s.m_Down;
        const int advance = BlockAdvance(fftIn, s.m_Up, s.m_Down, taps);
        if (advance <= 0) continue;
        const double n = fftIn, m = double(fftIn) * s.m_Up / s.m_Down;
        const double blocks = std::ceil(double(chunk) / advance);
        const double cost = blocks * (n * std::log2(n) + m * std::log2(m));
        if (best == 0 || cost < bestCost) best = fftIn, bestCost = cost;
    }
    return best;
}

}  // namespace

template <typename T>
T *AllocFftBuffer(size_t count) {
    const size_t align = 64;
    const size_t bytes = (count * sizeof(T) + align - 1) / align * align;
    return static_cast<T *>(std::aligned_alloc(align, bytes));
}
template double *AllocFftBuffer<double>(size_t);
template fftw_complex *AllocFftBuffer<fftw_complex>(size_t);

void FreeFftBuffer(void *p) { std::free(p); }

bool KernelDesign::operator==(const KernelDesign &o) const {
    return m_Up == o.m_Up && m_Down == o.m_Down && m_FilterRate == o.m_FilterRate &&
           m_BandEdge == o.m_BandEdge && m_TransitionBand == o.m_TransitionBand &&
           m_Attenuation == o.m_Attenuation && m_ChunkHint == o.m_ChunkHint;
}

std::vector<double> ResamplerKernel::DesignTaps(const KernelDesign &s) {
    const int half = HalfLength(s);
    const int taps = 2 * half + 1;
    // Cut-off in the middle of the transition band, which ends at the band edge.
    const double cutoff = s.m_BandEdge * (1.0 - s.m_TransitionBand / 200.0) / s.m_FilterRate;
    const double beta = KaiserBeta(s.m_Attenuation);
    const double i0Beta = BesselI0(beta);
    std::vector<double> h(taps);
    for (int n = 0; n < taps; ++n) {
        const double x = n - half;
        const double sinc = x == 0 ? 2.0 * cutoff : std::sin(2.0 * M_PI * cutoff * x) / (M_PI * x);
        const double r = x / half;
        const double window = BesselI0(beta * std::sqrt(std::max(0.0, 1.0 - r * r))) / i0Beta;
        h[n] = sinc * window;
    }
    // Exact DC gain of `up`, whatever the rounding of the window.
    double sum = 0;
    for (double v : h) sum += v;
    for (double &v : h) v *= s.m_Up / sum;
    return h;
}

std::shared_ptr<const ResamplerKernel> ResamplerKernel::Get(const KernelDesign &design,
                                                            std::string &error) {
    std::lock_guard<std::recursive_mutex> guard(PlannerLock());
    auto &cache = Cache();
    for (auto it = cache.begin(); it != cache.end();) {
        auto kernel = it->lock();
        if (!kernel) {
            it = cache.erase(it);
            continue;
        }
        if (kernel->m_Design == design) return kernel;
        ++it;
    }
    std::shared_ptr<ResamplerKernel> kernel(new ResamplerKernel);
    if (!kernel->Build(design, error)) return nullptr;
    cache.push_back(kernel);
    return kernel;
}

// Called with the planner lock held.
bool ResamplerKernel::Build(const KernelDesign &design, std::string &error) {
    m_Design = design;
    const std::vector<double> h = DesignTaps(design);
    m_Taps = static_cast<int>(h.size());
    m_FftIn = ChooseFftIn(design, m_Taps);
    if (m_FftIn == 0) {
        error = "no FFT block length fits a filter of " + std::to_string(m_Taps) + " taps";
        return false;
    }
    m_FftUp = m_FftIn * design.m_Up;
    m_FftOut = m_FftUp / design.m_Down;

    // Filter spectrum, through a throw-away plan of the filter-rate length.
    double *time = AllocFftBuffer<double>(m_FftUp);
    fftw_complex *freq = AllocFftBuffer<fftw_complex>(m_FftUp / 2 + 1);
    double *in = AllocFftBuffer<double>(m_FftIn);
    fftw_complex *inFreq = AllocFftBuffer<fftw_complex>(m_FftIn / 2 + 1);
    fftw_complex *outFreq = AllocFftBuffer<fftw_complex>(m_FftOut / 2 + 1);
    double *out = AllocFftBuffer<double>(m_FftOut);
    m_Spectrum =
        reinterpret_cast<std::complex<double> *>(AllocFftBuffer<fftw_complex>(m_FftUp / 2 + 1));
    bool ok = time && freq && in && inFreq && outFreq && out && m_Spectrum;
    if (ok) {
        fftw_plan plan = fftw_plan_dft_r2c_1d(m_FftUp, time, freq, FFTW_ESTIMATE);
        ok = plan != nullptr;
        if (ok) {
            std::fill(time, time + m_FftUp, 0.0);
            std::copy(h.begin(), h.end(), time);
            fftw_execute(plan);
            fftw_destroy_plan(plan);
            const double scale = 1.0 / m_FftUp;
            for (int k = 0; k <= m_FftUp / 2; ++k)
                m_Spectrum[k] = std::complex<double>(freq[k][0], freq[k][1]) * scale;
        }
    }
    if (ok) {
        m_Forward = fftw_plan_dft_r2c_1d(m_FftIn, in, inFreq, FFTW_ESTIMATE);
        m_Inverse = fftw_plan_dft_c2r_1d(m_FftOut, outFreq, out, FFTW_ESTIMATE);
        ok = m_Forward && m_Inverse;
    }
    FreeFftBuffer(time);
    FreeFftBuffer(freq);
    FreeFftBuffer(in);
    FreeFftBuffer(inFreq);
    FreeFftBuffer(outFreq);
    FreeFftBuffer(out);
    if (!ok)
        error = "FFTW could not plan transforms of " + std::to_string(m_FftIn) + " and " +
                std::to_string(m_FftOut) + " samples";
    return ok;
}

ResamplerKernel::~ResamplerKernel() {
    std::lock_guard<std::recursive_mutex> guard(PlannerLock());
    if (m_Forward) fftw_destroy_plan(m_Forward);
    if (m_Inverse) fftw_destroy_plan(m_Inverse);
    FreeFftBuffer(m_Spectrum);
}

}  // namespace KORAL
