#include "server/spectrum.h"
#include "support/spectrum_reference.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <functional>
#include <memory>
#include <cmath>
#include <numbers>
#include <random>
#include <tuple>
#include <utility>
#include <vector>

namespace relay {
namespace {

// The analysis state as a fresh stream state holds it, fed block by block.
struct Analyser {
    SpectrumWindow window{};
    std::uint64_t fill = 0;
    SpectrumCells cells;
    std::uint64_t frame = 0;  // running frame index for the generators

    Analyser() {
        for (auto& cell : cells) cell.store(kSpectrumFloorDb);
    }
    float db(std::size_t band) const { return cells[band].load(); }

    // Feeds one block whose frames come from gen(frame) -> {left, right}.
    template <typename Gen>
    std::size_t feed(std::uint32_t frames, std::uint32_t rate, Gen&& gen) {
        AudioBlock block;
        block.sampleRate = rate;
        block.frameCount = frames;
        for (std::uint32_t i = 0; i < frames; ++i, ++frame)
            std::tie(block.samples[2 * i], block.samples[2 * i + 1]) = gen(frame);
        return foldIntoSpectrum(block, window, fill, cells);
    }
    template <typename Gen>
    void feedWindows(int windows, std::uint32_t rate, Gen&& gen) {
        for (int b = 0; b < windows * 4; ++b) feed(kBlockFrames, rate, gen);
    }
};

std::pair<float, float> silence(std::uint64_t) { return {0.0f, 0.0f}; }

// Amplitude-1 sine at band `band`'s frequency; both channels unless leftOnly.
auto bandSine(std::size_t band, double rate, bool leftOnly = false) {
    const double step = 2.0 * std::numbers::pi * spectrumBandHz()[band] / rate;
    return [=](std::uint64_t t) {
        const float x = static_cast<float>(std::sin(step * static_cast<double>(t)));
        return std::pair{x, leftOnly ? 0.0f : x};
    };
}

// Reproducible pseudo-random samples in [-1, 1], different in the two channels.
auto noise() {
    return [gen = std::mt19937(7)](std::uint64_t) mutable {
        auto next = [&] { return static_cast<float>(gen() % 2001) / 1000.0f - 1.0f; };
        const float left = next();
        return std::pair{left, next()};
    };
}

TEST(SpectrumTables, BandsRunLogarithmicallyFrom25HzTo20kHz) {
    const auto& hz = spectrumBandHz();
    EXPECT_EQ(hz[0], 25.0);
    EXPECT_EQ(hz[63], 20000.0);
    EXPECT_NEAR(hz[15], 122.8, 0.05);
    EXPECT_NEAR(hz[31], 670.6, 0.05);
    EXPECT_NEAR(hz[48], 4072.0, 0.5);
    EXPECT_NEAR(hz[61], 16176.0, 0.5);
    for (std::size_t k = 1; k < kSpectrumBands; ++k) EXPECT_NEAR(hz[k] / hz[k - 1], 1.1119, 1e-4);
}

TEST(SpectrumTables, HannWeightsEqualTheirFormulaAndSumToHalfTheWindow) {
    const auto& w = spectrumHannWeights();
    double sum = 0.0;
    for (std::size_t n = 0; n < kAnalysisWindow; ++n) {
        ASSERT_EQ(w[n], 0.5 - std::cos(static_cast<double>(n) * 6.283185307179586 / 1023.0) * 0.5) << n;
        EXPECT_NEAR(w[n], w[1023 - n], 1e-15) << n;
        sum += w[n];
    }
    EXPECT_EQ(w[0], 0.0);
    EXPECT_NEAR(sum, 511.5, 1e-9);
}

TEST(SpectrumFold, EmptyBlockChangesNothing) {
    Analyser a;
    auto gen = noise();
    a.feed(256, 48000, gen);
    a.feed(44, 48000, gen);
    a.cells[5].store(-12.0f);
    const SpectrumWindow window = a.window;
    EXPECT_EQ(a.feed(0, 48000, gen), 0u);
    EXPECT_EQ(a.fill, 300u);
    EXPECT_EQ(a.window, window);
    EXPECT_EQ(a.db(5), -12.0f);
    EXPECT_EQ(a.db(6), kSpectrumFloorDb);
}

TEST(SpectrumFold, FourFullBlocksAnalyseOnceAtTheirLastFrame) {
    Analyser a;
    for (int b = 0; b < 3; ++b) EXPECT_EQ(a.feed(256, 48000, silence), 0u);
    EXPECT_EQ(a.feed(255, 48000, silence), 0u);
    EXPECT_EQ(a.fill, 1023u);
    EXPECT_EQ(a.db(0), kSpectrumFloorDb);
    EXPECT_EQ(a.feed(1, 48000, silence), 1u);
    EXPECT_EQ(a.fill, 0u);
    EXPECT_EQ(a.db(0), -92.5f);
}

TEST(SpectrumFold, WindowCompletedMidBlockUsesExactlyItsFrames) {
    Analyser a;
    std::vector<float> mono;
    auto recorded = [&mono, gen = noise()](std::uint64_t t) mutable {
        const auto [left, right] = gen(t);
        mono.push_back((right + left) * 0.5f);
        return std::pair{left, right};
    };
    EXPECT_EQ(a.feed(200, 48000, recorded), 0u);
    for (int b = 0; b < 3; ++b) EXPECT_EQ(a.feed(256, 48000, recorded), 0u);
    EXPECT_EQ(a.feed(256, 48000, recorded), 1u);  // completes at its 56th frame
    ASSERT_EQ(a.fill, 200u);

    Analyser expected;
    std::copy_n(mono.begin(), kAnalysisWindow, expected.window.begin());
    analyzeWindow(expected.window, 48000.0, expected.cells);
    for (std::size_t k = 0; k < kSpectrumBands; ++k) EXPECT_EQ(a.db(k), expected.db(k)) << k;
    EXPECT_TRUE(std::equal(mono.begin() + kAnalysisWindow, mono.end(), a.window.begin()));
}

TEST(SpectrumFold, RateOfTheCompletingBlockAppliesToTheWholeWindow) {
    Analyser a;
    for (int b = 0; b < 3; ++b) a.feed(256, 8000, silence);
    a.feed(256, 48000, silence);
    EXPECT_EQ(a.db(63), -92.5f);
    for (int b = 0; b < 3; ++b) a.feed(256, 48000, silence);
    a.feed(256, 8000, silence);
    EXPECT_EQ(a.db(47), -95.0f);
    EXPECT_EQ(a.db(48), kSpectrumFloorDb);
}

TEST(SpectrumAnalysis, SilenceFallsByTheStepUntilTheFloorOf140Db) {
    Analyser a;
    for (int i = 1; i <= 25; ++i) {
        a.feedWindows(1, 48000, silence);
        const float expected = i <= 20 ? -90.0f - 2.5f * static_cast<float>(i) : -140.0f;
        for (std::size_t k = 0; k < kSpectrumBands; ++k) ASSERT_EQ(a.db(k), expected) << i << " " << k;
    }
}

TEST(SpectrumAnalysis, SineAtABandFrequencyReadsAbout0DbThere) {
    Analyser both;
    both.feedWindows(1, 48000, bandSine(40, 48000.0));
    EXPECT_NEAR(both.db(40), -0.008, 0.002);
    EXPECT_NEAR(both.db(39), -46.4, 0.5);
    EXPECT_NEAR(both.db(41), -53.05, 0.5);

    Analyser leftOnly;  // the mono fold halves a one-sided signal
    leftOnly.feedWindows(1, 48000, bandSine(40, 48000.0, true));
    EXPECT_NEAR(leftOnly.db(40), -6.03, 0.02);
}

TEST(SpectrumAnalysis, BandsAtOrAboveHalfTheRateReadTheFloorEveryTime) {
    constexpr std::pair<std::uint32_t, std::size_t> kFirstSilenced[] = {
        {40000, 63}, {32000, 61}, {22050, 58}, {16000, 55}, {8000, 48}};  // 40 kHz: band 63 sits on the limit
    for (const auto& [rate, firstSilenced] : kFirstSilenced) {
        Analyser a;
        auto gen = noise();
        for (int i = 0; i < 3; ++i) {
            a.feedWindows(1, rate, gen);
            EXPECT_GT(a.db(firstSilenced - 1), kSpectrumFloorDb) << rate;
            for (std::size_t k = firstSilenced; k < kSpectrumBands; ++k) ASSERT_EQ(a.db(k), kSpectrumFloorDb) << rate;
        }
    }
}

TEST(SpectrumAnalysis, LoudBandRisesAtOnceAndFallsByTheStep) {
    Analyser a;
    a.feedWindows(1, 48000, bandSine(40, 48000.0));
    const float loud = a.db(40);
    a.feedWindows(1, 48000, silence);
    EXPECT_EQ(a.db(40), loud - 2.5f);
    EXPECT_NEAR(a.db(40), -2.5, 0.01);
    a.feedWindows(1, 48000, silence);
    EXPECT_NEAR(a.db(40), -5.0, 0.01);
    a.frame = 0;
    a.feedWindows(1, 48000, bandSine(40, 48000.0));
    EXPECT_EQ(a.db(40), loud);
}

// Signals of the shapes the analysis meets, one value per sample index.
struct Signal {
    const char* name;
    std::function<float(std::size_t)> sample;
};

std::vector<Signal> analysisSignals() {
    auto uniform = [](unsigned seed, float scale) {
        auto values = std::make_shared<std::vector<float>>();
        std::mt19937 gen(seed);
        std::uniform_real_distribution<float> dist(-scale, scale);
        for (int i = 0; i < 4096; ++i) values->push_back(dist(gen));
        return [values](std::size_t n) { return (*values)[n % values->size()]; };
    };
    return {
        {"noise", uniform(11, 1.0f)},
        {"quiet noise near the subnormal range", uniform(12, 1e-35f)},
        {"loud noise beyond full scale", uniform(13, 8.0f)},
        {"decaying chord with harmonics", [](std::size_t n) {
             const double t = static_cast<double>(n) / 44100.0;
             double x = 0.0;
             for (const double hz : {110.0, 138.6, 164.8, 220.0, 659.3, 1318.5, 5274.0})
                 x += std::sin(2.0 * std::numbers::pi * hz * t) * 55.0 / hz;
             return static_cast<float>(x * std::exp(-3.0 * t));
         }},
        {"full-scale square", [](std::size_t n) { return (n / 37) % 2 ? 1.0f : -1.0f; }},
        {"impulses on a DC offset", [](std::size_t n) { return n % 300 == 0 ? 0.9f : 0.25f; }},
        {"silence", [](std::size_t) { return 0.0f; }},
    };
}

class SpectrumKernels : public ::testing::TestWithParam<SpectrumKernel> {};

TEST_P(SpectrumKernels, EqualTheBandByBandScalarRecurrenceBitForBit) {
    if (GetParam() == SpectrumKernel::kAvx && !spectrumAvxUsable()) GTEST_SKIP() << "no AVX here";
    // Every rate the stream carries, the edge where band 63 meets half the
    // rate, and rates outside the streamed range that a window may still carry.
    constexpr double kRates[] = {8000,  11025, 16000, 22050,  32000,  40000, 44100,
                                 48000, 88200, 96000, 176400, 192000, 7999,  1};
    for (const Signal& signal : analysisSignals()) {
        for (const double rate : kRates) {
            SpectrumCells fast, scalar;
            for (std::size_t k = 0; k < kSpectrumBands; ++k) {
                fast[k].store(kSpectrumFloorDb);
                scalar[k].store(kSpectrumFloorDb);
            }
            // Consecutive windows, so the peak follower's falls are compared too.
            for (std::size_t w = 0; w < 3; ++w) {
                SpectrumWindow window;
                for (std::size_t n = 0; n < kAnalysisWindow; ++n)
                    window[n] = signal.sample(w * kAnalysisWindow + n);
                analyzeWindow(window, rate, fast, GetParam());
                reference::analyzeWindow(window, rate, scalar);
                for (std::size_t k = 0; k < kSpectrumBands; ++k)
                    ASSERT_EQ(std::bit_cast<std::uint32_t>(fast[k].load()),
                              std::bit_cast<std::uint32_t>(scalar[k].load()))
                        << signal.name << " at " << rate << " Hz, window " << w << ", band " << k;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(BothWidths, SpectrumKernels, ::testing::Values(SpectrumKernel::kSse2, SpectrumKernel::kAvx),
                         [](const auto& info) { return info.param == SpectrumKernel::kAvx ? "Avx" : "Sse2"; });

}  // namespace
}  // namespace relay
