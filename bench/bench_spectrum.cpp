// Times one spectrum analysis (64 bands over a 1024-sample window) and the
// share of one core it takes at the lowest and highest common rates, against
// two references in the same run: the band-by-band scalar recurrence that
// the analysis must equal bit for bit, and a sin and cos per sample, which
// the recurrence avoids. Prints figures only; a slow machine is not a failure.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <random>
#include <vector>

#include "server/spectrum.h"
#include "tests/support/spectrum_reference.h"

namespace {

constexpr int kRuns = 9;
constexpr int kAnalysesPerRun = 200;
constexpr double kRate = 48000.0;
constexpr double kAnalysesPerSecond48k = 48000.0 / relay::kAnalysisWindow;   // 46.875
constexpr double kAnalysesPerSecond192k = 192000.0 / relay::kAnalysisWindow; // 187.5

// The same coefficients with a sine and cosine per sample; magnitudes only.
double directAnalysis(const relay::SpectrumWindow& window) {
    const auto& weights = relay::spectrumHannWeights();
    double total = 0.0;
    for (const double hz : relay::spectrumBandHz()) {
        const double omega = hz * 2.0 * std::numbers::pi / kRate;
        double re = 0.0, im = 0.0;
        for (std::size_t n = 0; n < relay::kAnalysisWindow; ++n) {
            const double x = weights[n] * static_cast<double>(window[n]);
            re += x * std::cos(omega * static_cast<double>(n));
            im -= x * std::sin(omega * static_cast<double>(n));
        }
        total += std::sqrt(re * re + im * im);
    }
    return total;
}

// Median over kRuns of the microseconds one call of `analyse` takes.
template <typename Analyse>
double medianMicroseconds(Analyse analyse) {
    std::vector<double> perRun;
    for (int run = 0; run < kRuns; ++run) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kAnalysesPerRun; ++i) analyse();
        const std::chrono::duration<double, std::micro> elapsed = std::chrono::steady_clock::now() - start;
        perRun.push_back(elapsed.count() / kAnalysesPerRun);
    }
    std::sort(perRun.begin(), perRun.end());
    return perRun[kRuns / 2];
}

// Percent of one core spent when each analysis takes `us` microseconds.
double coreSharePercent(double us, double analysesPerSecond) {
    return us * 1e-6 * analysesPerSecond * 100.0;
}

}  // namespace

int main() {
    relay::SpectrumWindow window{};
    std::mt19937 gen(1);
    std::uniform_real_distribution<float> sample(-1.0f, 1.0f);
    for (float& x : window) x = sample(gen);

    relay::SpectrumCells cells;
    for (auto& cell : cells) cell.store(relay::kSpectrumFloorDb);
    volatile double sink = 0.0;  // keeps the baseline's work observable

    relay::SpectrumCells scalarCells;
    for (auto& cell : scalarCells) cell.store(relay::kSpectrumFloorDb);

    const double phasorUs = medianMicroseconds([&] { relay::analyzeWindow(window, kRate, cells); });
    relay::SpectrumCells sse2Cells;
    for (auto& cell : sse2Cells) cell.store(relay::kSpectrumFloorDb);
    const double sse2Us = medianMicroseconds(
        [&] { relay::analyzeWindow(window, kRate, sse2Cells, relay::SpectrumKernel::kSse2); });
    const double scalarUs = medianMicroseconds([&] { relay::reference::analyzeWindow(window, kRate, scalarCells); });
    const double directUs = medianMicroseconds([&] { sink = sink + directAnalysis(window); });

    std::printf("spectrum analysis, median of %d runs x %d analyses\n", kRuns, kAnalysesPerRun);
    std::printf("  phasor recurrence  %8.1f us per analysis on %s (goal: at most 36 us)\n", phasorUs,
                relay::spectrumAvxUsable() ? "AVX" : "SSE2");
    std::printf("  the same on SSE2   %8.1f us per analysis (%.2fx below the reference; processors without AVX)\n",
                sse2Us, scalarUs / sse2Us);
    std::printf("  band-by-band scalar reference %8.1f us per analysis (%.2fx the phasor cost; goal: 4x)\n",
                scalarUs, scalarUs / phasorUs);
    std::printf("  sin/cos baseline   %8.1f us per analysis (%.1fx the phasor cost)\n", directUs,
                directUs / phasorUs);
    std::printf("  share of one core at  48 kHz (%.3f analyses/s): %.3f %%\n", kAnalysesPerSecond48k,
                coreSharePercent(phasorUs, kAnalysesPerSecond48k));
    std::printf("  share of one core at 192 kHz (%.1f analyses/s):  %.3f %%\n", kAnalysesPerSecond192k,
                coreSharePercent(phasorUs, kAnalysesPerSecond192k));
    std::printf("  (band 40 reads %.2f dB, %s the scalar reference)\n", cells[40].load(),
                cells[40].load() == scalarCells[40].load() ? "equal to" : "DIFFERENT from");
    return 0;
}
