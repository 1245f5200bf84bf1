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
// finite input can still overflow in the mono fold or under a gain above 1:
// such a product is 0, as a non-finite input is, so listeners, meters and
// the analysis never see an infinity.
template <typename T>
inline void streamFrame(T leftIn, T rightIn, float g, bool mono, float* out) noexcept {
    float l = streamSample(leftIn);
    float r = streamSample(rightIn);
    if (mono) l = r = (l + r) * 0.5f;
    out[0] = finiteOrZero(g * l);
    out[1] = finiteOrZero(g * r);
}

// Four host samples rounded to float32 lanes as streamSample() rounds them;
// the finite test is the caller's.
inline __m128 streamSamples4(const float* values) noexcept { return _mm_loadu_ps(values); }
inline __m128 streamSamples4(const double* values) noexcept {
    return _mm_movelh_ps(_mm_cvtpd_ps(_mm_loadu_pd(values)), _mm_cvtpd_ps(_mm_loadu_pd(values + 2)));
}
inline __m128 zeroNonFinite4(__m128 f) noexcept {
    const __m128 absMask = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
    const __m128 finite = _mm_cmple_ps(_mm_and_ps(f, absMask), _mm_set1_ps(std::numeric_limits<float>::max()));
    return _mm_and_ps(f, finite);
}

// streamFrame() for `count` frames at a constant gain g, four at a time,
// with the largest magnitudes of the streamed left and right samples taken
// on the way (a max does not depend on order). Every sample is the value
// streamFrame() gives.
template <typename T>
void streamFramesAtGain(const T* left, const T* right, std::uint32_t count, float g, bool mono, float* out,
                        float& peakL, float& peakR) noexcept {
    const __m128 absMask = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
    const __m128 gain = _mm_set1_ps(g);
    __m128 maxL = _mm_setzero_ps();
    __m128 maxR = _mm_setzero_ps();
    std::uint32_t i = 0;
    for (; i + 4 <= count; i += 4) {
        __m128 l = streamSamples4(left + i);
        __m128 r = streamSamples4(right + i);
        // In stereo the product's test covers a non-finite input too (it
        // stays non-finite under any gain); the fold must not mix one in.
        if (mono) l = r = _mm_mul_ps(_mm_add_ps(zeroNonFinite4(l), zeroNonFinite4(r)), _mm_set1_ps(0.5f));
        l = zeroNonFinite4(_mm_mul_ps(gain, l));
        r = zeroNonFinite4(_mm_mul_ps(gain, r));
        maxL = _mm_max_ps(maxL, _mm_and_ps(l, absMask));
        maxR = _mm_max_ps(maxR, _mm_and_ps(r, absMask));
        _mm_storeu_ps(out + 2 * i, _mm_unpacklo_ps(l, r));
        _mm_storeu_ps(out + 2 * i + 4, _mm_unpackhi_ps(l, r));
    }
    alignas(16) float lanes[8];
    _mm_store_ps(lanes, maxL);
    _mm_store_ps(lanes + 4, maxR);
    for (int k = 0; k < 4; ++k) {
        peakL = std::max(peakL, lanes[k]);
        peakR = std::max(peakR, lanes[4 + k]);
    }
    for (; i < count; ++i) {
        streamFrame(left[i], right[i], g, mono, out + 2 * i);
        peakL = std::max(peakL, std::fabs(out[2 * i]));
        peakR = std::max(peakR, std::fabs(out[2 * i + 1]));
    }
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
    for (std::int32_t start = 0; start < frames; start += static_cast<std::int32_t>(kBlockFrames)) {
        const auto count = static_cast<std::uint32_t>(
            std::min<std::int32_t>(frames - start, static_cast<std::int32_t>(kBlockFrames)));
        // The block is built in place in the ring's next free slot. Offline,
        // or with the ring full, it is built aside and discarded: the gain
        // and the meters advance all the same.
        AudioBlock* slot = offline ? nullptr : ring.claim();
        AudioBlock& block = slot != nullptr ? *slot : staging_;
        block.sampleRate = rate;
        block.frameCount = count;
        block.active = blockActive;
        block.timestampNs = steadyNowNs();
        float* samples = block.samples.data();
        const T* l = left + start;
        const T* r = right + start;
        // The gain glides sample by sample until a step no longer moves it;
        // from then on it is constant for the rest of the call. The peaks
        // are taken from the samples as they are written.
        std::uint32_t i = 0;
        for (; i < count; ++i) {
            const float next = ((target - g) * step) + g;
            if (next == g) break;
            g = next;
            streamFrame(l[i], r[i], g, mono, samples + 2 * i);
            peakL = std::max(peakL, std::fabs(samples[2 * i]));
            peakR = std::max(peakR, std::fabs(samples[2 * i + 1]));
        }
        streamFramesAtGain(l + i, r + i, count - i, g, mono, samples + 2 * i, peakL, peakR);
        // 4. Hand-off; a full ring costs the block and one count.
        if (slot != nullptr) ring.publish(2 * count);
        else if (!offline) drops.fetch_add(1);
    }
    currentGain = g;
    peakLeft.store(peakL, std::memory_order_relaxed);
    peakRight.store(peakR, std::memory_order_relaxed);
    // The audio thread is the counter's only writer: no locked add needed.
    processedBlocks.store(processedBlocks.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

}  // namespace relay
