// The audio thread's block function: pass-through plus the streamed copy.
// Included at the end of stream_server.h; not a header of its own.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstring>
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

template <typename T>
inline float streamSample(T value) noexcept {
    const float f = static_cast<float>(value);  // rounds to nearest; huge doubles become inf
    return std::isfinite(f) ? f : 0.0f;
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

    // 2. One snapshot of the switches per call.
    const bool streamActive = broadcast.load(std::memory_order_relaxed) &&
                              !disabled.load(std::memory_order_relaxed) && !offline;
    const bool mono = monoSend.load(std::memory_order_relaxed);
    const float target = dbToGain(sendLevelDb.load(std::memory_order_relaxed));
    const std::uint32_t rate = sampleRate.load(std::memory_order_relaxed);
    const float step = smootherStep(rate);
    const bool blockActive = streamActive && isStreamableRate(rate);
    const T* left = in[0];
    const T* right = (channels > 1 && in[1] != nullptr) ? in[1] : in[0];

    // 3. Cut the call into blocks of at most 256 frames.
    float peakL = 0.0f;
    float peakR = 0.0f;
    float g = currentGain;
    AudioBlock block;
    for (std::int32_t start = 0; start < frames; start += static_cast<std::int32_t>(kBlockFrames)) {
        block.samples.fill(0.0f);
        block.sampleRate = rate;
        block.frameCount = static_cast<std::uint32_t>(
            std::min<std::int32_t>(frames - start, static_cast<std::int32_t>(kBlockFrames)));
        block.active = blockActive;
        block.timestampNs = steadyNowNs();
        for (std::uint32_t i = 0; i < block.frameCount; ++i) {
            const std::size_t n = static_cast<std::size_t>(start) + i;
            float l = streamSample(left[n]);
            float r = streamSample(right[n]);
            g = ((target - g) * step) + g;
            if (mono) l = r = (l + r) * 0.5f;
            const float outL = g * l;
            const float outR = g * r;
            block.samples[2 * i] = outL;
            block.samples[2 * i + 1] = outR;
            peakL = std::max(peakL, std::fabs(outL));
            peakR = std::max(peakR, std::fabs(outR));
        }
        currentGain = g;
        // 4. Hand-off; a full ring costs the block and one count.
        if (!offline && !ring.push(block)) drops.fetch_add(1);
    }
    peakLeft.store(peakL, std::memory_order_relaxed);
    peakRight.store(peakR, std::memory_order_relaxed);
    processedBlocks.fetch_add(1);
}

}  // namespace relay
