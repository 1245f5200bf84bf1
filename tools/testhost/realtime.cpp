#include "tools/testhost/realtime.h"

#include <atomic>
#include <cstdarg>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <queue>
#include <thread>

#include "plugin/parameters.h"
#include "plugin/plugin.h"
#include "editor/view.h"
#include "tools/testhost/editor_host.h"
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

bool isEditorCommand(const std::string& line) {
    const std::string word = line.substr(0, line.find(' '));
    for (const char* c : {"snapshot", "scale", "size", "click", "dblclick", "key", "close", "open"})
        if (word == c) return true;
    return false;
}

void reply(const char* format, ...) __attribute__((format(printf, 1, 2)));
void reply(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}

// The editor's commands, on the UI thread that owns the window.
void editorCommand(relay::Plugin& plugin, EditorHost& host, const std::string& line) {
    char path[1024] = {};
    float a = 0.0f, b = 0.0f;
    int w = 0, h = 0;
    auto* view = static_cast<relay::View*>(host.view());
    if (std::sscanf(line.c_str(), "snapshot %1023[^\n]", path) == 1) {
        const bool ok = view != nullptr && view->nativeEditor().saveSnapshotPng(windowsPath(path).c_str());
        reply("SNAPSHOT %s\n", ok ? "ok" : "failed");
    } else if (std::sscanf(line.c_str(), "scale %f", &a) == 1) {
        const tresult r = host.setContentScale(a);
        ViewRect size{};
        if (view != nullptr) view->getSize(&size);
        reply("SCALE %d %dx%d\n", static_cast<int>(r), size.getWidth(), size.getHeight());
    } else if (std::sscanf(line.c_str(), "size %d %d", &w, &h) == 2) {
        const ViewRect r = host.resizeTo(w, h);
        reply("SIZE %dx%d\n", r.getWidth(), r.getHeight());
    } else if (std::sscanf(line.c_str(), "click %f %f", &a, &b) == 2) {
        host.click(a, b);
        reply("CLICKED\n");
    } else if (std::sscanf(line.c_str(), "dblclick %f %f", &a, &b) == 2) {
        host.click(a, b);
        host.click(a, b, true);
        reply("CLICKED\n");
    } else if (std::sscanf(line.c_str(), "key %d", &w) == 1) {
        host.key(static_cast<WPARAM>(w));
        reply("KEYED\n");
    } else if (line == "close") {
        host.close();
        reply("CLOSED\n");
    } else if (line == "open") {
        reply("OPENED %s\n", host.view() == nullptr && host.open(plugin.createView("editor")) ? "ok" : "failed");
    }
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

// The host's processing: one block per block time, with the commands that
// arrive in between. Returns whether the plug-in is still initialised.
bool processLoop(relay::Plugin& plugin, const RealtimeOptions& o, Mailbox& mailbox, std::atomic<bool>& inputEnded) {
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
                plugin.setProcessing(false);
                plugin.setActive(false);
                plugin.terminate();
                running = false;
                reply("TERMINATED\n");
            } else if (command == "initialize" && !running) {
                bringUp(plugin, o);
                running = true;
                announce(plugin);
            } else if (command == "handles") {
                DWORD count = 0;
                GetProcessHandleCount(GetCurrentProcess(), &count);
                reply("HANDLES %lu\n", static_cast<unsigned long>(count));
            } else if (command == "status") {
                const relay::StreamServer& s = plugin.stream;
                reply("STATUS listeners %u drops %llu processed %llu error %u\n", s.listeners.load(),
                      static_cast<unsigned long long>(s.drops.load()),
                      static_cast<unsigned long long>(s.processedBlocks.load()), s.serverError.load());
            } else if (command == "params") {
                const relay::StreamServer& s = plugin.stream;
                reply("PARAMS broadcast %d level %.4f mono %d bypass %d\n", s.broadcast.load() ? 1 : 0,
                      static_cast<double>(s.sendLevelDb.load()), s.monoSend.load() ? 1 : 0,
                      s.disabled.load() ? 1 : 0);
            } else if (command.rfind("param ", 0) == 0) {
                unsigned id = 0;
                double value = 0.0;
                if (std::sscanf(command.c_str(), "param %u %lf", &id, &value) == 2)
                    plugin.setParamNormalized(id, value);
            }
        }
        if (inputEnded && o.seconds <= 0.0) quit = true;
        if (o.seconds > 0.0 && std::chrono::steady_clock::now() >= end) quit = true;
        if (running) {
            for (std::int32_t i = 0; i < o.blockFrames; ++i, ++frame)
                testSignal(o.signal, frame, o.sampleRate, buffers.in[0][static_cast<size_t>(i)],
                           buffers.in[1][static_cast<size_t>(i)]);
            Vst::ProcessData data = makeProcessData(buffers, o.blockFrames);
            plugin.process(data);
        }
        next += std::chrono::duration_cast<std::chrono::steady_clock::duration>(blockTime);
        // This runtime sleeps in whole milliseconds and returns at once from
        // less: blocks start up to about 1 ms early, in bursts when shorter
        // than that, and keep time on average.
        std::this_thread::sleep_until(next);
    }
    return running;
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

    Mailbox mailbox, editorMailbox;
    std::atomic<bool> inputEnded{false};
    std::thread reader([&] {
        std::string line;
        while (std::getline(std::cin, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            (o.editor && isEditorCommand(line) ? editorMailbox : mailbox).put(line);
        }
        inputEnded = true;
    });
    reader.detach();  // blocked in getline until stdin ends; the process exit ends it

    if (!o.editor) {
        const bool running = processLoop(*plugin, o, mailbox, inputEnded);
        if (running) plugin->terminate();
        plugin->release();
        return 0;
    }
    // The editor lives on this thread (the host's UI thread); the audio runs
    // on a thread of its own, as in a DAW.
    std::atomic<bool> audioDone{false};
    bool running = true;
    std::thread audio([&] {
        running = processLoop(*plugin, o, mailbox, inputEnded);
        audioDone = true;
    });
    {
        EditorHost host;
        const bool opened = host.open(plugin->createView("editor"));
        reply("EDITOR %s\n", opened ? "open" : "failed");
        std::string command;
        while (!audioDone) {
            EditorHost::pump(20);
            while (editorMailbox.take(command)) editorCommand(*plugin, host, command);
        }
    }
    audio.join();
    if (running) plugin->terminate();
    plugin->release();
    return 0;
}

}  // namespace testhost
