// One block of streamed audio and the lock-free ring that carries blocks from
// the host's audio thread (the only producer) to the server thread (the only
// consumer).
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace relay {

inline constexpr std::uint32_t kBlockFrames = 256;   // stereo frames per block
inline constexpr std::uint32_t kBlockSamples = kBlockFrames * 2;
inline constexpr std::uint64_t kRingSlots = 64;
inline constexpr std::uint32_t kDefaultSampleRate = 48000;
inline constexpr std::size_t kCacheLine = 64;

// One ring slot: up to 256 interleaved stereo float32 frames (left at even,
// right at odd index, zeros after frameCount). Always copied whole. Slots
// begin on cache lines of their own, so the consumer copying one slot never
// reads a line that the producer is writing the next slot's header into.
struct alignas(kCacheLine) AudioBlock {
    std::uint32_t sampleRate = kDefaultSampleRate;  // Hz
    std::uint32_t frameCount = 0;                   // 1..256 when produced
    bool active = false;                            // may be sent to listeners
    std::int64_t timestampNs = 0;                   // steady clock when begun
    std::array<float, kBlockSamples> samples{};
};

// Single-producer, single-consumer queue of 64 blocks. Both indices count
// freely; slot = index & 63; all 64 slots are usable.
class AudioRing {
public:
    AudioRing() = default;
    AudioRing(const AudioRing&) = delete;
    AudioRing& operator=(const AudioRing&) = delete;

    // Audio thread only: no locks, no allocation. False when full (the ring
    // is then untouched and the caller counts the drop).
    [[nodiscard]] bool push(const AudioBlock& block) noexcept {
        AudioBlock* slot = claim();
        if (slot == nullptr) return false;
        *slot = block;
        publish(kBlockSamples);
        return true;
    }

    // Audio thread only: the free slot the next block goes into, to be built
    // in place and then handed over by publish(); nullptr when full (the
    // ring is then untouched). The consumer does not look at the slot before
    // publish(), and claiming again without publishing returns the same slot.
    [[nodiscard]] AudioBlock* claim() noexcept {
        const std::uint64_t w = writeIndex.load(std::memory_order_relaxed);
        // The consumer's index only grows, so an old reading that shows room
        // is still right; it is read afresh (acquire) only when it shows none.
        if (w - readSeen_ >= kRingSlots) {
            readSeen_ = readIndex.load(std::memory_order_acquire);
            if (w - readSeen_ >= kRingSlots) return nullptr;
        }
        return &slots[w & (kRingSlots - 1)];
    }

    // Audio thread only, after claim() gave a slot: zeros the slot's samples
    // from `samplesUsed` on that an earlier block may have left non-zero,
    // so the slot is whole as a copied block would be, and hands it to the
    // consumer with a release store.
    void publish(std::uint32_t samplesUsed) noexcept {
        const std::uint64_t w = writeIndex.load(std::memory_order_relaxed);
        const std::size_t index = w & (kRingSlots - 1);
        float* samples = slots[index].samples.data();
        if (samplesUsed < dirtySamples_[index])
            std::fill(samples + samplesUsed, samples + dirtySamples_[index], 0.0f);
        dirtySamples_[index] = static_cast<std::uint16_t>(samplesUsed);
        writeIndex.store(w + 1, std::memory_order_release);
    }

    // Server thread only. False when empty; `out` is then unchanged.
    [[nodiscard]] bool pop(AudioBlock& out) noexcept {
        const std::uint64_t r = readIndex.load(std::memory_order_relaxed);
        const std::uint64_t w = writeIndex.load(std::memory_order_acquire);
        if (r == w) return false;
        out = slots[r & (kRingSlots - 1)];
        readIndex.store(r + 1, std::memory_order_release);
        return true;
    }

    // Blocks waiting; exact only when neither side is running.
    std::uint64_t size() const noexcept {
        return writeIndex.load(std::memory_order_acquire) - readIndex.load(std::memory_order_acquire);
    }

    std::array<AudioBlock, kRingSlots> slots{};
    // Producer only: the read index as last seen, and per slot how many
    // leading samples may be non-zero (all slots start as zeros).
    std::uint64_t readSeen_ = 0;
    std::array<std::uint16_t, kRingSlots> dirtySamples_{};
    alignas(kCacheLine) std::atomic<std::uint64_t> writeIndex{0};
    alignas(kCacheLine) std::atomic<std::uint64_t> readIndex{0};
    // Keep whatever follows the ring off the read index's line.
    char padding_[kCacheLine - sizeof(std::atomic<std::uint64_t>)]{};
};

static_assert(std::is_trivially_copyable_v<AudioBlock>);
static_assert(sizeof(AudioBlock) % kCacheLine == 0);
static_assert(alignof(AudioRing) == kCacheLine);
static_assert(offsetof(AudioRing, readIndex) - offsetof(AudioRing, writeIndex) >= kCacheLine);
static_assert(offsetof(AudioRing, writeIndex) % kCacheLine == 0);

}  // namespace relay
