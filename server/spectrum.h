// The 64-band spectrum of the streamed signal: blocks are folded to mono into
// a 1024-sample window, and each full window yields one Hann-weighted Fourier
// coefficient per band, published in dB as a peak follower. Everything here
// runs on the server thread and allocates nothing.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "server/audio_ring.h"
#include "server/stream_server.h"

namespace relay {

inline constexpr double kSpectrumLowestHz = 25.0;        // band 0
inline constexpr double kSpectrumSpan = 800.0;           // band 63 / band 0
inline constexpr float kSpectrumFallDb = 2.5f;           // most a band falls per analysis
inline constexpr double kSpectrumMinMagnitude = 1e-7;    // -140 dB, keeps log10 finite

using SpectrumWindow = std::array<float, kAnalysisWindow>;
using SpectrumCells = std::array<std::atomic<float>, kSpectrumBands>;

// Band centre frequencies in Hz, 25 * 800^(k/63) for k = 0..63 (band 63 is
// exactly 20000). Built once on first use; any thread.
const std::array<double, kSpectrumBands>& spectrumBandHz() noexcept;

// The symmetric Hann weights 0.5 - cos(n * 2pi / 1023) * 0.5, n = 0..1023:
// 0 at both ends, peaking near 1 in the middle. Built once on first use with
// the same library cosine the formula uses, so table and formula agree
// bit for bit; any thread.
const std::array<double, kAnalysisWindow>& spectrumHannWeights() noexcept;

// Server thread: analyses one full window of mono samples taken at
// `sampleRate` Hz (> 0) and updates the 64 cells (dB). Bands at or above half
// the rate are set to -90; every other band takes the new level if it is
// louder, else falls by 2.5 dB towards it. Levels are -140 dB or more; a sine
// of amplitude 1.0 at a band's frequency reads about 0 dB there. Runs on AVX
// where it is usable, else on SSE2.
void analyzeWindow(const SpectrumWindow& window, double sampleRate, SpectrumCells& cells) noexcept;

// The instructions that rotate the bands' phasors: SSE2, which every x86-64
// processor has, or AVX, twice as wide, where the processor and the system
// offer it. Both give the same values bit for bit.
enum class SpectrumKernel { kSse2, kAvx };
bool spectrumAvxUsable() noexcept;

// analyzeWindow() on the kernel asked for; kAvx where AVX is not usable runs
// SSE2. For tests and benchmarks that compare the two.
void analyzeWindow(const SpectrumWindow& window, double sampleRate, SpectrumCells& cells,
                   SpectrumKernel kernel) noexcept;

// Server thread: appends `block` folded to mono ((right + left) / 2) to
// `window` at `fill` (0..1023 between calls). Each time the window fills,
// `fill` returns to 0 and the window is analysed into `cells` at the rate of
// the block that completed it; the block's remaining frames begin the next
// window. Returns the number of analyses run (0 or 1 for a block of at most
// 256 frames).
std::size_t foldIntoSpectrum(const AudioBlock& block, SpectrumWindow& window, std::uint64_t& fill,
                             SpectrumCells& cells) noexcept;

}  // namespace relay
