// Latency from a block's time stamp to its arrival at loopback listeners, for
// 1 and for 8 listeners. Prints figures only; a slow machine is not a failure.
//
// Method: a StreamServer runs in this process with streaming and processing
// on. A producer thread pushes 256-frame blocks straight into the ring, paced
// in real time at 48 kHz (one every 5.333 ms), each stamped with
// relay::steadyNowNs() just before the push, as the audio thread stamps a
// block when it begins it. The stamp's 8 bytes also ride in the block's first
// two samples, which reach the listener bit for bit. Each listener is a
// Winsock client on its own thread: it does the handshake, reads frames, and
// for every PCM frame takes relay::steadyNowNs() once the whole frame has
// arrived, minus the stamp in its payload. Percentiles are over every frame
// of every listener in a run; each configuration is run several times and the
// run with the median p99 is printed next to the others.
//
// Baseline, in the same run: the producer thread itself sends each stamped
// frame to the same kind of listeners over plain accepted sockets, with no
// ring and no server loop in between. What the server adds is the difference;
// the rest is the cost of loopback sockets under this platform.
//
// Ring wait, for the server runs: a watcher thread polls the ring's read
// index every 0.2 ms and notes when each block left the ring; minus the push
// time this is how long the server loop let the block wait, the part of the
// latency that comes before any socket call.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "server/clock.h"
#include "server/net.h"
#include "server/stream_server.h"

namespace {

using namespace std::chrono_literals;

constexpr int kRuns = 3;
constexpr auto kWarmUp = 500ms;
constexpr auto kMeasure = 3s;
constexpr double kBlockSeconds = static_cast<double>(relay::kBlockFrames) / relay::kDefaultSampleRate;

struct Figures {
    double p50Ms = 0, p99Ms = 0, maxMs = 0;
    double ringP50Ms = 0, ringP99Ms = 0, ringMaxMs = 0;
    std::size_t frames = 0;
    std::uint64_t drops = 0;
};

// One listener: handshake, then every PCM frame's latency while `measuring`.
class Listener {
public:
    Listener(std::uint16_t port, const std::string& key) {
        socket_.reset(static_cast<relay::SocketHandle>(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)));
        const SOCKET s = raw();
        const int one = 1;
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof(one));
        const DWORD timeoutMs = 200;  // lets the reader see the stop flag
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs), sizeof(timeoutMs));
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(s, reinterpret_cast<sockaddr*>(&to), sizeof(to)) != 0) return;
        const std::string request = "GET /ws?key=" + key +
                                    " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                                    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
        connected_ = relay::sendAll(socket_.get(), request.data(), request.size());
    }

    void start(std::atomic<bool>& stop, std::atomic<bool>& measuring) {
        thread_ = std::thread([this, &stop, &measuring] { read(stop, measuring); });
    }
    void join() {
        if (thread_.joinable()) thread_.join();
    }
    const std::vector<std::int64_t>& latencies() const { return latencies_; }
    bool connected() const { return connected_; }

private:
    SOCKET raw() const { return static_cast<SOCKET>(socket_.get()); }

    void read(std::atomic<bool>& stop, std::atomic<bool>& measuring) {
        std::string buffer;
        bool headDone = false;
        char chunk[16384];
        while (!stop.load()) {
            const int n = recv(raw(), chunk, sizeof(chunk), 0);
            const std::int64_t arrived = relay::steadyNowNs();
            if (n == 0) return;
            if (n < 0) {
                if (WSAGetLastError() == WSAETIMEDOUT) continue;  // look at the stop flag
                return;
            }
            buffer.append(chunk, static_cast<std::size_t>(n));
            if (!headDone) {
                const std::size_t end = buffer.find("\r\n\r\n");
                if (end == std::string::npos) continue;
                buffer.erase(0, end + 4);
                headDone = true;
            }
            consumeFrames(buffer, arrived, measuring.load());
        }
    }

    void consumeFrames(std::string& buffer, std::int64_t arrived, bool measuring) {
        std::size_t at = 0;
        for (;;) {
            if (buffer.size() - at < 2) break;
            const auto b0 = static_cast<std::uint8_t>(buffer[at]);
            std::size_t length = static_cast<std::uint8_t>(buffer[at + 1]) & 0x7F, header = 2;
            if (length == 126) {
                if (buffer.size() - at < 4) break;
                length = (static_cast<std::uint8_t>(buffer[at + 2]) << 8) | static_cast<std::uint8_t>(buffer[at + 3]);
                header = 4;
            }
            if (buffer.size() - at < header + length) break;
            if ((b0 & 0x0F) == 2 && length >= 8 && measuring) {
                std::int64_t stamp = 0;
                std::memcpy(&stamp, buffer.data() + at + header, sizeof(stamp));
                latencies_.push_back(arrived - stamp);
            }
            at += header + length;
        }
        buffer.erase(0, at);
    }

    relay::UniqueSocket socket_;
    std::thread thread_;
    std::vector<std::int64_t> latencies_;
    bool connected_ = false;
};

