// The audio road: the host's output is its input, bit for bit, whatever the
// switches; the streamed copy is cut into blocks, sanitised, gain-smoothed
// and handed to the ring.
#include "plugin/plugin.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "plugin/parameters.h"
#include "tools/testhost/host_objects.h"
#include "support/plugin_support.h"

namespace relay {
namespace {

using namespace relay::test;

using namespace Steinberg;
using namespace Steinberg::Vst;


// An initialized, processing instance at `rate`. Its server thread is
// stopped again, so the test is the ring's only consumer.
PluginPtr makePlugin(double rate = 48000.0) {
    PluginPtr p(new Plugin());
    EXPECT_EQ(p->initialize(testhost::hostContext()), kResultOk);
    p->stream.stop();
    ProcessSetup setup{kRealtime, kSample32, 4096, rate};
    EXPECT_EQ(p->setupProcessing(setup), kResultOk);
    p->setActive(true);
    p->setProcessing(true);
    return p;
}

std::vector<AudioBlock> drain(Plugin& p) {
    std::vector<AudioBlock> blocks;
    AudioBlock block;
    while (p.stream.ring.pop(block)) blocks.push_back(block);
    return blocks;
}

// The streamed frames of `blocks`, left and right interleaved, in order.
std::vector<float> streamedSamples(const std::vector<AudioBlock>& blocks) {
    std::vector<float> s;
    for (const AudioBlock& b : blocks)
        s.insert(s.end(), b.samples.begin(), b.samples.begin() + 2 * b.frameCount);
    return s;
}

template <typename T>
bool sameBits(const std::vector<T>& a, const std::vector<T>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0;
}

bool sameBits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Special values that a pass-through must not normalise, in both widths.
template <typename T>
std::vector<T> awkwardValues() {
    using L = std::numeric_limits<T>;
    std::vector<T> v = {L::quiet_NaN(), -L::quiet_NaN(), L::signaling_NaN(), L::infinity(), -L::infinity(),
                        L::denorm_min(), -L::denorm_min(), T(-0.0), L::max(), L::lowest(), L::min(), T(1), T(-1)};
    // A NaN with a payload of its own.
    T payload;
    if constexpr (sizeof(T) == 4) {
        const std::uint32_t bits = 0x7FC12345u;
        std::memcpy(&payload, &bits, sizeof bits);
    } else {
        const std::uint64_t bits = 0xFFF0000000ABCDEFull;
        std::memcpy(&payload, &bits, sizeof bits);
    }
    v.push_back(payload);
    return v;
}

// Fills every input channel with noise sprinkled with awkward values, and
// every output channel with a marker that pass-through must overwrite.
template <typename T>
void fillInputs(testhost::BusBuffers<T>& b, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> noise(-1.5, 1.5);
    const std::vector<T> awkward = awkwardValues<T>();
    for (auto& channel : b.in) {
        for (std::size_t i = 0; i < channel.size(); ++i)
            channel[i] = (i % 7 == 3) ? awkward[(i / 7) % awkward.size()] : static_cast<T>(noise(gen));
    }
    for (auto& channel : b.out) std::fill(channel.begin(), channel.end(), T(12345));
}

// ---------------------------------------------------------------------------
// Pass-through, in both sample sizes

template <typename T>
class PassThrough : public ::testing::Test {};
using SampleTypes = ::testing::Types<float, double>;
TYPED_TEST_SUITE(PassThrough, SampleTypes);

TYPED_TEST(PassThrough, OutputIsTheInputBitForBitWhateverTheSwitches) {
    using T = TypeParam;
    const struct { bool broadcast, mono, disabled; double level; } settings[] = {
        // streaming, mono, bypass, send level (normalized)
        {false, false, false, 60.0 / 66.0},
        {true, false, false, 60.0 / 66.0},
        {true, true, false, 0.0},
        {true, true, true, 1.0},
        {true, false, false, 0.3},
    };
    for (int channels : {1, 2}) {
        for (const auto& s : settings) {
            PluginPtr p = makePlugin();
            p->applyParameter(kParamBroadcast, s.broadcast ? 1.0 : 0.0);
            p->applyParameter(kParamMonoSend, s.mono ? 1.0 : 0.0);
            p->applyParameter(kParamDisabled, s.disabled ? 1.0 : 0.0);
            p->applyParameter(kParamSendLevel, s.level);
            testhost::BusBuffers<T> b(channels, 1000);
            fillInputs(b, 7u + static_cast<unsigned>(channels));
            const auto inputBefore = b.in;
            for (int call = 0; call < 3; ++call) {  // the smoother moves between calls
                ProcessData data = testhost::makeProcessData(b, 1000);
                ASSERT_EQ(p->process(data), kResultOk);
                for (int c = 0; c < channels; ++c) {
                    EXPECT_TRUE(sameBits(b.out[c], b.in[c])) << "channel " << c << " level " << s.level;
                    EXPECT_TRUE(sameBits(b.in[c], inputBefore[c])) << "input modified";
                }
                for (auto& ch : b.out) std::fill(ch.begin(), ch.end(), T(-7));
            }
        }
    }
}

TYPED_TEST(PassThrough, InPlaceLeavesTheBufferAsItWas) {
    using T = TypeParam;
    for (int channels : {1, 2}) {
        PluginPtr p = makePlugin();
        p->applyParameter(kParamBroadcast, 1.0);
        p->applyParameter(kParamSendLevel, 0.0);
        p->applyParameter(kParamMonoSend, 1.0);
        testhost::BusBuffers<T> b(channels, 700);
        fillInputs(b, 3);
        const auto before = b.in;
        b.setPointers(b.outBus, b.inPtrs.data());
        ProcessData data = testhost::makeProcessData(b, 700);
        ASSERT_EQ(p->process(data), kResultOk);
        for (int c = 0; c < channels; ++c) EXPECT_TRUE(sameBits(b.in[c], before[c])) << c;
        // Streamed all the same.
        EXPECT_EQ(drain(*p).size(), 3u);
    }
}

TYPED_TEST(PassThrough, InPlaceStreamsWhatACopyingCallStreams) {
    using T = TypeParam;
    PluginPtr copying = makePlugin();
    PluginPtr inPlace = makePlugin();
    testhost::BusBuffers<T> a(2, 600), b(2, 600);
    fillInputs(a, 11);
    fillInputs(b, 11);
    b.setPointers(b.outBus, b.inPtrs.data());
    ProcessData da = testhost::makeProcessData(a, 600);
    ProcessData db = testhost::makeProcessData(b, 600);
    copying->process(da);
    inPlace->process(db);
    EXPECT_TRUE(sameBits(streamedSamples(drain(*copying)), streamedSamples(drain(*inPlace))));
}

TYPED_TEST(PassThrough, ExtraOutputChannelsAreNotTouched) {
    using T = TypeParam;
    PluginPtr p = makePlugin();
    testhost::BusBuffers<T> b(2, 128);
    fillInputs(b, 5);
    b.inBus.numChannels = 1;  // a mono input into a stereo output
    ProcessData data = testhost::makeProcessData(b, 128);
    p->process(data);
    EXPECT_TRUE(sameBits(b.out[0], b.in[0]));
    EXPECT_EQ(b.out[1], std::vector<T>(128, T(12345)));
}

TYPED_TEST(PassThrough, SilenceFlagsAreCopied) {
    using T = TypeParam;
    PluginPtr p = makePlugin();
    testhost::BusBuffers<T> b(2, 64);
    b.inBus.silenceFlags = 0x8000000000000003ull;
    b.outBus.silenceFlags = 0x10;
    ProcessData data = testhost::makeProcessData(b, 64);
    p->process(data);
    EXPECT_EQ(b.outBus.silenceFlags, 0x8000000000000003ull);
}

// ---------------------------------------------------------------------------
// The streamed copy

TYPED_TEST(PassThrough, NonFiniteSamplesStreamAsZero) {
    using T = TypeParam;
    PluginPtr p = makePlugin();  // 0 dB: the gain stays exactly 1
    const std::vector<T> awkward = awkwardValues<T>();
    testhost::BusBuffers<T> b(2, static_cast<int32>(awkward.size()));
    for (std::size_t i = 0; i < awkward.size(); ++i) {
        b.in[0][i] = awkward[i];
        b.in[1][i] = awkward[awkward.size() - 1 - i];
    }
    ProcessData data = testhost::makeProcessData(b, static_cast<int32>(awkward.size()));
    p->process(data);
    const std::vector<float> s = streamedSamples(drain(*p));
    ASSERT_EQ(s.size(), 2 * awkward.size());
    for (std::size_t i = 0; i < awkward.size(); ++i) {
        for (int c = 0; c < 2; ++c) {
            const float f = static_cast<float>(b.in[c][i]);
            const float expected = std::isfinite(f) ? f : 0.0f;
            EXPECT_TRUE(sameBits(s[2 * i + c], expected)) << "frame " << i << " channel " << c << " got " << s[2 * i + c];
        }
    }
    // The host still got the originals.
    EXPECT_TRUE(sameBits(b.out[0], b.in[0]));
    EXPECT_TRUE(sameBits(b.out[1], b.in[1]));
}

TEST(StreamedCopy, DoublesBeyondFloatRangeStreamAsZero) {
    PluginPtr p = makePlugin();
    testhost::BusBuffers<double> b(2, 6);
    b.in[0] = {1e300, -1e300, 3.5e38, 0.25, 1e-50, -0.5};
    b.in[1] = {0.5, 1e39, -1e39, std::numeric_limits<double>::quiet_NaN(), 2.0, 1e300};
    ProcessData data = testhost::makeProcessData(b, 6);
    p->process(data);
    const std::vector<float> s = streamedSamples(drain(*p));
    const std::vector<float> expected = {0.0f, 0.5f, 0.0f, 0.0f, 0.0f, 0.0f, 0.25f, 0.0f, 0.0f, 2.0f, -0.5f, 0.0f};
    // 1e-50 is below float's range and rounds to zero; 3.5e38 overflows.
    EXPECT_EQ(s, expected);
    EXPECT_EQ(b.out[0][0], 1e300);
    EXPECT_EQ(b.out[1][5], 1e300);
}

TEST(StreamedCopy, OverflowingFoldOrGainStreamsAsZero) {
    constexpr float kMax = std::numeric_limits<float>::max();
    // The fold at 0 dB: two large values of one sign sum beyond the range.
    PluginPtr p = makePlugin();
    p->applyParameter(kParamMonoSend, 1.0);
    testhost::BusBuffers<float> b(2, 4);
    b.in[0] = {3e38f, 3e38f, -kMax, 1e38f};
    b.in[1] = {3e38f, -3e38f, -kMax, 1e38f};
    ProcessData data = testhost::makeProcessData(b, 4);
    p->process(data);
    EXPECT_EQ(streamedSamples(drain(*p)), (std::vector<float>{0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 1e38f, 1e38f}));
    EXPECT_EQ(p->stream.peakLeft.load(), 1e38f);
    EXPECT_EQ(p->stream.peakRight.load(), 1e38f);
    EXPECT_EQ(b.out[0][0], 3e38f) << "the host's output is untouched";

    // A gain above 1 (+6 dB, settled first) lifts a finite input past the range.
    PluginPtr q = makePlugin();
    q->applyParameter(kParamSendLevel, 1.0);
    testhost::BusBuffers<float> settle(2, 4800);
    ProcessData settling = testhost::makeProcessData(settle, 4800);
    for (int i = 0; i < 10; ++i) q->process(settling);
    drain(*q);
    const float g = q->stream.currentGain;
    ASSERT_GT(g, 1.99f);
    testhost::BusBuffers<float> c(2, 4);
    c.in[0] = {2e38f, 1.7e38f, kMax, -0.5f};
    c.in[1] = {-1.8e38f, -1.7e38f, 1e38f, 0.25f};
    ProcessData loud = testhost::makeProcessData(c, 4);
    q->process(loud);
    EXPECT_EQ(streamedSamples(drain(*q)),
              (std::vector<float>{0.0f, 0.0f, g * 1.7e38f, g * -1.7e38f, 0.0f, g * 1e38f, g * -0.5f, g * 0.25f}));
    EXPECT_EQ(q->stream.peakLeft.load(), g * 1.7e38f);
    EXPECT_EQ(q->stream.peakRight.load(), g * 1.7e38f);
}

TEST(StreamedCopy, MonoBusStreamsTwoIdenticalChannels) {
    PluginPtr p = makePlugin();
    testhost::BusBuffers<float> b(1, 300);
    fillInputs(b, 21);
    ProcessData data = testhost::makeProcessData(b, 300);
    p->process(data);
    const std::vector<float> s = streamedSamples(drain(*p));
    ASSERT_EQ(s.size(), 600u);
    for (std::size_t i = 0; i < 300; ++i) {
        EXPECT_TRUE(sameBits(s[2 * i], s[2 * i + 1])) << i;
        const float x = b.in[0][i];
        EXPECT_TRUE(sameBits(s[2 * i], std::isfinite(x) ? x : 0.0f)) << i;
    }
}

TEST(StreamedCopy, MonoFoldHalvesALeftOnlyInput) {
    PluginPtr p = makePlugin();
    p->applyParameter(kParamMonoSend, 1.0);
    testhost::BusBuffers<float> b(2, 256);
    for (int i = 0; i < 256; ++i) b.in[0][i] = std::sin(0.05f * static_cast<float>(i));
    ProcessData data = testhost::makeProcessData(b, 256);
    p->process(data);
    const std::vector<float> s = streamedSamples(drain(*p));
    ASSERT_EQ(s.size(), 512u);
    for (int i = 0; i < 256; ++i) {
        EXPECT_EQ(s[2 * i], b.in[0][i] * 0.5f) << i;
        EXPECT_EQ(s[2 * i + 1], b.in[0][i] * 0.5f) << i;
    }
    EXPECT_EQ(p->stream.peakLeft.load(), p->stream.peakRight.load());
}

TEST(StreamedCopy, MonoFoldAveragesBothSides) {
    PluginPtr p = makePlugin();
    p->applyParameter(kParamMonoSend, 1.0);
    testhost::BusBuffers<float> b(2, 4);
    b.in[0] = {1.0f, -1.0f, 0.5f, std::numeric_limits<float>::infinity()};
    b.in[1] = {0.0f, 1.0f, 0.25f, 0.5f};
    ProcessData data = testhost::makeProcessData(b, 4);
    p->process(data);
    EXPECT_EQ(streamedSamples(drain(*p)),
              (std::vector<float>{0.5f, 0.5f, 0.0f, 0.0f, 0.375f, 0.375f, 0.25f, 0.25f}));
}

TEST(StreamedCopy, PeaksAreThoseOfTheStreamedCopyOverTheCall) {
    PluginPtr p = makePlugin();
    testhost::BusBuffers<float> b(2, 1000);
    b.in[0][10] = -0.75f;
    b.in[0][900] = 0.5f;
    b.in[1][600] = 0.25f;
    b.in[1][601] = std::numeric_limits<float>::quiet_NaN();  // streams as 0, no peak
    ProcessData data = testhost::makeProcessData(b, 1000);
    p->process(data);
    EXPECT_EQ(p->stream.peakLeft.load(), 0.75f);
    EXPECT_EQ(p->stream.peakRight.load(), 0.25f);

    // Peaks belong to one call, not the loudest so far.
    b.in[0][10] = 0.0f;
    p->process(data);
    EXPECT_EQ(p->stream.peakLeft.load(), 0.5f);
}

// ---------------------------------------------------------------------------
// Blocks and the ring

TEST(Blocks, ACallIsCutIntoBlocksOfAtMost256Frames) {
    PluginPtr p = makePlugin();
    p->applyParameter(kParamBroadcast, 1.0);
    testhost::BusBuffers<float> b(2, 1000);
    for (int i = 0; i < 1000; ++i) {
        b.in[0][i] = static_cast<float>(i) / 1024.0f;
        b.in[1][i] = -static_cast<float>(i) / 1024.0f;
    }
    ProcessData data = testhost::makeProcessData(b, 1000);
    p->process(data);
    const std::vector<AudioBlock> blocks = drain(*p);
    ASSERT_EQ(blocks.size(), 4u);
    const std::uint32_t counts[] = {256, 256, 256, 232};
    std::uint32_t frame = 0;
    for (std::size_t k = 0; k < 4; ++k) {
        const AudioBlock& blk = blocks[k];
        EXPECT_EQ(blk.frameCount, counts[k]);
        EXPECT_EQ(blk.sampleRate, 48000u);
        EXPECT_TRUE(blk.active);
        EXPECT_GT(blk.timestampNs, 0);
        if (k > 0) {
            EXPECT_GE(blk.timestampNs, blocks[k - 1].timestampNs);
        }
        for (std::uint32_t i = 0; i < blk.frameCount; ++i, ++frame) {
            ASSERT_EQ(blk.samples[2 * i], b.in[0][frame]) << frame;
            ASSERT_EQ(blk.samples[2 * i + 1], b.in[1][frame]) << frame;
        }
        for (std::uint32_t i = 2 * blk.frameCount; i < kBlockSamples; ++i) EXPECT_EQ(blk.samples[i], 0.0f);
    }
    EXPECT_EQ(p->stream.processedBlocks.load(), 1u);
    EXPECT_EQ(p->stream.drops.load(), 0u);
}

TEST(Blocks, EdgeFrameCounts) {
    const struct { int32 frames; std::vector<std::uint32_t> counts; } table[] = {
        {1, {1}}, {255, {255}}, {256, {256}}, {257, {256, 1}}, {512, {256, 256}}, {513, {256, 256, 1}},
    };
    for (const auto& row : table) {
        PluginPtr p = makePlugin();
        testhost::BusBuffers<double> b(2, row.frames);
        ProcessData data = testhost::makeProcessData(b, row.frames);
        p->process(data);
        std::vector<std::uint32_t> counts;
        for (const AudioBlock& blk : drain(*p)) counts.push_back(blk.frameCount);
        EXPECT_EQ(counts, row.counts) << row.frames;
    }
}

TEST(Blocks, AnUndrainedRingStores64AndCountsTheRestAsDrops) {
    PluginPtr p = makePlugin();
    constexpr int32 kFrames = 20000;  // 79 blocks
    testhost::BusBuffers<float> b(2, kFrames);
    for (int i = 0; i < kFrames; ++i) b.in[0][i] = static_cast<float>(i);
    ProcessData data = testhost::makeProcessData(b, kFrames);
    p->process(data);
    EXPECT_EQ(p->stream.ring.size(), 64u);
    EXPECT_EQ(p->stream.drops.load(), 15u);
    EXPECT_EQ(p->stream.processedBlocks.load(), 1u);
    // The first 64 blocks are the ones kept.
    const std::vector<AudioBlock> blocks = drain(*p);
    ASSERT_EQ(blocks.size(), 64u);
    for (std::size_t k = 0; k < 64; ++k) EXPECT_EQ(blocks[k].samples[0], static_cast<float>(256 * k)) << k;

    // A drained ring takes blocks again; the drops stay counted.
    p->process(data);
    EXPECT_EQ(p->stream.ring.size(), 64u);
    EXPECT_EQ(p->stream.drops.load(), 30u);
}

TEST(Blocks, ExactlySixtyFourBlocksFitWithoutDrops) {
    PluginPtr p = makePlugin();
    testhost::BusBuffers<float> b(2, 16384);
    ProcessData data = testhost::makeProcessData(b, 16384);
    p->process(data);
    EXPECT_EQ(p->stream.ring.size(), 64u);
    EXPECT_EQ(p->stream.drops.load(), 0u);
    data.numSamples = 1;
    p->process(data);
    EXPECT_EQ(p->stream.drops.load(), 1u);
}

TEST(Blocks, AFullRingRefusesTheBlockAndLeavesEverySlotAsItWas) {
    PluginPtr p = makePlugin();
    p->applyParameter(kParamBroadcast, 1.0);
    testhost::BusBuffers<float> b(2, 16384);
    fillInputs(b, 3);
    ProcessData data = testhost::makeProcessData(b, 16384);
    p->process(data);  // exactly fills the ring
    ASSERT_EQ(p->stream.ring.size(), 64u);
    std::vector<unsigned char> slotsBefore(sizeof(p->stream.ring.slots));
    std::memcpy(slotsBefore.data(), p->stream.ring.slots.data(), slotsBefore.size());
    const std::uint64_t written = p->stream.ring.writeIndex.load();

    // One more block, louder than anything stored and at another level.
    testhost::BusBuffers<float> loud(2, 100);
    for (int i = 0; i < 100; ++i) loud.in[0][i] = loud.in[1][i] = 4.0f;
    p->applyParameter(kParamSendLevel, 0.0);  // -60 dB
    ProcessData loudData = testhost::makeProcessData(loud, 100);
    const float gainBefore = p->stream.currentGain;
    p->process(loudData);

    EXPECT_EQ(p->stream.drops.load(), 1u);
    EXPECT_EQ(p->stream.ring.writeIndex.load(), written);
    EXPECT_EQ(std::memcmp(slotsBefore.data(), p->stream.ring.slots.data(), slotsBefore.size()), 0);
    // The refused block still moved the gain, the meters and the counter.
    EXPECT_LT(p->stream.currentGain, gainBefore);
    EXPECT_GT(p->stream.peakLeft.load(), 3.0f);
    EXPECT_EQ(p->stream.processedBlocks.load(), 2u);
}

TEST(Blocks, AShortBlockInAReusedSlotEndsInZeros) {
    PluginPtr p = makePlugin();
    testhost::BusBuffers<float> full(2, 16384);
    fillInputs(full, 4);
    ProcessData fullData = testhost::makeProcessData(full, 16384);
    p->process(fullData);  // every slot holds 256 noisy frames
    drain(*p);
    // Shorter and shorter blocks through every slot, twice round the ring.
    for (int call = 0; call < 128; ++call) {
        const int32 frames = 255 - 2 * call;
        testhost::BusBuffers<float> b(2, frames);
        for (int i = 0; i < frames; ++i) b.in[0][i] = b.in[1][i] = 0.25f;
        ProcessData data = testhost::makeProcessData(b, frames);
        p->process(data);
        const std::vector<AudioBlock> blocks = drain(*p);
        ASSERT_EQ(blocks.size(), 1u);
        const AudioBlock& blk = blocks[0];
        ASSERT_EQ(blk.frameCount, static_cast<std::uint32_t>(frames));
        for (std::uint32_t i = 0; i < kBlockSamples; ++i)
            ASSERT_EQ(blk.samples[i], i < 2u * blk.frameCount ? 0.25f : 0.0f) << call << " " << i;
    }
}

TEST(StreamedCopy, PeaksCoverEveryFrameWhateverTheCount) {
    for (const int32 frames : {1, 2, 3, 4, 5, 7, 63, 255, 257, 515}) {
        for (const int32 loudest : {0, frames / 2, frames - 1}) {
            PluginPtr p = makePlugin();
            testhost::BusBuffers<double> b(2, frames);
            for (int i = 0; i < frames; ++i) b.in[0][i] = b.in[1][i] = 0.125;
            b.in[0][loudest] = -0.75;
            b.in[1][loudest] = 0.5;
            ProcessData data = testhost::makeProcessData(b, frames);
            p->process(data);
            EXPECT_EQ(p->stream.peakLeft.load(), 0.75f) << frames << " " << loudest;
            EXPECT_EQ(p->stream.peakRight.load(), 0.5f) << frames << " " << loudest;
        }
    }
}

TEST(Blocks, OfflinePushesNothingButMovesMetersAndCounter) {
    PluginPtr p = makePlugin();
    p->applyParameter(kParamBroadcast, 1.0);
    p->applyParameter(kParamSendLevel, 0.0);
    testhost::BusBuffers<float> b(2, 20000);
    fillInputs(b, 9);
    b.in[0][5] = 0.9f;
    ProcessData data = testhost::makeProcessData(b, 20000, kOffline);
    p->process(data);
    EXPECT_EQ(p->stream.ring.size(), 0u);
    EXPECT_EQ(p->stream.drops.load(), 0u);
    EXPECT_EQ(p->stream.processedBlocks.load(), 1u);
    EXPECT_GT(p->stream.peakLeft.load(), 0.0f);
    EXPECT_GT(p->stream.peakRight.load(), 0.0f);
    EXPECT_LT(p->stream.currentGain, 0.01f);  // the smoother ran
    EXPECT_TRUE(sameBits(b.out[0], b.in[0]));

    // Not even a full ring makes offline count drops.
    ProcessData live = testhost::makeProcessData(b, 16384);
    p->process(live);
    ASSERT_EQ(p->stream.ring.size(), 64u);
    p->process(data);
    EXPECT_EQ(p->stream.drops.load(), 0u);
    EXPECT_EQ(p->stream.processedBlocks.load(), 3u);
}

TEST(Blocks, PrefetchStreamsLikeRealtime) {
    for (int32 mode : {int32{kRealtime}, int32{kPrefetch}}) {
        PluginPtr p = makePlugin();
        p->applyParameter(kParamBroadcast, 1.0);
        testhost::BusBuffers<float> b(2, 600);
        fillInputs(b, 4);
        ProcessData data = testhost::makeProcessData(b, 600, mode);
        p->process(data);
        const std::vector<AudioBlock> blocks = drain(*p);
        ASSERT_EQ(blocks.size(), 3u) << mode;
        for (const AudioBlock& blk : blocks) EXPECT_TRUE(blk.active) << mode;
    }
}

TEST(Blocks, ActiveNeedsStreamingWithoutBypassAtAStreamableRate) {
    const struct { double rate; bool broadcast, disabled, active; } table[] = {
        // rate, streaming, bypass, active flag of the pushed blocks
        {48000, false, false, false}, {48000, true, true, false}, {48000, false, true, false},
        {48000, true, false, true},   {7999, true, false, false},  {8000, true, false, true},
        {192000, true, false, true},  {192001, true, false, false}, {1, true, false, false},
        {2000000, true, false, false},
    };
    for (const auto& row : table) {
        PluginPtr p = makePlugin(row.rate);
        p->applyParameter(kParamBroadcast, row.broadcast ? 1.0 : 0.0);
        p->applyParameter(kParamDisabled, row.disabled ? 1.0 : 0.0);
        testhost::BusBuffers<float> b(2, 300);
        ProcessData data = testhost::makeProcessData(b, 300);
        p->process(data);
        const std::vector<AudioBlock> blocks = drain(*p);
        ASSERT_EQ(blocks.size(), 2u) << row.rate;  // pushed whatever the flag
        for (const AudioBlock& blk : blocks) {
            EXPECT_EQ(blk.active, row.active) << row.rate << " " << row.broadcast << row.disabled;
            EXPECT_EQ(blk.sampleRate, static_cast<std::uint32_t>(row.rate));
        }
    }
}

// ---------------------------------------------------------------------------
// Calls that stream nothing

class QuietCalls : public ::testing::Test {
protected:
    void SetUp() override {
        p->applyParameter(kParamBroadcast, 1.0);
        p->applyParameter(kParamSendLevel, 0.0);
        p->stream.peakLeft.store(0.125f);
        p->stream.peakRight.store(0.25f);
        fillInputs(b, 2);
    }
    // Nothing streamed, counted or metered, and the gain where it was.
    void expectUntouchedStream() {
        EXPECT_EQ(p->stream.ring.size(), 0u);
        EXPECT_EQ(p->stream.processedBlocks.load(), 0u);
        EXPECT_EQ(p->stream.drops.load(), 0u);
        EXPECT_EQ(p->stream.peakLeft.load(), 0.125f);
        EXPECT_EQ(p->stream.peakRight.load(), 0.25f);
        EXPECT_EQ(p->stream.currentGain, 1.0f);
    }

