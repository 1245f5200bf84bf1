#include "server/spectrum.h"

#include <emmintrin.h>

#include <algorithm>
#include <cmath>
#include <numbers>

namespace relay {

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;  // 6.283185307179586
constexpr double kLastBand = static_cast<double>(kSpectrumBands - 1);
constexpr double kHannDenominator = static_cast<double>(kAnalysisWindow - 1);
// A sine of amplitude A at the band's frequency adds A/2 times the Hann sum
// (about 1024/2) to the coefficient, so 4/1024 turns it back into A.
constexpr double kCoefficientToAmplitude = 4.0 / static_cast<double>(kAnalysisWindow);
constexpr double kDbPerDecade = 20.0;  // amplitude, not power
constexpr float kMonoFold = 0.5f;

// Bands whose phasors rotate side by side: two per SSE2 register, four
// registers a pass. Each band's recurrence is a long chain of dependent
// products, so one band alone leaves the multipliers idle waiting on
// latency; eight keep them busy (measured faster than six).
constexpr std::size_t kBandsPerLane = 2;
constexpr std::size_t kLanesPerPass = 4;
constexpr std::size_t kBandsPerPass = kBandsPerLane * kLanesPerPass;
static_assert(kSpectrumBands % kBandsPerPass == 0);
using BandValues = std::array<double, kSpectrumBands>;

using WeightedWindow = std::array<double, kAnalysisWindow>;

// The Hann-weighted samples, the same for every band.
void weightWindow(const SpectrumWindow& window, WeightedWindow& x) noexcept {
    const std::array<double, kAnalysisWindow>& weights = spectrumHannWeights();
    for (std::size_t n = 0; n < kAnalysisWindow; ++n) x[n] = weights[n] * static_cast<double>(window[n]);
}

// The Hann-weighted DFT coefficients (re, im) of kBandsPerPass bands whose
// phasor steps are (c, s): the phasor (u, v) starts at (1, 0) and is rotated
// by a fixed step instead of calling sin and cos for every sample. Each lane
// performs exactly the scalar sequence of IEEE operations for its own band
// (no fused multiply-add), so every band's result is what a band-by-band
// loop gives, bit for bit.
void rotatePass(const WeightedWindow& x, const double* c, const double* s, double* re, double* im) noexcept {
    __m128d u[kLanesPerPass], v[kLanesPerPass], sumRe[kLanesPerPass], sumIm[kLanesPerPass];
    __m128d cs[kLanesPerPass], sn[kLanesPerPass];
    for (std::size_t j = 0; j < kLanesPerPass; ++j) {
        u[j] = _mm_set1_pd(1.0);
        v[j] = sumRe[j] = sumIm[j] = _mm_setzero_pd();
        cs[j] = _mm_loadu_pd(c + kBandsPerLane * j);
        sn[j] = _mm_loadu_pd(s + kBandsPerLane * j);
    }
    for (std::size_t n = 0; n < kAnalysisWindow; ++n) {
        const __m128d xn = _mm_set1_pd(x[n]);
        for (std::size_t j = 0; j < kLanesPerPass; ++j) {
            sumRe[j] = _mm_add_pd(sumRe[j], _mm_mul_pd(xn, u[j]));   // re += x * u
            sumIm[j] = _mm_sub_pd(sumIm[j], _mm_mul_pd(xn, v[j]));   // im -= x * v
            const __m128d rotatedU = _mm_sub_pd(_mm_mul_pd(u[j], cs[j]), _mm_mul_pd(v[j], sn[j]));
            v[j] = _mm_add_pd(_mm_mul_pd(u[j], sn[j]), _mm_mul_pd(v[j], cs[j]));
            u[j] = rotatedU;
        }
    }
    for (std::size_t j = 0; j < kLanesPerPass; ++j) {
        _mm_storeu_pd(re + kBandsPerLane * j, sumRe[j]);
        _mm_storeu_pd(im + kBandsPerLane * j, sumIm[j]);
    }
}

// A coefficient as a level in dB, -140 dB or more.
float levelDb(double re, double im) noexcept {
    const double magnitude = std::sqrt(im * im + re * re) * kCoefficientToAmplitude;
    return static_cast<float>(std::log10(std::max(magnitude, kSpectrumMinMagnitude)) * kDbPerDecade);
}

}  // namespace

