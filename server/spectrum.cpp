#include "server/spectrum.h"

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

// One Hann-weighted DFT coefficient of `window` at `omega` radians per
// sample, as a level in dB. The phasor (u, v) is rotated by a fixed step
// instead of calling sin and cos for every sample.
float bandLevelDb(const SpectrumWindow& window, double omega) noexcept {
    const std::array<double, kAnalysisWindow>& weights = spectrumHannWeights();
    const double c = std::cos(omega);
    const double s = std::sin(omega);
    double u = 1.0, v = 0.0, re = 0.0, im = 0.0;
    for (std::size_t n = 0; n < kAnalysisWindow; ++n) {
        const double x = weights[n] * static_cast<double>(window[n]);
        re += x * u;
        im -= x * v;
        const double rotatedU = u * c - v * s;
        v = u * s + v * c;
        u = rotatedU;
    }
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
    // Each cell stands alone and has this thread as its only writer, so
    // relaxed loads and stores suffice; readers may see two analyses mixed.
    for (std::size_t k = 0; k < kSpectrumBands; ++k) {
        if (bandHz[k] >= nyquist) {
            cells[k].store(kSpectrumFloorDb, std::memory_order_relaxed);
            continue;
        }
        const float level = bandLevelDb(window, bandHz[k] * kTwoPi / sampleRate);
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
