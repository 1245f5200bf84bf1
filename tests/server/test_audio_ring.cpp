#include "server/audio_ring.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "server/stream_server.h"

namespace relay {
namespace {

// --- layout ------------------------------------------------------------------

// The producer's and the consumer's index stores must touch different cache
// lines, neither shared with the slots nor with whatever follows the ring.
static_assert(offsetof(AudioRing, writeIndex) % kCacheLine == 0);
static_assert(offsetof(AudioRing, readIndex) % kCacheLine == 0);
static_assert(offsetof(AudioRing, writeIndex) >= offsetof(AudioRing, slots) + sizeof(AudioRing::slots));
static_assert(offsetof(AudioRing, readIndex) >= offsetof(AudioRing, writeIndex) + kCacheLine);
static_assert(sizeof(AudioRing) >= offsetof(AudioRing, readIndex) + kCacheLine);
static_assert(alignof(AudioRing) == kCacheLine);
static_assert(alignof(StreamServer) == kCacheLine);
static_assert(kRingSlots == 64 && kBlockFrames == 256 && kBlockSamples == 512);
static_assert(std::is_trivially_copyable_v<AudioBlock>);
static_assert(!std::is_copy_constructible_v<AudioRing> && !std::is_copy_assignable_v<AudioRing>);
static_assert(!std::is_move_constructible_v<AudioRing> && !std::is_move_assignable_v<AudioRing>);

std::uintptr_t address(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

// A block whose every field carries `seq`, so a pop can be matched to its push
// and a half-copied block shows.
AudioBlock makeBlock(std::uint64_t seq) {
    AudioBlock b;
    b.sampleRate = 8000 + static_cast<std::uint32_t>(seq % 1000);
    b.frameCount = 1 + static_cast<std::uint32_t>(seq % kBlockFrames);
    b.active = (seq & 1) != 0;
    b.timestampNs = static_cast<std::int64_t>(seq);
    for (std::size_t k = 0; k < kBlockSamples; ++k)
        b.samples[k] = static_cast<float>((seq + k) & 0xFFFF);
    return b;
}

// Empty when the block is exactly makeBlock(seq); else what differs first.
std::string mismatch(const AudioBlock& b, std::uint64_t seq) {
    const AudioBlock want = makeBlock(seq);
    if (b.timestampNs != want.timestampNs) return "timestamp " + std::to_string(b.timestampNs);
    if (b.sampleRate != want.sampleRate) return "sampleRate " + std::to_string(b.sampleRate);
    if (b.frameCount != want.frameCount) return "frameCount " + std::to_string(b.frameCount);
    if (b.active != want.active) return "active";
    for (std::size_t k = 0; k < kBlockSamples; ++k)
        if (b.samples[k] != want.samples[k]) return "sample " + std::to_string(k);
    return {};
}

TEST(AudioRingLayout, IndicesOfARealRingSitOnLinesOfTheirOwn) {
    auto ring = std::make_unique<AudioRing>();
    EXPECT_EQ(address(ring.get()) % kCacheLine, 0u);
    EXPECT_EQ(address(&ring->writeIndex) % kCacheLine, 0u);
    EXPECT_EQ(address(&ring->readIndex) % kCacheLine, 0u);
    EXPECT_NE(address(&ring->writeIndex) / kCacheLine, address(&ring->readIndex) / kCacheLine);
    EXPECT_GT(address(&ring->writeIndex) / kCacheLine, (address(&ring->slots.back()) + sizeof(AudioBlock) - 1) / kCacheLine);
    // No line holds the end of one slot and the start of the next.
    for (const AudioBlock& slot : ring->slots) ASSERT_EQ(address(&slot) % kCacheLine, 0u);

    auto server = std::make_unique<StreamServer>();
    EXPECT_EQ(address(server.get()) % kCacheLine, 0u);
    EXPECT_EQ(address(&server->ring.writeIndex) % kCacheLine, 0u);
    EXPECT_EQ(address(&server->ring.readIndex) % kCacheLine, 0u);
}

TEST(AudioBlockDefaults, AreTheDocumentedOnes) {
    const AudioBlock b;
    EXPECT_EQ(b.sampleRate, 48000u);
    EXPECT_EQ(b.frameCount, 0u);
    EXPECT_FALSE(b.active);
    EXPECT_EQ(b.timestampNs, 0);
    for (float s : b.samples) ASSERT_EQ(s, 0.0f);
}

// --- full and empty edges ----------------------------------------------------

TEST(AudioRingEdges, FreshRingIsEmptyAndPopLeavesTheArgumentAlone) {
    auto ring = std::make_unique<AudioRing>();
    EXPECT_EQ(ring->size(), 0u);
    EXPECT_EQ(ring->writeIndex.load(), 0u);
    EXPECT_EQ(ring->readIndex.load(), 0u);
    for (const AudioBlock& slot : ring->slots) {
        ASSERT_EQ(slot.sampleRate, 48000u);
        ASSERT_EQ(slot.frameCount, 0u);
        ASSERT_EQ(slot.timestampNs, 0);
        ASSERT_EQ(slot.samples[kBlockSamples - 1], 0.0f);
    }
    AudioBlock out = makeBlock(77);
    EXPECT_FALSE(ring->pop(out));
    EXPECT_EQ(mismatch(out, 77), "");
    EXPECT_EQ(ring->readIndex.load(), 0u);
}

TEST(AudioRingEdges, SixtyFourFitTheSixtyFifthIsRefusedAndTheStoredOnesStayIntact) {
    auto ring = std::make_unique<AudioRing>();
    for (std::uint64_t i = 0; i < 64; ++i) ASSERT_TRUE(ring->push(makeBlock(i))) << i;
    EXPECT_EQ(ring->size(), 64u);
    EXPECT_FALSE(ring->push(makeBlock(1000)));
    EXPECT_FALSE(ring->push(makeBlock(1001)));
    EXPECT_EQ(ring->writeIndex.load(), 64u);
    EXPECT_EQ(ring->size(), 64u);
    for (std::uint64_t i = 0; i < 64; ++i) EXPECT_EQ(mismatch(ring->slots[i], i), "") << "slot " << i;
    AudioBlock out;
    for (std::uint64_t i = 0; i < 64; ++i) {
        ASSERT_TRUE(ring->pop(out)) << i;
        EXPECT_EQ(mismatch(out, i), "") << i;
    }
    EXPECT_FALSE(ring->pop(out));
    EXPECT_EQ(ring->size(), 0u);
}

TEST(AudioRingEdges, OnePopFreesExactlyTheSlotTheNextPushTakes) {
    auto ring = std::make_unique<AudioRing>();
    for (std::uint64_t i = 0; i < 64; ++i) ASSERT_TRUE(ring->push(makeBlock(i)));
    AudioBlock out;
    ASSERT_TRUE(ring->pop(out));
    EXPECT_EQ(mismatch(out, 0), "");
    ASSERT_TRUE(ring->push(makeBlock(64)));
    EXPECT_EQ(mismatch(ring->slots[0], 64), "");   // index 64 lands in slot 0
    EXPECT_EQ(mismatch(ring->slots[1], 1), "");    // the next unread block is untouched
    EXPECT_FALSE(ring->push(makeBlock(65)));       // full again
    for (std::uint64_t i = 1; i <= 64; ++i) {
        ASSERT_TRUE(ring->pop(out));
        EXPECT_EQ(mismatch(out, i), "") << i;
    }
    EXPECT_FALSE(ring->pop(out));
}

// Indices that have run far past 64, including across the 64-bit wrap.
class AudioRingFarIndices : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(AudioRingFarIndices, SlotArithmeticStillPairsEachPopWithItsPush) {
    auto ring = std::make_unique<AudioRing>();
    const std::uint64_t start = GetParam();
    ring->writeIndex.store(start);
    ring->readIndex.store(start);
    EXPECT_EQ(ring->size(), 0u);
    AudioBlock out = makeBlock(5);
    EXPECT_FALSE(ring->pop(out));
    EXPECT_EQ(mismatch(out, 5), "");

    for (std::uint64_t i = 0; i < 64; ++i) ASSERT_TRUE(ring->push(makeBlock(i))) << i;
    EXPECT_FALSE(ring->push(makeBlock(999)));
    EXPECT_EQ(ring->size(), 64u);
    EXPECT_EQ(mismatch(ring->slots[start & 63], 0), "");
    for (std::uint64_t i = 0; i < 40; ++i) {
        ASSERT_TRUE(ring->pop(out));
        ASSERT_EQ(mismatch(out, i), "") << i;
    }
    for (std::uint64_t i = 64; i < 104; ++i) ASSERT_TRUE(ring->push(makeBlock(i))) << i;
    EXPECT_FALSE(ring->push(makeBlock(999)));
    for (std::uint64_t i = 40; i < 104; ++i) {
        ASSERT_TRUE(ring->pop(out));
        ASSERT_EQ(mismatch(out, i), "") << i;
    }
    EXPECT_FALSE(ring->pop(out));
    EXPECT_EQ(ring->writeIndex.load(), start + 104);  // wraps modulo 2^64 like the ring does
    EXPECT_EQ(ring->readIndex.load(), start + 104);
}

INSTANTIATE_TEST_SUITE_P(Starts, AudioRingFarIndices,
                         ::testing::Values(std::uint64_t{1'000'000'000'037}, std::uint64_t{(1ull << 40) + 63},
                                           std::numeric_limits<std::uint64_t>::max() - 30));

// --- seeded random patterns --------------------------------------------------

// Phases that lean towards pushing and then towards popping, so the walk hits
// both full and empty many times while the indices wrap the slots thousands
// of times. The fill is checked against a model after every step.
TEST(AudioRingRandom, SeededPatternsMatchAQueueModelAtEveryStep) {
    for (std::uint32_t seed : {1u, 20240611u, 0xC0FFEEu}) {
        SCOPED_TRACE(seed);
        std::mt19937 rng(seed);
        auto ring = std::make_unique<AudioRing>();
        std::deque<std::uint64_t> model;
        std::uint64_t next = 0;
        std::uint64_t fullHits = 0;
        std::uint64_t emptyHits = 0;
        AudioBlock out;
        for (int phase = 0; phase < 1000; ++phase) {
            const double pushShare = (phase % 2 == 0) ? 0.8 : 0.2;
            std::bernoulli_distribution doPush(pushShare);
            std::uniform_int_distribution<int> lengthOf(1, 400);
            const int steps = lengthOf(rng);
            for (int s = 0; s < steps; ++s) {
                if (doPush(rng)) {
                    const bool room = model.size() < 64;
                    ASSERT_EQ(ring->push(makeBlock(next)), room) << "push " << next;
                    if (room) model.push_back(next);
                    else ++fullHits;
                    ++next;
                } else {
                    out = makeBlock(0xDEAD);
                    const bool any = !model.empty();
                    ASSERT_EQ(ring->pop(out), any);
                    if (any) {
                        ASSERT_EQ(mismatch(out, model.front()), "") << "pop of " << model.front();
                        model.pop_front();
                    } else {
                        ASSERT_EQ(mismatch(out, 0xDEAD), "");
                        ++emptyHits;
                    }
                }
                ASSERT_EQ(ring->size(), model.size());
            }
        }
        EXPECT_GT(ring->writeIndex.load(), 64u * 500);  // wrapped many times
        EXPECT_GT(fullHits, 100u);
        EXPECT_GT(emptyHits, 100u);
    }
}

// --- two threads -------------------------------------------------------------

// A producer and a consumer running at once: every block that was pushed
// arrives whole and in order; a push fails only when the producer had no
// evidence of room, and each failure is one counted drop.
TEST(AudioRingThreads, MillionBlocksArriveCompleteAndInOrder) {
    constexpr std::uint64_t kDelivered = 1'000'000;
    constexpr std::uint64_t kStallEvery = 50'000;  // consumer lets the ring fill now and then
    auto ring = std::make_unique<AudioRing>();
    std::atomic<bool> producerDone{false};

    std::vector<std::uint64_t> dropped;  // sequence numbers the producer could not push
    dropped.reserve(1 << 20);
    std::uint64_t attempts = 0;
    std::uint64_t badRefusals = 0;  // refused although room was known, or refused yet moved the index

    std::thread producer([&] {
        std::uint64_t pushed = 0;
        std::uint64_t seq = 0;
        while (pushed < kDelivered) {
            const AudioBlock block = makeBlock(seq);
            // The consumer only ever frees slots, so room seen here is room at the push.
            const std::uint64_t w = ring->writeIndex.load(std::memory_order_relaxed);
            const std::uint64_t r = ring->readIndex.load(std::memory_order_acquire);
            const bool knownRoom = w - r < kRingSlots;
            if (ring->push(block)) {
                ++pushed;
            } else {
                if (knownRoom) ++badRefusals;
                if (ring->writeIndex.load(std::memory_order_relaxed) != w) ++badRefusals;
                dropped.push_back(seq);
                std::this_thread::yield();
            }
            ++seq;
        }
        attempts = seq;
        producerDone.store(true);
    });

    std::vector<std::uint64_t> received;
    received.reserve(kDelivered);
    std::uint64_t damaged = 0;
    std::uint64_t firstDamaged = 0;
    AudioBlock out;
    while (received.size() < kDelivered) {
        if (!ring->pop(out)) {
            std::this_thread::yield();
            continue;
        }
        const auto seq = static_cast<std::uint64_t>(out.timestampNs);
        if (!mismatch(out, seq).empty() && damaged++ == 0) firstDamaged = seq;
        received.push_back(seq);
        if (received.size() % kStallEvery == 0) {
            // Wait until the ring is full, so the refusal path really runs.
            while (ring->size() < kRingSlots && !producerDone.load()) std::this_thread::yield();
        }
    }
    producer.join();

    EXPECT_EQ(damaged, 0u) << "first damaged block " << firstDamaged;
    EXPECT_EQ(badRefusals, 0u);
    EXPECT_FALSE(ring->pop(out));
    EXPECT_EQ(received.size() + dropped.size(), attempts);
    EXPECT_GE(dropped.size(), kDelivered / kStallEvery - 1);

    // Received and dropped sequence numbers partition 0..attempts-1, each in order.
    std::size_t d = 0;
    std::size_t k = 0;
    for (std::uint64_t seq = 0; seq < attempts; ++seq) {
        if (k < received.size() && received[k] == seq) ++k;
        else if (d < dropped.size() && dropped[d] == seq) ++d;
        else FAIL() << "sequence " << seq << " neither arrived nor was counted as dropped";
    }
    EXPECT_EQ(k, received.size()) << "out of order or repeated arrivals";
    EXPECT_EQ(d, dropped.size());
}

}  // namespace
}  // namespace relay