const std::array<double, kSpectrumBands>& spectrumBandHz() noexcept {
    static const std::array<double, kSpectrumBands> table = [] {
        std::array<double, kSpectrumBands> hz{};
        for (std::size_t k = 0; k < kSpectrumBands; ++k)
            hz[k] = std::pow(kSpectrumSpan, static_cast<double>(k) / kLastBand) * kSpectrumLowestHz;
        return hz;
    }();
    return table;
}

const std::array<double, kAnalysisWindow>& spectrumHannWeights() noexcept {
    static const std::array<double, kAnalysisWindow> table = [] {
        std::array<double, kAnalysisWindow> w{};
        for (std::size_t n = 0; n < kAnalysisWindow; ++n)
            w[n] = 0.5 - std::cos(static_cast<double>(n) * kTwoPi / kHannDenominator) * 0.5;
        return w;
    }();
    return table;
}

void analyzeWindow(const SpectrumWindow& window, double sampleRate, SpectrumCells& cells) noexcept {
    const std::array<double, kSpectrumBands>& bandHz = spectrumBandHz();
    const double nyquist = sampleRate * 0.5;
    // 1. Phasor steps of the bands below half the rate; the band frequencies
    // rise, so those bands are a prefix. Steps past it stay at no rotation.
    BandValues c{}, s{}, re{}, im{};
    std::size_t audible = 0;
    while (audible < kSpectrumBands && bandHz[audible] < nyquist) {
        const double omega = bandHz[audible] * kTwoPi / sampleRate;
        c[audible] = std::cos(omega);
        s[audible] = std::sin(omega);
        ++audible;
    }
    // 2. The coefficients, several bands per pass over the window.
    WeightedWindow x;
    weightWindow(window, x);
    for (std::size_t first = 0; first < audible; first += kBandsPerPass)
        rotatePass(x, &c[first], &s[first], &re[first], &im[first]);
    // 3. Publish. Each cell stands alone and has this thread as its only
    // writer, so relaxed loads and stores suffice; readers may see two
    // analyses mixed.
    for (std::size_t k = 0; k < kSpectrumBands; ++k) {
        if (k >= audible) {
            cells[k].store(kSpectrumFloorDb, std::memory_order_relaxed);
            continue;
        }
        const float level = levelDb(re[k], im[k]);
        // Rise at once, fall slowly: a peak follower the editor can draw as is.
        const float fallen = cells[k].load(std::memory_order_relaxed) - kSpectrumFallDb;
        cells[k].store(fallen > level ? fallen : level, std::memory_order_relaxed);
    }
}

std::size_t foldIntoSpectrum(const AudioBlock& block, SpectrumWindow& window, std::uint64_t& fill,
                             SpectrumCells& cells) noexcept {
    // A block never holds more than its array; the clamp only guards memory.
    const std::uint32_t frames = std::min(block.frameCount, kBlockFrames);
    std::size_t analyses = 0;
    for (std::uint32_t i = 0; i < frames; ++i) {
        window[fill] = (block.samples[2 * i + 1] + block.samples[2 * i]) * kMonoFold;
        if (++fill < kAnalysisWindow) continue;
        // Windows do not overlap, and the completing block's rate stands for
        // all of the window's samples.
        fill = 0;
        analyzeWindow(window, static_cast<double>(block.sampleRate), cells);
        ++analyses;
    }
    return analyses;
}

void StreamServer::analyzeSpectrum(const AudioBlock& block) {
    foldIntoSpectrum(block, analysisWindow, analysisFill, spectrumDb);
}

}  // namespace relay