// The baseline's sending side: accepts the listeners, answers their request
// heads, then sends every stamped block to each of them from the producer.
class DirectSender {
public:
    explicit DirectSender(int count) : count_(count) {
        acceptor_.reset(static_cast<relay::SocketHandle>(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)));
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const SOCKET a = static_cast<SOCKET>(acceptor_.get());
        bind(a, reinterpret_cast<sockaddr*>(&at), sizeof(at));
        listen(a, relay::kMaxListeners);
        int length = sizeof(at);
        getsockname(a, reinterpret_cast<sockaddr*>(&at), &length);
        port_ = ntohs(at.sin_port);
    }
    std::uint16_t port() const { return port_; }

    // Accepts `count` listeners and answers each request head.
    void acceptAll() {
        for (int i = 0; i < count_; ++i) {
            relay::UniqueSocket s(static_cast<relay::SocketHandle>(accept(static_cast<SOCKET>(acceptor_.get()), nullptr, nullptr)));
            const int one = 1;
            setsockopt(static_cast<SOCKET>(s.get()), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof(one));
            std::string head;
            char c;
            while (head.find("\r\n\r\n") == std::string::npos && recv(static_cast<SOCKET>(s.get()), &c, 1, 0) == 1)
                head += c;
            static constexpr char kReply[] = "HTTP/1.1 101 Switching Protocols\r\n\r\n";
            relay::sendAll(s.get(), kReply, sizeof(kReply) - 1);
            sockets_.push_back(std::move(s));
        }
    }

    // The same frame the server would write: 0x82 0x7E, 16-bit length, PCM.
    void send(const relay::AudioBlock& block) {
        const std::size_t size = block.frameCount * 8;
        const std::uint8_t header[4] = {0x82, 126, static_cast<std::uint8_t>(size >> 8), static_cast<std::uint8_t>(size & 0xFF)};
        for (auto& s : sockets_) relay::sendAll(s.get(), header, 4) && relay::sendAll(s.get(), block.samples.data(), size);
    }

private:
    int count_;
    relay::UniqueSocket acceptor_;
    std::uint16_t port_ = 0;
    std::vector<relay::UniqueSocket> sockets_;
};

// Push and pop times of every block by ring index (see "Ring wait" above).
class RingWatch {
public:
    static constexpr std::size_t kMaxBlocks = 4096;  // > (warm-up + measure) / 5.33 ms

    explicit RingWatch(const relay::AudioRing& ring) : ring_(ring), pushed_(kMaxBlocks, 0), popped_(kMaxBlocks, 0) {}

    // Producer: called just before the push of the block with this index.
    void pushing(std::uint64_t index, std::int64_t stamp, bool measured) {
        if (index < kMaxBlocks) pushed_[index] = measured ? stamp : 0;
    }

    void watch(const std::atomic<bool>& stop) {
        std::uint64_t seen = ring_.readIndex.load(std::memory_order_acquire);
        while (!stop.load()) {
            const std::uint64_t r = ring_.readIndex.load(std::memory_order_acquire);
            const std::int64_t now = relay::steadyNowNs();
            for (; seen < r; ++seen)
                if (seen < kMaxBlocks) popped_[seen] = now;
            std::this_thread::sleep_for(200us);
        }
    }

    // Waits in the ring of the measured blocks, sorted (after both threads ended).
    std::vector<std::int64_t> waits() const {
        std::vector<std::int64_t> out;
        for (std::size_t i = 0; i < kMaxBlocks; ++i)
            if (pushed_[i] != 0 && popped_[i] != 0) out.push_back(popped_[i] - pushed_[i]);
        std::sort(out.begin(), out.end());
        return out;
    }

private:
    const relay::AudioRing& ring_;
    std::vector<std::int64_t> pushed_, popped_;
};

// Pushes stamped blocks at the real-time pace until `stop`: into the server's
// ring, or (baseline) straight to the sockets.
void produce(relay::StreamServer* server, DirectSender* direct, RingWatch& watch, const std::atomic<bool>& stop,
             const std::atomic<bool>& measuring) {
    relay::AudioBlock block;
    block.frameCount = relay::kBlockFrames;
    block.active = true;
    const auto period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(kBlockSeconds));
    auto next = std::chrono::steady_clock::now();
    while (!stop.load()) {
        block.timestampNs = relay::steadyNowNs();
        std::memcpy(block.samples.data(), &block.timestampNs, sizeof(block.timestampNs));
        if (server != nullptr) {
            watch.pushing(server->ring.writeIndex.load(std::memory_order_relaxed), block.timestampNs, measuring.load());
            if (!server->ring.push(block)) server->drops.fetch_add(1);
        }
        if (direct != nullptr) direct->send(block);
        next += period;
        std::this_thread::sleep_until(next);
    }
}

