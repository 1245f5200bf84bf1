#include "server/spectrum.h"

#include <algorithm>
#include <cmath>
#include <cstring>
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

using BandValues = std::array<double, kSpectrumBands>;
using WeightedWindow = std::array<double, kAnalysisWindow>;

// The Hann-weighted samples, the same for every band.
void weightWindow(const SpectrumWindow& window, WeightedWindow& x) noexcept {
    const std::array<double, kAnalysisWindow>& weights = spectrumHannWeights();
    for (std::size_t n = 0; n < kAnalysisWindow; ++n) x[n] = weights[n] * static_cast<double>(window[n]);
}

// Eight bands rotate side by side, one per lane of vectors of doubles. Each
// band's recurrence is a long chain of dependent products, so one band alone
// leaves the multipliers idle waiting on latency; eight keep them busy
// (measured faster than six; sixteen in AVX registers gained nothing), and
// in AVX registers eight need no spills.
using TwoBands = double __attribute__((vector_size(16)));   // SSE2, on every x86-64
using FourBands = double __attribute__((vector_size(32)));  // AVX, where offered
constexpr std::size_t kBandsPerPass = 8;
static_assert(kSpectrumBands % kBandsPerPass == 0);

// The Hann-weighted DFT coefficients (re, im) of bands [0, count), whose
// phasor steps are (c, s), kBandsPerPass bands a pass over the window: each
// phasor (u, v) starts at (1, 0) and is rotated by a fixed step instead of
// calling sin and cos for every sample. Each lane performs exactly the
// scalar sequence of IEEE operations for its own band (no fused
// multiply-add), so every band's result is what a band-by-band loop gives,
// bit for bit, whatever the vector width. Bands of the last pass past
// `count` rotate by whatever steps they hold and are never read. Inlined
// into a caller that picks the instruction set.
template <typename V>
[[gnu::always_inline]] inline void rotateBands(const WeightedWindow& x, const BandValues& c, const BandValues& s,
                                               BandValues& re, BandValues& im, std::size_t count) noexcept {
    constexpr std::size_t kWidth = sizeof(V) / sizeof(double);
    constexpr std::size_t kVectorsPerPass = kBandsPerPass / kWidth;
    for (std::size_t first = 0; first < count; first += kBandsPerPass) {
        V u[kVectorsPerPass], v[kVectorsPerPass], sumRe[kVectorsPerPass], sumIm[kVectorsPerPass];
        V cs[kVectorsPerPass], sn[kVectorsPerPass];
        for (std::size_t j = 0; j < kVectorsPerPass; ++j) {
            u[j] = V{} + 1.0;
            v[j] = sumRe[j] = sumIm[j] = V{};
            std::memcpy(&cs[j], &c[first + kWidth * j], sizeof(V));
            std::memcpy(&sn[j], &s[first + kWidth * j], sizeof(V));
        }
        for (std::size_t n = 0; n < kAnalysisWindow; ++n) {
            const double xn = x[n];
            for (std::size_t j = 0; j < kVectorsPerPass; ++j) {
                sumRe[j] = sumRe[j] + xn * u[j];  // re += x * u
                sumIm[j] = sumIm[j] - xn * v[j];  // im -= x * v
                const V rotatedU = u[j] * cs[j] - v[j] * sn[j];
                v[j] = u[j] * sn[j] + v[j] * cs[j];
                u[j] = rotatedU;
            }
        }
        for (std::size_t j = 0; j < kVectorsPerPass; ++j) {
            std::memcpy(&re[first + kWidth * j], &sumRe[j], sizeof(V));
            std::memcpy(&im[first + kWidth * j], &sumIm[j], sizeof(V));
        }
    }
}

void rotateBandsSse2(const WeightedWindow& x, const BandValues& c, const BandValues& s, BandValues& re,
                     BandValues& im, std::size_t count) noexcept {
    rotateBands<TwoBands>(x, c, s, re, im, count);
}

[[gnu::target("avx")]] void rotateBandsAvx(const WeightedWindow& x, const BandValues& c, const BandValues& s,
                                           BandValues& re, BandValues& im, std::size_t count) noexcept {
    rotateBands<FourBands>(x, c, s, re, im, count);
}

// Asked once, at load: the processor has AVX and the system saves its
// registers (libgcc checks both).
const bool kAvxUsable = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx") != 0;
}();

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

bool spectrumAvxUsable() noexcept { return kAvxUsable; }

void analyzeWindow(const SpectrumWindow& window, double sampleRate, SpectrumCells& cells) noexcept {
    analyzeWindow(window, sampleRate, cells, kAvxUsable ? SpectrumKernel::kAvx : SpectrumKernel::kSse2);
}

void analyzeWindow(const SpectrumWindow& window, double sampleRate, SpectrumCells& cells,
                   SpectrumKernel kernel) noexcept {
    const std::array<double, kSpectrumBands>& bandHz = spectrumBandHz();
    const double nyquist = sampleRate * 0.5;
    // 1. Phasor steps of the bands below half the rate; the band frequencies
    // rise, so those bands are a prefix. Steps past it stay zero; those
    // bands' coefficients are never read.
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
    if (kernel == SpectrumKernel::kAvx && kAvxUsable) rotateBandsAvx(x, c, s, re, im, audible);
    else rotateBandsSse2(x, c, s, re, im, audible);
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
