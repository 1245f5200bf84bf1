// The audio thread's block function: pass-through plus the streamed copy.
// Included at the end of stream_server.h; not a header of its own.
#pragma once

#include <emmintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

#include "server/clock.h"

namespace relay {

inline constexpr float kSmootherSeconds = 0.01f;  // send-gain time constant

// One-pole smoother step for a rate in Hz: the share of the remaining way
// that each sample covers (10 ms time constant).
inline float smootherStep(std::uint32_t rate) noexcept {
    const float coeff = std::exp(-1.0f / (static_cast<float>(rate) * kSmootherSeconds));
    return 1.0f - coeff;
}

// Linear gain for a send level in dB, in float32 as the stream uses it.
inline float dbToGain(float db) noexcept { return std::pow(10.0f, db / 20.0f); }

// NaN and infinities become 0. Written as a select, not a branch, so the
// sample loops vectorise.
inline float finiteOrZero(float f) noexcept {
    return std::fabs(f) <= std::numeric_limits<float>::max() ? f : 0.0f;
}

// A host sample as streamed: rounded to float32, then finiteOrZero (so
// doubles beyond the float range become 0 too).
template <typename T>
inline float streamSample(T value) noexcept {
    return finiteOrZero(static_cast<float>(value));
}

// One streamed frame at gain g, written interleaved at out[0], out[1]. A
// finite input can still overflow in the mono fold or under a gain above 1;
// blockPeaks mends such samples.
template <typename T>
inline void streamFrame(T leftIn, T rightIn, float g, bool mono, float* out) noexcept {
    float l = streamSample(leftIn);
    float r = streamSample(rightIn);
    if (mono) l = r = (l + r) * 0.5f;
    out[0] = g * l;
    out[1] = g * r;
}

// Four-lane maximum magnitude of the first `samples` of a block whose tail
// is zero; `bad` gets all bits set in a lane that saw a non-finite value.
inline __m128 blockAbsMax(const float* interleaved, std::size_t samples, __m128& bad) noexcept {
    const __m128 absMask = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
    const __m128 largest = _mm_set1_ps(std::numeric_limits<float>::max());
    __m128 acc = _mm_setzero_ps();
    bad = _mm_setzero_ps();
    for (std::size_t k = 0; k < samples; k += 4) {  // rounds up into the zero tail
        const __m128 magnitude = _mm_and_ps(_mm_loadu_ps(interleaved + k), absMask);
        acc = _mm_max_ps(acc, magnitude);
        bad = _mm_or_ps(bad, _mm_cmpnle_ps(magnitude, largest));
    }
    return acc;
}

// Largest magnitude of the even (left) and odd (right) samples among the
// first `samples` of a block whose tail is zero. Order does not matter for a
// max of non-negative finite values, so four lanes run at once. A sample
// that overflowed to an infinity is first set to 0, as a non-finite input
// is, so listeners, meters and the analysis never see one; such blocks are
// rare, so the common case pays one test per block.
inline void blockPeaks(float* interleaved, std::size_t samples, float& peakL, float& peakR) noexcept {
    __m128 bad;
    __m128 acc = blockAbsMax(interleaved, samples, bad);
    if (_mm_movemask_ps(bad) != 0) {
        for (std::size_t k = 0; k < samples; ++k) interleaved[k] = finiteOrZero(interleaved[k]);
        acc = blockAbsMax(interleaved, samples, bad);
    }
    alignas(16) float lanes[4];
    _mm_store_ps(lanes, acc);
    peakL = std::max(peakL, std::max(lanes[0], lanes[2]));
    peakR = std::max(peakR, std::max(lanes[1], lanes[3]));
}

// Runs on the audio thread: no locks, no allocation, no system call but the
// clock. Frames and channels are the host's counts; `offline` suppresses the
// hand-off but not the gain, meters or counter.
template <typename T>
void StreamServer::processAudio(T** in, T** out, std::int32_t channels, std::int32_t frames,
                                bool offline) noexcept {
    static_assert(std::is_same_v<T, float> || std::is_same_v<T, double>);
    if (frames < 1 || channels < 1 || in == nullptr || out == nullptr) return;

    // 1. The host's output is the input, untouched, whatever the switches.
    for (std::int32_t c = 0; c < channels; ++c) {
        if (in[c] != nullptr && out[c] != nullptr && in[c] != out[c])
            std::memmove(out[c], in[c], static_cast<std::size_t>(frames) * sizeof(T));
    }
    if (in[0] == nullptr) return;

    // 2. One snapshot of the switches per call; powf and expf only when the
    // level or the rate changed since the last call.
    const bool streamActive = broadcast.load(std::memory_order_relaxed) &&
                              !disabled.load(std::memory_order_relaxed) && !offline;
    const bool mono = monoSend.load(std::memory_order_relaxed);
    const float levelDb = sendLevelDb.load(std::memory_order_relaxed);
    const std::uint32_t rate = sampleRate.load(std::memory_order_relaxed);
    if (!(levelDb == smoother_.levelDb)) smoother_ = {levelDb, dbToGain(levelDb), smoother_.rate, smoother_.step};
    if (rate != smoother_.rate) smoother_ = {smoother_.levelDb, smoother_.target, rate, smootherStep(rate)};
    const float target = smoother_.target;
    const float step = smoother_.step;
    const bool blockActive = streamActive && isStreamableRate(rate);
    const T* left = in[0];
    const T* right = (channels > 1 && in[1] != nullptr) ? in[1] : in[0];

    // 3. Cut the call into blocks of at most 256 frames.
    float peakL = 0.0f;
    float peakR = 0.0f;
    float g = currentGain;
    AudioBlock& block = staging_;
    for (std::int32_t start = 0; start < frames; start += static_cast<std::int32_t>(kBlockFrames)) {
        const auto count = static_cast<std::uint32_t>(
            std::min<std::int32_t>(frames - start, static_cast<std::int32_t>(kBlockFrames)));
        block.sampleRate = rate;
        block.frameCount = count;
        block.active = blockActive;
        block.timestampNs = steadyNowNs();
        float* samples = block.samples.data();
        const T* l = left + start;
        const T* r = right + start;
        // The gain glides sample by sample until a step no longer moves it;
        // from then on it is constant for the rest of the call.
        std::uint32_t i = 0;
        for (; i < count; ++i) {
            const float next = ((target - g) * step) + g;
            if (next == g) break;
            g = next;
            streamFrame(l[i], r[i], g, mono, samples + 2 * i);
        }
        for (; i < count; ++i) streamFrame(l[i], r[i], g, mono, samples + 2 * i);
        std::fill(samples + 2 * count, samples + kBlockSamples, 0.0f);
        blockPeaks(samples, 2 * count, peakL, peakR);
        // 4. Hand-off; a full ring costs the block and one count.
        if (!offline && !ring.push(block)) drops.fetch_add(1);
    }
    currentGain = g;
    peakLeft.store(peakL, std::memory_order_relaxed);
    peakRight.store(peakR, std::memory_order_relaxed);
    processedBlocks.fetch_add(1);
}

}  // namespace relay
