// The spectrum analysis computed one band at a time with plain scalar
// arithmetic: the straightforward form of the phasor recurrence, kept as the
// reference the vectorised analysis must match bit for bit (tests) and the
// cost it is measured against (bench).
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstddef>

#include "server/spectrum.h"

namespace relay::reference {

inline constexpr double kTwoPi = 6.283185307179586;
inline constexpr double kCoefficientToAmplitude = 4.0 * 0.0009765625;

// One band's Hann-weighted DFT coefficient at `omega` radians per sample, in dB.
inline float bandLevelDb(const SpectrumWindow& window, double omega) noexcept {
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
    return static_cast<float>(std::log10(std::max(magnitude, kSpectrumMinMagnitude)) * 20.0);
}

// Same contract as relay::analyzeWindow.
inline void analyzeWindow(const SpectrumWindow& window, double sampleRate, SpectrumCells& cells) noexcept {
    const std::array<double, kSpectrumBands>& bandHz = spectrumBandHz();
    for (std::size_t k = 0; k < kSpectrumBands; ++k) {
        if (bandHz[k] >= sampleRate * 0.5) {
            cells[k].store(kSpectrumFloorDb, std::memory_order_relaxed);
            continue;
        }
        const float level = bandLevelDb(window, bandHz[k] * kTwoPi / sampleRate);
        const float fallen = cells[k].load(std::memory_order_relaxed) - kSpectrumFallDb;
        cells[k].store(fallen > level ? fallen : level, std::memory_order_relaxed);
    }
}

}  // namespace relay::reference