    PluginPtr p = makePlugin();
    testhost::BusBuffers<float> b{2, 512};
};

TEST_F(QuietCalls, ZeroChannels) {
    for (int side = 0; side < 2; ++side) {
        b.inBus.numChannels = side == 0 ? 0 : 2;
        b.outBus.numChannels = side == 0 ? 2 : 0;
        ProcessData data = testhost::makeProcessData(b, 512);
        EXPECT_EQ(p->process(data), kResultOk);
        EXPECT_EQ(b.out[0], std::vector<float>(512, 12345.0f));
    }
    expectUntouchedStream();
}

TEST_F(QuietCalls, NullFirstInputChannelStillCopiesTheOthers) {
    b.inPtrs[0] = nullptr;
    ProcessData data = testhost::makeProcessData(b, 512);
    EXPECT_EQ(p->process(data), kResultOk);
    EXPECT_EQ(b.out[0], std::vector<float>(512, 12345.0f));
    EXPECT_TRUE(sameBits(b.out[1], b.in[1]));
    expectUntouchedStream();
}

TEST_F(QuietCalls, NullOutputChannelIsSkipped) {
    b.outPtrs[1] = nullptr;
    ProcessData data = testhost::makeProcessData(b, 512);
    EXPECT_EQ(p->process(data), kResultOk);
    EXPECT_TRUE(sameBits(b.out[0], b.in[0]));
    EXPECT_EQ(p->stream.processedBlocks.load(), 1u);  // streaming reads only the input
}

TEST_F(QuietCalls, MissingBuffersOrSamples) {
    ProcessData data = testhost::makeProcessData(b, 512);
    data.numSamples = 0;
    EXPECT_EQ(p->process(data), kResultOk);
    data = testhost::makeProcessData(b, 512);
    data.numSamples = -5;
    EXPECT_EQ(p->process(data), kResultOk);
    data = testhost::makeProcessData(b, 512);
    data.outputs = nullptr;
    EXPECT_EQ(p->process(data), kResultOk);
    data = testhost::makeProcessData(b, 512);
    data.numOutputs = 0;
    EXPECT_EQ(p->process(data), kResultOk);
    data = testhost::makeProcessData(b, 512);
    b.inBus.channelBuffers32 = nullptr;
    EXPECT_EQ(p->process(data), kResultOk);
    EXPECT_EQ(b.out[0], std::vector<float>(512, 12345.0f));
    expectUntouchedStream();
}

TEST_F(QuietCalls, UnsupportedSampleSizeCopiesOnlySilenceFlags) {
    b.inBus.silenceFlags = 0x5;
    for (int32 size : {2, -1, 64}) {
        ProcessData data = testhost::makeProcessData(b, 512);
        data.symbolicSampleSize = size;
        EXPECT_EQ(p->process(data), kResultOk);
        EXPECT_EQ(b.outBus.silenceFlags, 0x5u);
        EXPECT_EQ(b.out[0], std::vector<float>(512, 12345.0f));
        EXPECT_EQ(b.out[1], std::vector<float>(512, 12345.0f));
        b.outBus.silenceFlags = 0;
    }
    expectUntouchedStream();
}

// ---------------------------------------------------------------------------
// The send-gain smoother

// Streams `total` frames of constant 1.0 in calls of `hostBlock` frames,
// draining between calls; returns the streamed left channel.
std::vector<float> streamedGain(Plugin& p, int32 total, int32 hostBlock) {
    testhost::BusBuffers<float> b(2, hostBlock);
    for (auto& ch : b.in) std::fill(ch.begin(), ch.end(), 1.0f);
    std::vector<float> left;
    for (int32 done = 0; done < total; done += hostBlock) {
        ProcessData data = testhost::makeProcessData(b, hostBlock);
        p.process(data);
        const std::vector<float> s = streamedSamples(drain(p));
        for (std::size_t i = 0; i < s.size(); i += 2) left.push_back(s[i]);
    }
    return left;
}

TEST(Smoother, GlidesWithATenMillisecondTimeConstant) {
    PluginPtr p = makePlugin();
    p->applyParameter(kParamSendLevel, 0.0);  // 0 dB -> -60 dB
    const std::vector<float> gain = streamedGain(*p, 480, 480);
    ASSERT_EQ(gain.size(), 480u);
    for (std::size_t i = 1; i < gain.size(); ++i) ASSERT_LT(gain[i], gain[i - 1]) << i;
    const double target = std::pow(10.0, -60.0 / 20.0);
    const double left = (gain.back() - target) / (1.0 - target);
    EXPECT_NEAR(left, std::exp(-1.0), 1e-3);  // about 37 % of the way left
    EXPECT_EQ(p->stream.currentGain, gain.back());
    // The first sample has already moved one step.
    EXPECT_NEAR(gain[0], 1.0 - (1.0 - target) * (1.0 - std::exp(-1.0 / 480.0)), 1e-6);
}

TEST(Smoother, TimeConstantFollowsTheRate) {
    PluginPtr p = makePlugin(96000.0);
    p->applyParameter(kParamSendLevel, 0.0);
    const std::vector<float> gain = streamedGain(*p, 960, 960);
    const double target = std::pow(10.0, -60.0 / 20.0);
    EXPECT_NEAR((gain[959] - target) / (1.0 - target), std::exp(-1.0), 1e-3);
    EXPECT_NEAR((gain[479] - target) / (1.0 - target), std::exp(-0.5), 1e-3);
}

TEST(Smoother, SettlesOnTheTarget) {
    PluginPtr p = makePlugin();
    p->applyParameter(kParamSendLevel, 1.0);  // +6 dB
    const std::vector<float> gain = streamedGain(*p, 48000, 4800);
    // A float32 one-pole stalls once a step is below half an ulp of the
    // gain: about 3e-5 short of +6 dB, a ten-thousandth of a decibel.
    EXPECT_NEAR(gain.back(), std::pow(10.0f, 6.0f / 20.0f), 5e-5);
    EXPECT_GT(gain.back(), 1.99f);
}

TEST(Smoother, HostBlockSizeDoesNotChangeTheStream) {
    auto run = [](int32 hostBlock) {
        PluginPtr p = makePlugin();
        testhost::BusBuffers<float> b(2, hostBlock);
        std::mt19937 gen(99);
        std::uniform_real_distribution<float> noise(-1.0f, 1.0f);
        std::vector<float> left(8192), right(8192);
        for (int32 n = 0; n < 8192; ++n) {
            left[n] = noise(gen);
            right[n] = noise(gen);
        }
        std::vector<float> streamed;
        for (int32 done = 0; done < 8192; done += hostBlock) {
            // Level changes on frames that both hosts start a call at.
            if (done == 0) p->applyParameter(kParamSendLevel, 0.0);
            if (done == 2048) p->applyParameter(kParamSendLevel, 1.0);
            if (done == 6144) p->applyParameter(kParamMonoSend, 1.0);
            std::copy_n(left.begin() + done, hostBlock, b.in[0].begin());
            std::copy_n(right.begin() + done, hostBlock, b.in[1].begin());
            ProcessData data = testhost::makeProcessData(b, hostBlock);
            p->process(data);
            const std::vector<float> s = streamedSamples(drain(*p));
            streamed.insert(streamed.end(), s.begin(), s.end());
        }
        return streamed;
    };
    const std::vector<float> small = run(32);
    const std::vector<float> large = run(2048);
    ASSERT_EQ(small.size(), 2u * 8192u);
    ASSERT_EQ(large.size(), small.size());
    for (std::size_t i = 0; i < small.size(); ++i)
        ASSERT_TRUE(sameBits(small[i], large[i])) << "sample " << i << ": " << small[i] << " vs " << large[i];
}

// The streamed copy written straight from its definition: powf and expf on
// every call, the gain stepped and used on every sample, scalar peaks. The
// block function must match it bit for bit whatever shortcuts it takes.
struct ReferenceStream {
    float gain = 1.0f;
    std::vector<float> samples;  // interleaved, every call appended
    float peakL = 0.0f, peakR = 0.0f;

