// Times process() per stereo frame with streaming on and a second thread
// draining the ring, against a bare loop that does the least any such
// effect must: copy the host's buffers and write a gained float copy into a
// 512-float block. Both run interleaved in the same process; the figures
// are medians over several runs. Prints figures only.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "plugin/parameters.h"
#include "plugin/plugin.h"
#include "server/clock.h"

namespace {

using namespace Steinberg;
using namespace Steinberg::Vst;

constexpr int kRuns = 31;  // short runs: many, so one preempted run moves no median
constexpr int32 kFramesPerRun = 1 << 20;  // about 22 s of audio at 48 kHz
constexpr double kRate = 48000.0;
constexpr double kFrameBudgetNs = 1e9 / kRate;

// Stereo input and output of one sample type, with noise in the input.
template <typename T>
struct Buffers {
    explicit Buffers(int32 frames) : channels{std::vector<T>(frames), std::vector<T>(frames),
                                              std::vector<T>(frames), std::vector<T>(frames)} {
        std::mt19937 gen(5);
        std::uniform_real_distribution<double> noise(-1.0, 1.0);
        for (int c = 0; c < 2; ++c)
            for (T& x : channels[c]) x = static_cast<T>(noise(gen));
        in[0] = channels[0].data();
        in[1] = channels[1].data();
        out[0] = channels[2].data();
        out[1] = channels[3].data();
        inBus.numChannels = outBus.numChannels = 2;
        if constexpr (sizeof(T) == 4) {
            inBus.channelBuffers32 = in;
            outBus.channelBuffers32 = out;
        } else {
            inBus.channelBuffers64 = in;
            outBus.channelBuffers64 = out;
        }
    }
    std::vector<T> channels[4];
    T* in[2];
    T* out[2];
    AudioBusBuffers inBus{}, outBus{};
};

// The baseline: pass-through plus one gained float copy per 256 frames.
template <typename T>
void bareLoop(T** in, T** out, int32 frames, float gain, float* scratch) {
    for (int c = 0; c < 2; ++c) std::memmove(out[c], in[c], static_cast<std::size_t>(frames) * sizeof(T));
    for (int32 start = 0; start < frames; start += 256) {
        const int32 n = std::min<int32>(256, frames - start);
        for (int32 i = 0; i < n; ++i) {
            scratch[2 * i] = gain * static_cast<float>(in[0][start + i]);
            scratch[2 * i + 1] = gain * static_cast<float>(in[1][start + i]);
        }
        asm volatile("" : : "r"(scratch) : "memory");  // the block counts as used
    }
}

double nsPerFrame(std::chrono::steady_clock::duration elapsed) {
    return std::chrono::duration<double, std::nano>(elapsed).count() / kFramesPerRun;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct Figures {
    double plugin, bare;
};

template <typename T>
Figures measure(relay::Plugin& plugin, int32 blockFrames) {
    Buffers<T> b(blockFrames);
    ProcessData data{};
    data.processMode = kRealtime;
    data.symbolicSampleSize = sizeof(T) == 4 ? kSample32 : kSample64;
    data.numSamples = blockFrames;
    data.numInputs = data.numOutputs = 1;
    data.inputs = &b.inBus;
    data.outputs = &b.outBus;
    alignas(64) float scratch[512];
    const int32 calls = kFramesPerRun / blockFrames;

    std::vector<double> pluginRuns, bareRuns;
    for (int run = 0; run < kRuns; ++run) {
        auto start = std::chrono::steady_clock::now();
        for (int32 i = 0; i < calls; ++i) plugin.process(data);
        pluginRuns.push_back(nsPerFrame(std::chrono::steady_clock::now() - start));

        start = std::chrono::steady_clock::now();
        for (int32 i = 0; i < calls; ++i) bareLoop(b.in, b.out, blockFrames, 0.5f, scratch);
        bareRuns.push_back(nsPerFrame(std::chrono::steady_clock::now() - start));
    }
    return {median(pluginRuns), median(bareRuns)};
}

// What one read of the time-stamp clock costs: every block of process()
// pays it once, whatever the block's length.
double clockReadNs() {
    constexpr int kReads = 200000;
    std::vector<double> runs;
    for (int run = 0; run < kRuns; ++run) {
        std::int64_t sink = 0;
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kReads; ++i) sink += relay::steadyNowNs();
        runs.push_back(std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() /
                       kReads);
        asm volatile("" : : "r"(sink));
    }
    return median(runs);
}

}  // namespace

int main() {
    auto* plugin = new relay::Plugin();  // no initialize: the bench is the ring's consumer
    ProcessSetup setup{kRealtime, kSample32, 4096, kRate};
    plugin->setupProcessing(setup);
    plugin->applyParameter(relay::kParamBroadcast, 1.0);
    plugin->applyParameter(relay::kParamSendLevel, 54.0 / 66.0);  // -6 dB

    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> popped{0};
    std::thread consumer([&] {
        relay::AudioBlock block;
        while (!stop.load(std::memory_order_relaxed)) {
            if (plugin->stream.ring.pop(block)) popped.fetch_add(1, std::memory_order_relaxed);
            else std::this_thread::yield();
        }
    });

    std::printf("process() per stereo frame at 48 kHz, streaming on, ring drained by a second thread\n");
    std::printf("median of %d runs x %d frames; bare loop = copy + gained float copy into a 512-float block\n\n",
                kRuns, kFramesPerRun);
    std::printf("  sample  block   process() ns/frame   bare loop ns/frame   ratio   share of a 48 kHz frame\n");
    for (int32 block : {64, 512, 4096}) {
        const Figures f32 = measure<float>(*plugin, block);
        std::printf("  32-bit  %5d   %18.2f   %18.2f   %5.2fx   %6.3f %%\n", block, f32.plugin, f32.bare,
                    f32.plugin / f32.bare, f32.plugin / kFrameBudgetNs * 100.0);
        const Figures f64 = measure<double>(*plugin, block);
        std::printf("  64-bit  %5d   %18.2f   %18.2f   %5.2fx   %6.3f %%\n", block, f64.plugin, f64.bare,
                    f64.plugin / f64.bare, f64.plugin / kFrameBudgetNs * 100.0);
    }
    stop.store(true);
    consumer.join();
    std::printf("\none read of the time-stamp clock: %.1f ns (process() reads it once per block of up to 256 "
                "frames)\n", clockReadNs());
    std::printf("blocks popped %llu, drops %llu (goal, 32-bit: at most 5x at 64 frames, 3x at 512)\n",
                static_cast<unsigned long long>(popped.load()),
                static_cast<unsigned long long>(plugin->stream.drops.load()));
    plugin->release();
    return 0;
}