double percentileMs(std::vector<std::int64_t>& sorted, double share) {
    if (sorted.empty()) return 0.0;
    const std::size_t index = std::min(sorted.size() - 1, static_cast<std::size_t>(share * static_cast<double>(sorted.size())));
    return static_cast<double>(sorted[index]) / 1e6;
}

Figures summarise(const std::vector<std::unique_ptr<Listener>>& listeners) {
    std::vector<std::int64_t> all;
    for (auto& l : listeners) all.insert(all.end(), l->latencies().begin(), l->latencies().end());
    std::sort(all.begin(), all.end());
    Figures f;
    f.frames = all.size();
    f.p50Ms = percentileMs(all, 0.50);
    f.p99Ms = percentileMs(all, 0.99);
    f.maxMs = all.empty() ? 0.0 : static_cast<double>(all.back()) / 1e6;
    return f;
}

// One measured run through the server (direct == false) or the baseline.
Figures runOnce(int listenerCount, bool direct) {
    relay::StreamServer server;
    server.broadcast = true;
    server.active = true;
    std::unique_ptr<DirectSender> sender;
    std::uint16_t port = 0;
    if (direct) {
        sender = std::make_unique<DirectSender>(listenerCount);
        port = sender->port();
    } else {
        server.start();
        for (int i = 0; i < 2000 && server.port.load() == 0; ++i) std::this_thread::sleep_for(1ms);
        port = static_cast<std::uint16_t>(server.port.load());
    }

    std::atomic<bool> stop{false}, measuring{false};
    std::vector<std::unique_ptr<Listener>> listeners;
    for (int i = 0; i < listenerCount; ++i) {
        listeners.push_back(std::make_unique<Listener>(port, server.sessionKey));
        listeners.back()->start(stop, measuring);
    }
    if (direct) sender->acceptAll();
    for (int i = 0; !direct && i < 2000 && server.listeners.load() < static_cast<std::uint32_t>(listenerCount); ++i)
        std::this_thread::sleep_for(1ms);
    RingWatch watch(server.ring);
    std::thread watcher([&] { watch.watch(stop); });
    std::thread producer([&] { produce(direct ? nullptr : &server, sender.get(), watch, stop, measuring); });

    std::this_thread::sleep_for(kWarmUp);
    const std::uint64_t dropsBefore = server.drops.load();
    measuring = true;
    std::this_thread::sleep_for(kMeasure);
    measuring = false;
    const std::uint64_t drops = server.drops.load() - dropsBefore;
    stop = true;
    producer.join();
    watcher.join();
    server.stop();
    sender.reset();  // closes the baseline's sockets, ending its listeners
    for (auto& l : listeners) l->join();
    Figures f = summarise(listeners);
    f.drops = drops;
    std::vector<std::int64_t> waits = watch.waits();
    f.ringP50Ms = percentileMs(waits, 0.50);
    f.ringP99Ms = percentileMs(waits, 0.99);
    f.ringMaxMs = waits.empty() ? 0.0 : static_cast<double>(waits.back()) / 1e6;
    return f;
}

void report(int listenerCount, bool direct) {
    const char* what = direct ? "baseline" : "server  ";
    const char* plural = listenerCount == 1 ? " " : "s";
    std::vector<Figures> runs;
    for (int r = 0; r < kRuns; ++r) {
        runs.push_back(runOnce(listenerCount, direct));
        const Figures& f = runs.back();
        std::printf("  %s %d listener%s run %d: p50 %7.3f ms  p99 %7.3f ms  max %7.3f ms  (%zu frames, %llu drops)",
                    what, listenerCount, plural, r + 1, f.p50Ms, f.p99Ms, f.maxMs, f.frames,
                    static_cast<unsigned long long>(f.drops));
        if (direct) std::printf("\n");
        else std::printf("  ring wait p50 %.3f p99 %.3f max %.3f ms\n", f.ringP50Ms, f.ringP99Ms, f.ringMaxMs);
    }
    std::sort(runs.begin(), runs.end(), [](const Figures& a, const Figures& b) { return a.p99Ms < b.p99Ms; });
    const Figures& m = runs[kRuns / 2];
    std::printf("  %s %d listener%s median: p50 %7.3f ms  p99 %7.3f ms  max %7.3f ms%s\n", what, listenerCount,
                plural, m.p50Ms, m.p99Ms, m.maxMs, direct ? "" : "   (goal p99 <= 3 ms)");
}

}  // namespace

int main() {
    relay::WinsockSession winsock;
    if (!winsock.ok()) {
        std::printf("no Winsock\n");
        return 1;
    }
    std::printf("block-to-listener latency over loopback: 256-frame blocks at 48 kHz pushed in real time,\n"
                "stamped with the steady clock at push; latency = arrival of the whole PCM frame at the\n"
                "listener thread minus the stamp carried in its first 8 payload bytes; %d runs of %.1f s each\n",
                kRuns, std::chrono::duration<double>(kMeasure).count());
    for (const int count : {1, 8}) {
        report(count, false);
        report(count, true);
    }
    return 0;
}