    template <typename T>
    void process(const T* left, const T* right, int32 frames, float levelDb, std::uint32_t rate, bool mono) {
        const float target = std::pow(10.0f, levelDb / 20.0f);
        const float step = 1.0f - std::exp(-1.0f / (static_cast<float>(rate) * 0.01f));
        peakL = peakR = 0.0f;
        for (int32 n = 0; n < frames; ++n) {
            float l = static_cast<float>(left[n]);
            float r = static_cast<float>(right[n]);
            if (!std::isfinite(l)) l = 0.0f;
            if (!std::isfinite(r)) r = 0.0f;
            gain = ((target - gain) * step) + gain;
            if (mono) l = r = (l + r) * 0.5f;
            float sl = gain * l;
            float sr = gain * r;
            if (!std::isfinite(sl)) sl = 0.0f;
            if (!std::isfinite(sr)) sr = 0.0f;
            samples.push_back(sl);
            samples.push_back(sr);
            peakL = std::max(peakL, std::fabs(sl));
            peakR = std::max(peakR, std::fabs(sr));
        }
    }
};

// Finite inputs whose gained or folded copy leaves the float range: at
// +6 dB anything beyond about 1.7e38, folded any two of the same sign
// beyond about 1.7e38 each.
constexpr float kLargeValues[] = {3.4e38f, -3.4e38f, std::numeric_limits<float>::max(),
                                  -std::numeric_limits<float>::max(), 2e38f, -1.8e38f, 1.71e38f, 1.7e38f};

// `largeEvery`: one sample in that many is a large value; `nanEvery`: one
// right sample in that many is a NaN (0: none of either).
template <typename T>
void compareWithReference(std::uint32_t seed, std::uint32_t largeEvery = 0, std::uint32_t nanEvery = 97) {
    StreamServer stream;
    ReferenceStream reference;
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> noise(-1.5, 1.5);
    const float levels[] = {0.0f, -60.0f, 6.0f, -6.0f, -6.000001f, -40.2f};
    const std::uint32_t rates[] = {48000, 44100, 8000, 192000, 1};
    std::vector<T> left(3000), right(3000), outL(3000), outR(3000);
    std::vector<float> streamed;
    AudioBlock block;
    for (int call = 0; call < 600; ++call) {
        // Long stretches at one setting let the gain settle before it moves again.
        if (gen() % 8 == 0) stream.sendLevelDb = levels[gen() % std::size(levels)];
        if (gen() % 16 == 0) stream.sampleRate = rates[gen() % std::size(rates)];
        if (gen() % 12 == 0) stream.monoSend = !stream.monoSend;
        const auto frames = static_cast<int32>(1 + gen() % 3000);
        for (int32 n = 0; n < frames; ++n) {
            left[n] = static_cast<T>(noise(gen));
            right[n] = nanEvery != 0 && gen() % nanEvery == 0 ? std::numeric_limits<T>::quiet_NaN()
                                                              : static_cast<T>(noise(gen));
            if (largeEvery != 0 && gen() % largeEvery == 0) left[n] = kLargeValues[gen() % std::size(kLargeValues)];
            if (largeEvery != 0 && gen() % largeEvery == 0) right[n] = kLargeValues[gen() % std::size(kLargeValues)];
        }
        T* in[] = {left.data(), right.data()};
        T* out[] = {outL.data(), outR.data()};
        reference.process(left.data(), right.data(), frames, stream.sendLevelDb.load(), stream.sampleRate.load(),
                          stream.monoSend.load());
        stream.processAudio<T>(in, out, 2, frames, false);
        while (stream.ring.pop(block))
            streamed.insert(streamed.end(), block.samples.begin(), block.samples.begin() + 2 * block.frameCount);
        ASSERT_EQ(stream.peakLeft.load(), reference.peakL) << "call " << call;
        ASSERT_EQ(stream.peakRight.load(), reference.peakR) << "call " << call;
        ASSERT_EQ(stream.currentGain, reference.gain) << "call " << call;
    }
    ASSERT_EQ(streamed.size(), reference.samples.size());
    EXPECT_EQ(std::memcmp(streamed.data(), reference.samples.data(), streamed.size() * sizeof(float)), 0);
    EXPECT_TRUE(std::all_of(streamed.begin(), streamed.end(), [](float x) { return std::isfinite(x); }));
}

TEST(Smoother, StreamMatchesItsDefinitionBitForBit) {
    compareWithReference<float>(11);
    compareWithReference<double>(12);
}

TEST(Smoother, StreamMatchesItsDefinitionWithValuesNearTheFloatLimit) {
    compareWithReference<float>(13, 5);
    compareWithReference<double>(14, 5);
}

// Clean runs are streamed without per-sample finite tests and re-streamed
// with them only when a NaN or an overflow shows up: whole clean calls, and
// one bad sample now and then among thousands of good ones.
TEST(Smoother, StreamMatchesItsDefinitionWhetherBadSamplesAreAbsentOrRare) {
    compareWithReference<float>(15, 0, 0);
    compareWithReference<double>(16, 0, 0);
    compareWithReference<float>(17, 4001, 3989);
    compareWithReference<double>(18, 4001, 3989);
}

}  // namespace
}  // namespace relay
