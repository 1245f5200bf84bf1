// The stream state of one plug-in instance: everything that the host's audio
// thread, the server thread and the editor share, and the owner of the
// server thread. Shared values are atomics; audio travels through the ring.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "server/audio_ring.h"
#include "server/client_connection.h"

namespace relay {

inline constexpr std::size_t kSpectrumBands = 64;
inline constexpr std::size_t kAnalysisWindow = 1024;
inline constexpr float kSpectrumFloorDb = -90.0f;
inline constexpr std::uint32_t kMinStreamRate = 8000;    // Hz, inclusive
inline constexpr std::uint32_t kMaxStreamRate = 192000;  // Hz, inclusive

// Server failures, kept in serverError for the life of the object: the
// first three at start-up, the last when anything (an allocation failure
// while building a message or adding a listener, say) escaped the serving
// loop; the thread then closed its sockets and ended.
inline constexpr std::uint32_t kServerErrorStartup = 1;
inline constexpr std::uint32_t kServerErrorSocket = 2;
inline constexpr std::uint32_t kServerErrorBind = 3;
inline constexpr std::uint32_t kServerErrorFault = 4;

inline bool isStreamableRate(std::uint32_t rate) {
    return rate >= kMinStreamRate && rate <= kMaxStreamRate;
}

class StreamServer {
public:
    // Draws the session key and looks up the LAN address; opens no socket
    // and starts no thread. Throws std::runtime_error when no secure random
    // source is available.
    StreamServer();
    ~StreamServer();
    StreamServer(const StreamServer&) = delete;
    StreamServer& operator=(const StreamServer&) = delete;

    // Host threads: start the server thread unless one is held; stop asks it
    // to end, joins it and clears the port. Both throw std::system_error.
    void start();
    void stop();

    // Audio thread only (no locks, no allocation, no system call but the
    // clock): passes `in` through to `out`, then streams the gain-adjusted
    // copy into the ring in blocks of at most 256 frames.
    template <typename T>
    void processAudio(T** in, T** out, std::int32_t channels, std::int32_t frames, bool offline) noexcept;

    // "<lanAddress>:<port>" and "http://<hostPort>/?key=<sessionKey>",
    // computed afresh on every call (any thread). The forms taking a port
    // let a caller build several texts from one load of it.
    std::string hostPort() const { return hostPort(port.load()); }
    std::string pairingUrl() const { return pairingUrl(port.load()); }
    std::string hostPort(std::uint32_t boundPort) const;
    std::string pairingUrl(std::uint32_t boundPort) const;

    // The status message for the current values (server thread).
    std::string buildStatusJson() const;

    // Server thread: folds one fresh block into the analysis window and
    // publishes the 64 band levels when the window is full.
    void analyzeSpectrum(const AudioBlock& block);

    // Server thread body and its steps; see server_thread.cpp. run() lets
    // nothing escape: a failure inside serve() ends the thread with
    // kServerErrorFault.
    void run() noexcept;
    void serve();
    bool handleConnection(SocketHandle socket, std::vector<ClientConnection>& clients);
    bool upgradeToWebSocket(SocketHandle socket, const std::string& request,
                            std::vector<ClientConnection>& clients);
    void dropClient(std::vector<ClientConnection>& clients, std::size_t index);
    // One pass of the loop, step by step: accept and serve at most one
    // connection; service the listeners' frames; drain at most 64 blocks
    // (returns how many were popped); broadcast the status when due.
    void acceptOne(SocketHandle listener, std::vector<ClientConnection>& clients);
    void serviceListeners(std::vector<ClientConnection>& clients);
    int drainRing(std::vector<ClientConnection>& clients);
    void broadcastStatusIfDue(std::vector<ClientConnection>& clients, std::int64_t& lastStatus);
    // Config (when the listener's rate differs) and PCM to every listener,
    // dropping those whose send fails.
    void sendBlockToListeners(const AudioBlock& block, std::vector<ClientConnection>& clients);

    // 1-13: switches, levels and counters shared by the threads.
    std::atomic<bool> broadcast{false};
    std::atomic<bool> monoSend{false};
    std::atomic<bool> disabled{false};
    std::atomic<bool> active{false};
    std::atomic<float> sendLevelDb{0.0f};
    std::atomic<float> peakLeft{0.0f};
    std::atomic<float> peakRight{0.0f};
    std::atomic<std::uint32_t> sampleRate{kDefaultSampleRate};
    std::atomic<std::uint32_t> listeners{0};
    std::atomic<std::uint32_t> port{0};
    std::atomic<std::uint64_t> drops{0};
    std::atomic<std::uint64_t> processedBlocks{0};
    std::atomic<std::uint32_t> serverError{0};
    // 14: band levels in dB, written by the server thread only.
    std::array<std::atomic<float>, kSpectrumBands> spectrumDb{};
    // 15-17: written once by the constructor, read-only afterwards.
    std::string sessionKey;
    std::string lanAddress;
    bool preview = false;
    // 18-19: the audio road.
    AudioRing ring;
    float currentGain = 1.0f;  // audio thread only
    // 20-21: server-thread control.
    std::atomic<bool> stopRequested{false};
    std::thread thread;
    // 22-23: spectrum analysis state, server thread only.
    std::array<float, kAnalysisWindow> analysisWindow{};
    std::uint64_t analysisFill = 0;

private:
    // Audio thread only: where a block is built when it has no ring slot
    // (offline, or the ring full), and the smoother's target and step for
    // the level and rate they were computed from.
    struct SmootherCache {
        float levelDb = std::numeric_limits<float>::quiet_NaN();
        float target = 1.0f;
        std::uint32_t rate = 0;
        float step = 1.0f;
    };
    AudioBlock staging_;
    SmootherCache smoother_;
    AudioBlock drainBlock_;  // server thread: each pop copies a whole slot here
};

}  // namespace relay

#include "server/process_audio.h"
