#include "tools/testhost/realtime.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <queue>
#include <thread>

#include "plugin/parameters.h"
#include "plugin/plugin.h"
#include "tools/testhost/host_objects.h"

namespace testhost {

namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr double kChordHz[] = {220.0, 277.18, 329.63};  // A minor-ish triad, A3 C#4 E4
constexpr double kChordAmplitude = 0.2;
constexpr std::uint32_t kCounterPeriod = 65536;  // exact in float32

// Commands typed on stdin, handed to the processing loop.
class Mailbox {
public:
    void put(std::string line) {
        std::lock_guard lock(mutex_);
        lines_.push(std::move(line));
    }
    bool take(std::string& line) {
        std::lock_guard lock(mutex_);
        if (lines_.empty()) return false;
        line = std::move(lines_.front());
        lines_.pop();
        return true;
    }

private:
    std::mutex mutex_;
    std::queue<std::string> lines_;
};

void announce(relay::Plugin& plugin) {
    for (int i = 0; i < 400 && plugin.stream.port.load() == 0 && plugin.stream.serverError.load() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (plugin.stream.port.load() == 0) {
        std::printf("ERROR server %u\n", plugin.stream.serverError.load());
    } else {
        std::printf("URL %s\nPORT %u\nKEY %s\n", plugin.stream.pairingUrl().c_str(), plugin.stream.port.load(),
                    plugin.stream.sessionKey.c_str());
    }
    std::fflush(stdout);
}

void bringUp(relay::Plugin& plugin, const RealtimeOptions& o) {
    plugin.initialize(hostContext());
    Vst::SpeakerArrangement stereo = Vst::SpeakerArr::kStereo;
    plugin.setBusArrangements(&stereo, 1, &stereo, 1);
    Vst::ProcessSetup setup{Vst::kRealtime, Vst::kSample32, o.blockFrames, o.sampleRate};
    plugin.setupProcessing(setup);
    plugin.setActive(true);
    plugin.setProcessing(true);
}

}  // namespace

void testSignal(const std::string& kind, std::uint64_t n, double rate, float& left, float& right) {
    if (kind == "counter") {
        // Left counts frames (exact in float32); right is the chord's first tone.
        left = static_cast<float>(n % kCounterPeriod) / static_cast<float>(kCounterPeriod);
        right = static_cast<float>(kChordAmplitude * std::sin(kTwoPi * kChordHz[0] * static_cast<double>(n) / rate));
        return;
    }
    double l = 0.0, r = 0.0;
    for (std::size_t i = 0; i < std::size(kChordHz); ++i) {
        const double phase = kTwoPi * kChordHz[i] * static_cast<double>(n) / rate;
        l += kChordAmplitude * std::sin(phase);
        r += kChordAmplitude * std::sin(phase + 0.25 * static_cast<double>(i));  // a little width
    }
    left = static_cast<float>(l);
    right = static_cast<float>(r);
}

int runRealtime(const RealtimeOptions& o) {
    auto* plugin = static_cast<relay::Plugin*>(
        static_cast<Vst::IAudioProcessor*>(relay::Plugin::createInstance(nullptr)));
    if (plugin == nullptr) {
        std::printf("ERROR no instance\n");
        return 1;
    }
    bringUp(*plugin, o);
    if (o.stream) plugin->setParamNormalized(relay::kParamBroadcast, 1.0);
    announce(*plugin);

    Mailbox mailbox;
    std::atomic<bool> inputEnded{false};
    std::thread reader([&] {
        std::string line;
        while (std::getline(std::cin, line)) mailbox.put(line);
        inputEnded = true;
    });
    reader.detach();  // blocked in getline until stdin ends; the process exit ends it

    BusBuffers<float> buffers(2, o.blockFrames);
    const auto blockTime = std::chrono::duration<double>(o.blockFrames / o.sampleRate);
    auto next = std::chrono::steady_clock::now();
    const auto end = next + std::chrono::duration<double>(o.seconds);
    std::uint64_t frame = 0;
    bool running = true;
    for (bool quit = false; !quit;) {
        std::string command;
        while (mailbox.take(command)) {
            if (command == "quit") quit = true;
            else if (command == "terminate" && running) {
                plugin->setProcessing(false);
                plugin->setActive(false);
                plugin->terminate();
                running = false;
                std::printf("TERMINATED\n");
                std::fflush(stdout);
            } else if (command == "initialize" && !running) {
                bringUp(*plugin, o);
                running = true;
                announce(*plugin);
            } else if (command == "handles") {
                DWORD count = 0;
                GetProcessHandleCount(GetCurrentProcess(), &count);
                std::printf("HANDLES %lu\n", static_cast<unsigned long>(count));
                std::fflush(stdout);
            } else if (command == "status") {
                const relay::StreamServer& s = plugin->stream;
                std::printf("STATUS listeners %u drops %llu processed %llu error %u\n", s.listeners.load(),
                            static_cast<unsigned long long>(s.drops.load()),
                            static_cast<unsigned long long>(s.processedBlocks.load()), s.serverError.load());
                std::fflush(stdout);
            } else if (command.rfind("param ", 0) == 0) {
                unsigned id = 0;
                double value = 0.0;
                if (std::sscanf(command.c_str(), "param %u %lf", &id, &value) == 2)
                    plugin->setParamNormalized(id, value);
            }
        }
        if (inputEnded && o.seconds <= 0.0) quit = true;
        if (o.seconds > 0.0 && std::chrono::steady_clock::now() >= end) quit = true;
        if (running) {
            for (std::int32_t i = 0; i < o.blockFrames; ++i, ++frame)
                testSignal(o.signal, frame, o.sampleRate, buffers.in[0][static_cast<size_t>(i)],
                           buffers.in[1][static_cast<size_t>(i)]);
            Vst::ProcessData data = makeProcessData(buffers, o.blockFrames);
            plugin->process(data);
        }
        next += std::chrono::duration_cast<std::chrono::steady_clock::duration>(blockTime);
        std::this_thread::sleep_until(next);
    }
    if (running) plugin->terminate();
    plugin->release();
    return 0;
}

}  // namespace testhost
