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

// Largest magnitudes of streamed samples, four lanes per side, folded to
// one value per side only once a call ends (a max does not depend on order).
struct PeakLanes {
    __m128 left = _mm_setzero_ps();
    __m128 right = _mm_setzero_ps();
};

// One streamed frame's magnitudes folded into the lowest lanes of `peaks`.
inline void addFramePeaks(PeakLanes& peaks, const float* frame) noexcept {
    peaks.left = _mm_max_ss(peaks.left, _mm_set_ss(std::fabs(frame[0])));
    peaks.right = _mm_max_ss(peaks.right, _mm_set_ss(std::fabs(frame[1])));
}

// Four frames of streamFrame() at gain `gain`, interleaved into out[0..7],
// their magnitudes folded into `peaks`. Checked, every sample gets the finite
// tests. Unchecked, it skips them and ORs an unordered mask into `nanSeen`:
// its samples equal the checked ones whenever that mask stays clear and no
// magnitude exceeds the float range, since a non-finite input or an
// overflowing product always leaves a NaN or an infinity in the product.
template <bool kChecked, typename T>
inline void streamFour(const T* left, const T* right, __m128 gain, bool mono, float* out, PeakLanes& peaks,
                       __m128& nanSeen) noexcept {
    const __m128 absMask = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
    __m128 l = streamSamples4(left);
    __m128 r = streamSamples4(right);
    if constexpr (kChecked) {
        // In stereo the product's test covers a non-finite input too (it
        // stays non-finite under any gain); the fold must not mix one in.
        if (mono) l = r = _mm_mul_ps(_mm_add_ps(zeroNonFinite4(l), zeroNonFinite4(r)), _mm_set1_ps(0.5f));
        l = zeroNonFinite4(_mm_mul_ps(gain, l));
        r = zeroNonFinite4(_mm_mul_ps(gain, r));
    } else {
        if (mono) l = r = _mm_mul_ps(_mm_add_ps(l, r), _mm_set1_ps(0.5f));
        l = _mm_mul_ps(gain, l);
        r = _mm_mul_ps(gain, r);
        nanSeen = _mm_or_ps(nanSeen, _mm_cmpunord_ps(l, r));
    }
    peaks.left = _mm_max_ps(peaks.left, _mm_and_ps(l, absMask));
    peaks.right = _mm_max_ps(peaks.right, _mm_and_ps(r, absMask));
    _mm_storeu_ps(out, _mm_unpacklo_ps(l, r));
    _mm_storeu_ps(out + 4, _mm_unpackhi_ps(l, r));
}

// streamFrame() for `count` frames at a constant gain g, the magnitudes
// folded into `peaks`. Every sample is the value streamFrame() gives. The
// whole run is streamed first without the finite tests; only when that left
// a NaN or an infinity is it streamed again with them.
template <typename T>
void streamFramesAtGain(const T* left, const T* right, std::uint32_t count, float g, bool mono, float* out,
                        PeakLanes& peaks) noexcept {
    const __m128 gain = _mm_set1_ps(g);
    const std::uint32_t whole = count & ~3u;
    PeakLanes run;  // kept apart until the run is known to be right
    __m128 nanSeen = _mm_setzero_ps();
    for (std::uint32_t i = 0; i < whole; i += 4)
        streamFour<false>(left + i, right + i, gain, mono, out + 2 * i, run, nanSeen);
    const __m128 overflow = _mm_cmpgt_ps(_mm_max_ps(run.left, run.right),
                                         _mm_set1_ps(std::numeric_limits<float>::max()));
    if (_mm_movemask_ps(_mm_or_ps(nanSeen, overflow)) != 0) {
        run = {};
        for (std::uint32_t i = 0; i < whole; i += 4)
            streamFour<true>(left + i, right + i, gain, mono, out + 2 * i, run, nanSeen);
    }
    peaks.left = _mm_max_ps(peaks.left, run.left);
    peaks.right = _mm_max_ps(peaks.right, run.right);
    for (std::uint32_t i = whole; i < count; ++i) {
        streamFrame(left[i], right[i], g, mono, out + 2 * i);
        addFramePeaks(peaks, out + 2 * i);
    }
}

// The largest of four lanes.
inline float largestLane(__m128 v) noexcept {
    v = _mm_max_ps(v, _mm_movehl_ps(v, v));
    return _mm_cvtss_f32(_mm_max_ss(v, _mm_shuffle_ps(v, v, 1)));
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
    PeakLanes peaks;
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
            addFramePeaks(peaks, samples + 2 * i);
        }
        streamFramesAtGain(l + i, r + i, count - i, g, mono, samples + 2 * i, peaks);
        // 4. Hand-off; a full ring costs the block and one count.
        if (slot != nullptr) ring.publish(2 * count);
        else if (!offline) drops.fetch_add(1);
    }
    currentGain = g;
    peakLeft.store(largestLane(peaks.left), std::memory_order_relaxed);
    peakRight.store(largestLane(peaks.right), std::memory_order_relaxed);
    // The audio thread is the counter's only writer: no locked add needed.
    processedBlocks.store(processedBlocks.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

}  // namespace relay
