// The server thread's steps driven in-process: start and stop, the stale test,
// the drain cap, the send gate and what listeners receive. Listeners are real
// loopback sockets: either accepted here and handed to the steps directly, or
// Winsock clients of a running server.
#include "server/stream_server.h"

#include <gtest/gtest.h>

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
// clang-format on

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "server/clock.h"
#include "server/net.h"
#include "server/server_thread.h"
#include "support/failing_allocator.h"
#include "support/plugin_support.h"

namespace relay {
namespace {

using namespace std::chrono_literals;
using relay::test::waitUntil;

constexpr std::int64_t kMs = 1'000'000;
constexpr char kConfig48k[] = R"({"type":"config","sampleRate":48000,"channels":2,"format":"float32"})";
constexpr char kConfig44k[] = R"({"type":"config","sampleRate":44100,"channels":2,"format":"float32"})";

// A block whose left samples count up from `marker` and right ones down, so
// every frame on the wire can be traced back to its block.
AudioBlock markedBlock(float marker, std::int64_t timestampNs, bool active = true,
                       std::uint32_t rate = kDefaultSampleRate, std::uint32_t frames = kBlockFrames) {
    AudioBlock b;
    b.sampleRate = rate;
    b.frameCount = frames;
    b.active = active;
    b.timestampNs = timestampNs;
    for (std::uint32_t i = 0; i < frames; ++i) {
        b.samples[2 * i] = marker + static_cast<float>(i);
        b.samples[2 * i + 1] = -marker - static_cast<float>(i);
    }
    return b;
}

// A loud 1 kHz sine: the analysis must see it well above the -90 dB floor.
AudioBlock sineBlock(std::uint64_t firstFrame, std::int64_t timestampNs) {
    AudioBlock b;
    b.frameCount = kBlockFrames;
    b.active = true;
    b.timestampNs = timestampNs;
    for (std::uint32_t i = 0; i < kBlockFrames; ++i) {
        const double t = static_cast<double>(firstFrame + i) / kDefaultSampleRate;
        b.samples[2 * i] = b.samples[2 * i + 1] = static_cast<float>(0.5 * std::sin(2.0 * 3.141592653589793 * 1000.0 * t));
    }
    return b;
}

std::string pcmBytes(const AudioBlock& b) {
    return std::string(reinterpret_cast<const char*>(b.samples.data()), b.frameCount * 8);
}

struct Frame {
    int opcode = -1;
    std::string payload;
};

// The reading end of one listener connection: raw bytes in, server frames out.
class Peer {
public:
    explicit Peer(UniqueSocket s) : socket_(std::move(s)) {}

    SOCKET raw() const { return static_cast<SOCKET>(socket_.get()); }

    // Up to `timeoutMs` for more bytes; false on timeout, end of stream or error.
    bool fill(DWORD timeoutMs) {
        if (!waitReadable(socket_.get(), static_cast<long>(timeoutMs) * 1000)) return false;
        char chunk[8192];
        const int n = recv(raw(), chunk, sizeof(chunk), 0);
        if (n <= 0) {
            ended_ = true;
            return false;
        }
        buffer_.append(chunk, static_cast<std::size_t>(n));
        return true;
    }

    // The head of an HTTP reply, up to and including the empty line.
    std::string replyHead(DWORD timeoutMs = 3000) {
        while (buffer_.find("\r\n\r\n") == std::string::npos)
            if (!fill(timeoutMs)) return {};
        const std::size_t end = buffer_.find("\r\n\r\n") + 4;
        std::string head = buffer_.substr(0, end);
        buffer_.erase(0, end);
        return head;
    }

    // The next whole server frame within the timeout (per wait for bytes).
    std::optional<Frame> frame(DWORD timeoutMs = 2000) {
        for (;;) {
            if (buffer_.size() >= 2) {
                const auto b0 = static_cast<std::uint8_t>(buffer_[0]);
                const auto b1 = static_cast<std::uint8_t>(buffer_[1]);
                std::size_t header = 2, n = b1 & 0x7F;
                if (n == 126 && buffer_.size() >= 4) {
                    n = (static_cast<std::uint8_t>(buffer_[2]) << 8) | static_cast<std::uint8_t>(buffer_[3]);
                    header = 4;
                }
                if ((b1 & 0x7F) != 126 || buffer_.size() >= 4) {
                    if (buffer_.size() >= header + n) {
                        Frame f{b0 & 0x0F, buffer_.substr(header, n)};
                        EXPECT_EQ(b0 & 0xF0, 0x80) << "FIN alone";
                        EXPECT_EQ(b1 & 0x80, 0) << "server frames are never masked";
                        buffer_.erase(0, header + n);
                        return f;
                    }
                }
            }
            if (!fill(timeoutMs)) return std::nullopt;
        }
    }

    // The next frame of an opcode, skipping status text frames.
    std::optional<Frame> nextNonStatus(DWORD timeoutMs = 2000) {
        for (int i = 0; i < 100; ++i) {
            std::optional<Frame> f = frame(timeoutMs);
            if (!f || f->payload.rfind(R"({"type":"status")", 0) != 0) return f;
        }
        return std::nullopt;
    }

    // True when the server closed the connection: bytes already sent may come
    // first, but never a close frame.
    bool closedWithoutCloseFrame(DWORD timeoutMs = 2000) {
        for (int i = 0; i < 10000; ++i) {
            std::optional<Frame> f = frame(timeoutMs);
            if (!f) return ended_;
            if (f->opcode == 8) return false;
        }
        return false;
    }

    bool ended() const { return ended_; }

private:
    UniqueSocket socket_;
    std::string buffer_;
    bool ended_ = false;
};

UniqueSocket tcpSocket() { return UniqueSocket(static_cast<SocketHandle>(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP))); }

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

UniqueSocket connectTo(std::uint16_t port) {
    UniqueSocket s = tcpSocket();
    sockaddr_in to = loopback(port);
    if (connect(static_cast<SOCKET>(s.get()), reinterpret_cast<sockaddr*>(&to), sizeof(to)) != 0) return {};
    return s;
}

// A connected loopback pair: `server` becomes a listener record's socket,
// `peer` reads what the steps send to it.
struct SocketPair {
    SocketHandle server = kInvalidSocket;  // owned by the record it goes into
    Peer peer{UniqueSocket{}};
};

SocketPair makePair() {
    UniqueSocket acceptor = tcpSocket();
    sockaddr_in at = loopback(0);
    bind(static_cast<SOCKET>(acceptor.get()), reinterpret_cast<sockaddr*>(&at), sizeof(at));
    listen(static_cast<SOCKET>(acceptor.get()), 1);
    int length = sizeof(at);
    getsockname(static_cast<SOCKET>(acceptor.get()), reinterpret_cast<sockaddr*>(&at), &length);
    UniqueSocket peer = connectTo(ntohs(at.sin_port));
    SocketPair pair;
    pair.server = static_cast<SocketHandle>(accept(static_cast<SOCKET>(acceptor.get()), nullptr, nullptr));
    pair.peer = Peer(std::move(peer));
    return pair;
}

// Resets the connection from the peer's side, so the server's next send fails.
void resetFromPeer(Peer& peer) {
    linger hard{1, 0};
    setsockopt(peer.raw(), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof(hard));
    peer = Peer(UniqueSocket{});
}

std::string upgradeRequest(const std::string& key) {
    return "GET /ws?key=" + key +
           " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
}

bool anyBandAbove(const StreamServer& s, float db) {
    return std::any_of(s.spectrumDb.begin(), s.spectrumDb.end(), [&](const auto& c) { return c.load() > db; });
}

// A stream state that is not running: the test thread plays the server
// thread and calls its steps directly.
class ServerSteps : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(winsock.ok());
        server.broadcast = true;
        server.active = true;
    }
    void TearDown() override {
        for (ClientConnection& c : clients) closeSocket(c.socket);
    }
    // Appends a listener record on a fresh pair; returns the reading end.
    Peer& addListener() {
        SocketPair pair = makePair();
        clients.push_back(ClientConnection{pair.server, 0, {}});
        peers.push_back(std::make_unique<Peer>(std::move(pair.peer)));
        server.listeners = static_cast<std::uint32_t>(clients.size());
        return *peers.back();
    }
    void push(const AudioBlock& b) { ASSERT_TRUE(server.ring.push(b)); }

    WinsockSession winsock;
    StreamServer server;
    std::vector<ClientConnection> clients;
    std::vector<std::unique_ptr<Peer>> peers;
};

// --- stale blocks ------------------------------------------------------------

TEST(StaleBlock, ExactlyOneHundredTwentyMillisecondsIsStillFresh) {
    const std::int64_t now = steadyNowNs();
    EXPECT_FALSE(isStaleBlock(now, now));
    EXPECT_FALSE(isStaleBlock(now, now - 120 * kMs));
    EXPECT_TRUE(isStaleBlock(now, now - 120 * kMs - 1));
    EXPECT_FALSE(isStaleBlock(now, now + 5 * kMs));  // stamped after the pop's clock read
    EXPECT_TRUE(isStaleBlock(now, now - 3'600'000 * kMs));
}

TEST_F(ServerSteps, StaleBlocksAreDropsAndNeitherAnalysedNorSent) {
    Peer& peer = addListener();
    const std::int64_t now = steadyNowNs();
    push(markedBlock(1000.0f, now - 125 * kMs));  // already past the limit
    push(markedBlock(2000.0f, now - 60 * kMs));  // old, but 60 ms short of the limit
    push(markedBlock(3000.0f, now - 10'000 * kMs));
    push(markedBlock(4000.0f, now + 1000 * kMs));
    EXPECT_EQ(server.drainRing(clients), 4);
    EXPECT_EQ(server.drops.load(), 2u);
    EXPECT_EQ(server.analysisFill, 2u * kBlockFrames);

    EXPECT_EQ(peer.frame()->payload, kConfig48k);
    EXPECT_EQ(peer.frame()->payload, pcmBytes(markedBlock(2000.0f, 0)));
    EXPECT_EQ(peer.frame()->payload, pcmBytes(markedBlock(4000.0f, 0)));
    EXPECT_FALSE(peer.frame(50).has_value());
}

TEST(StaleBlockThread, OldBlocksLeftInTheRingAreDroppedFreshOnesAnalysed) {
    StreamServer server;
    const std::int64_t now = steadyNowNs();
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(server.ring.push(markedBlock(1.0f, now - 500 * kMs)));
    // Stamped ahead so that a slow thread start cannot age them past the limit.
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(server.ring.push(markedBlock(1.0f, now + 10'000 * kMs)));
    server.start();
    ASSERT_TRUE(waitUntil([&] { return server.ring.size() == 0; }));
    server.stop();  // the join makes the thread's analysis state visible here
    EXPECT_EQ(server.drops.load(), 5u);
    EXPECT_EQ(server.analysisFill, 3u * kBlockFrames);
}

// --- the drain -----------------------------------------------------------------

TEST_F(ServerSteps, TenWaitingAreTakenInOneCall) {
    for (int i = 0; i < 10; ++i) push(markedBlock(0.0f, steadyNowNs()));
    EXPECT_EQ(server.drainRing(clients), 10);
    EXPECT_EQ(server.drainRing(clients), 0);
    EXPECT_EQ(server.drops.load(), 0u);
}

TEST_F(ServerSteps, AtMostSixtyFourPerCallWhileAProducerKeepsPushing) {
    constexpr int kBlocks = 4000;
    // Stamped ahead: only the cap may end a drain here, never staleness.
    const std::int64_t stamp = steadyNowNs() + 60'000 * kMs;
    std::atomic<int> pushed{0};
    std::atomic<bool> done{false};
    // Pushes until told to stop: on a busy machine the producer may run
    // during a drain only now and then, so the test goes on until it has.
    std::thread producer([&] {
        for (int i = 0; !done.load();) {
            if (server.ring.push(markedBlock(static_cast<float>(i), stamp))) ++i, ++pushed;
            else std::this_thread::yield();
        }
    });
    int taken = 0, calls = 0, fullCalls = 0, cappedWithMoreWaiting = 0, most = 0;
    const auto end = std::chrono::steady_clock::now() + 20s;
    while ((taken < kBlocks || cappedWithMoreWaiting == 0) && std::chrono::steady_clock::now() < end) {
        // Let the ring fill up, so the drain meets more than it may take.
        waitUntil([&] { return server.ring.size() == kRingSlots; }, 100ms);
        const int n = server.drainRing(clients);
        most = std::max(most, n);
        fullCalls += n == kMaxBlocksPerPass;
        cappedWithMoreWaiting += n == kMaxBlocksPerPass && server.ring.size() > 0;
        taken += n;
        ++calls;
    }
    done.store(true);
    producer.join();
    while (const int n = server.drainRing(clients)) taken += n;
    EXPECT_EQ(taken, pushed.load());
    EXPECT_GE(taken, kBlocks);
    EXPECT_LE(most, kMaxBlocksPerPass);
    EXPECT_GT(fullCalls, 0);
    EXPECT_GT(cappedWithMoreWaiting, 0) << "no call stopped at 64 with blocks still waiting";
    EXPECT_EQ(server.drops.load(), 0u);
    std::printf("[   info   ] %d calls, %d took 64, %d of them left blocks waiting\n", calls, fullCalls,
                cappedWithMoreWaiting);
}

// --- the send gate ---------------------------------------------------------------

TEST_F(ServerSteps, WithoutListenersBlocksAreStillAnalysed) {
    const float floor = server.spectrumDb[0].load();
    EXPECT_EQ(floor, kSpectrumFloorDb);
    for (std::uint64_t i = 0; i < 4; ++i) push(sineBlock(i * kBlockFrames, steadyNowNs()));
    EXPECT_EQ(server.drainRing(clients), 4);
    EXPECT_EQ(server.analysisFill, 0u) << "four blocks complete one window";
    EXPECT_TRUE(anyBandAbove(server, -20.0f));
    EXPECT_EQ(server.drops.load(), 0u);
}

TEST_F(ServerSteps, OpenGateSendsConfigOnceThenEachBlockBitForBit) {
    Peer& a = addListener();
    Peer& b = addListener();
    const AudioBlock first = markedBlock(10.0f, steadyNowNs());
    const AudioBlock second = markedBlock(20.0f, steadyNowNs(), true, kDefaultSampleRate, 15);
    push(first);
    push(second);
    EXPECT_EQ(server.drainRing(clients), 2);
    for (Peer* p : {&a, &b}) {
        std::optional<Frame> f = p->frame();
        ASSERT_TRUE(f.has_value());
        EXPECT_EQ(f->opcode, 1);
        EXPECT_EQ(f->payload, kConfig48k);
        f = p->frame();
        EXPECT_EQ(f->opcode, 2);
        EXPECT_EQ(f->payload, pcmBytes(first));
        f = p->frame();
        EXPECT_EQ(f->opcode, 2);
        EXPECT_EQ(f->payload, pcmBytes(second));
        EXPECT_EQ(f->payload.size(), 120u);
    }
    EXPECT_EQ(clients[0].announcedRate, 48000u);
    EXPECT_EQ(clients[1].announcedRate, 48000u);
}

TEST_F(ServerSteps, RateChangeAnnouncesTheNewRateBeforeItsFirstBlock) {
    Peer& peer = addListener();
    push(markedBlock(1.0f, steadyNowNs()));
    push(markedBlock(2.0f, steadyNowNs(), true, 44100));
    push(markedBlock(3.0f, steadyNowNs(), true, 44100));
    EXPECT_EQ(server.drainRing(clients), 3);
    EXPECT_EQ(peer.frame()->payload, kConfig48k);
    EXPECT_EQ(peer.frame()->opcode, 2);
    EXPECT_EQ(peer.frame()->payload, kConfig44k);
    EXPECT_EQ(peer.frame()->payload, pcmBytes(markedBlock(2.0f, 0, true, 44100)));
    EXPECT_EQ(peer.frame()->payload, pcmBytes(markedBlock(3.0f, 0, true, 44100)));
    EXPECT_FALSE(peer.frame(50).has_value());
    EXPECT_EQ(clients[0].announcedRate, 44100u);
}

// Each switch alone closes the gate: the block is consumed and analysed, and
// the next block through the open gate is the first thing the listener sees.
TEST_F(ServerSteps, EachClosedSwitchConsumesAndAnalysesButSendsNothing) {
    struct Case {
        const char* name;
        bool blockActive, broadcast, disabled, processing;
    };
    constexpr Case cases[] = {
        // name                  block  broadcast disabled processing
        {"block not active",      false, true,     false,   true},
        {"streaming off",         true,  false,    false,   true},
        {"bypassed",              true,  true,     true,    true},
        {"host not processing",   true,  true,     false,   false},
    };
    Peer& peer = addListener();
    float marker = 100.0f;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        server.broadcast = c.broadcast;
        server.disabled = c.disabled;
        server.active = c.processing;
        const std::uint64_t fill = server.analysisFill;
        push(markedBlock(marker, steadyNowNs(), c.blockActive));
        EXPECT_EQ(server.drainRing(clients), 1);
        EXPECT_EQ(server.analysisFill, (fill + kBlockFrames) % kAnalysisWindow);
        EXPECT_FALSE(peer.frame(50).has_value());

        server.broadcast = true;
        server.disabled = false;
        server.active = true;
        push(markedBlock(marker + 1.0f, steadyNowNs()));
        EXPECT_EQ(server.drainRing(clients), 1);
        std::optional<Frame> f = peer.nextNonStatus();
        if (f && f->opcode == 1) f = peer.frame();  // the first open block brings the config
        ASSERT_TRUE(f.has_value());
        EXPECT_EQ(f->payload, pcmBytes(markedBlock(marker + 1.0f, 0)));
        marker += 1000.0f;
    }
    EXPECT_EQ(clients.size(), 1u);
    EXPECT_EQ(server.drops.load(), 0u);
}

TEST_F(ServerSteps, FailedListenersAreDroppedAndTheNextOneStillGetsTheBlock) {
    Peer& first = addListener();
    Peer& second = addListener();
    Peer& third = addListener();
    const SocketHandle survivor = clients[2].socket;
    resetFromPeer(first);
    resetFromPeer(second);
    // A reset makes the server's end readable; wait for both before sending.
    ASSERT_TRUE(waitUntil([&] {
        return waitReadable(clients[0].socket, 0) && waitReadable(clients[1].socket, 0);
    }));
    push(markedBlock(7.0f, steadyNowNs()));
    EXPECT_EQ(server.drainRing(clients), 1);
    ASSERT_EQ(clients.size(), 1u);
    EXPECT_EQ(clients[0].socket, survivor);
    EXPECT_EQ(server.listeners.load(), 1u);
    EXPECT_EQ(third.frame()->payload, kConfig48k);
    EXPECT_EQ(third.frame()->payload, pcmBytes(markedBlock(7.0f, 0)));
}

// --- status broadcast and listener servicing ----------------------------------------

TEST_F(ServerSteps, StatusGoesOutOnlyAfterMoreThanHalfASecond) {
    Peer& peer = addListener();
    std::int64_t lastStatus = steadyNowNs() - 450 * kMs;
    server.broadcastStatusIfDue(clients, lastStatus);
    EXPECT_FALSE(peer.frame(50).has_value());

    lastStatus = steadyNowNs() - 501 * kMs;
    const std::int64_t before = steadyNowNs();
    server.broadcastStatusIfDue(clients, lastStatus);
    EXPECT_GE(lastStatus, before);
    std::optional<Frame> f = peer.frame();
    ASSERT_TRUE(f.has_value());
    EXPECT_EQ(f->opcode, 1);
    EXPECT_EQ(f->payload, server.buildStatusJson());
    EXPECT_NE(f->payload.find(R"("listeners":1,)"), std::string::npos);
}

TEST_F(ServerSteps, ListenerThatHungUpIsDroppedOthersKeepTheirOrder) {
    addListener();
    Peer& gone = addListener();
    addListener();
    const SocketHandle firstSocket = clients[0].socket, lastSocket = clients[2].socket;
    gone = Peer(UniqueSocket{});  // closes the peer's end
    ASSERT_TRUE(waitUntil([&] { return waitReadable(clients[1].socket, 0); }));
    server.serviceListeners(clients);
    ASSERT_EQ(clients.size(), 2u);
    EXPECT_EQ(clients[0].socket, firstSocket);
    EXPECT_EQ(clients[1].socket, lastSocket);
    EXPECT_EQ(server.listeners.load(), 2u);
}

// --- the running thread ---------------------------------------------------------------

TEST(ServerThreadRun, StopRequestedBeforeTheFirstPassEndsAtOnce) {
    WinsockSession winsock;
    StreamServer server;
    server.stopRequested = true;
    server.listeners = 7;  // must come back as 0 from the shut-down
    ASSERT_TRUE(server.ring.push(markedBlock(1.0f, steadyNowNs() + 10'000 * kMs)));
    auto done = std::async(std::launch::async, [&] { server.run(); });
    ASSERT_EQ(done.wait_for(3s), std::future_status::ready);
    EXPECT_EQ(server.listeners.load(), 0u);
    EXPECT_EQ(server.serverError.load(), 0u);
    EXPECT_NE(server.port.load(), 0u) << "the listening socket was opened";
    EXPECT_EQ(server.ring.size(), 1u) << "no pass ran";
    EXPECT_EQ(server.drops.load(), 0u);
    EXPECT_FALSE(connectTo(static_cast<std::uint16_t>(server.port.load())).valid())
        << "the listening socket is closed";
}

TEST(ServerThreadRun, ListenerGetsStatusConfigAndPcmAndStopClosesItWithinAPass) {
    WinsockSession winsock;
    StreamServer server;
    server.broadcast = true;
    server.active = true;
    server.start();
    ASSERT_TRUE(waitUntil([&] { return server.port.load() != 0; }));
    Peer peer(connectTo(static_cast<std::uint16_t>(server.port.load())));
    const std::string request = upgradeRequest(server.sessionKey);
    ASSERT_TRUE(sendAll(static_cast<SocketHandle>(peer.raw()), request.data(), request.size()));
    EXPECT_EQ(peer.replyHead().size(), 129u);
    std::optional<Frame> status = peer.frame();
    ASSERT_TRUE(status.has_value());
    EXPECT_NE(status->payload.find(R"("listeners":0,)"), std::string::npos) << status->payload;
    ASSERT_TRUE(waitUntil([&] { return server.listeners.load() == 1; }));

    const AudioBlock block = markedBlock(42.0f, steadyNowNs() + 10'000 * kMs);
    ASSERT_TRUE(server.ring.push(block));
    EXPECT_EQ(peer.nextNonStatus()->payload, kConfig48k);
    EXPECT_EQ(peer.nextNonStatus()->payload, pcmBytes(block));

    auto stopped = std::async(std::launch::async, [&] { server.stop(); });
    ASSERT_EQ(stopped.wait_for(2s), std::future_status::ready) << "stop did not join";
    EXPECT_EQ(server.listeners.load(), 0u);
    EXPECT_EQ(server.port.load(), 0u);
    EXPECT_TRUE(peer.closedWithoutCloseFrame());
}

// --- failures inside the running thread --------------------------------------------

// Arms testing::passHook for one test.
struct PassHook {
    explicit PassHook(void (*hook)(StreamServer&)) { testing::passHook.store(hook); }
    ~PassHook() { testing::passHook.store(nullptr); }
    PassHook(const PassHook&) = delete;
    PassHook& operator=(const PassHook&) = delete;
};

// A running server with one upgraded listener connected to it.
struct ServingWithListener {
    WinsockSession winsock;
    StreamServer server;
    std::uint16_t port = 0;
    Peer peer{UniqueSocket{}};

    void begin() {
        server.start();
        ASSERT_TRUE(waitUntil([&] { return server.port.load() != 0; }));
        port = static_cast<std::uint16_t>(server.port.load());
        peer = Peer(connectTo(port));
        const std::string request = upgradeRequest(server.sessionKey);
        ASSERT_TRUE(sendAll(static_cast<SocketHandle>(peer.raw()), request.data(), request.size()));
        ASSERT_EQ(peer.replyHead().size(), 129u);
        ASSERT_TRUE(waitUntil([&] { return server.listeners.load() == 1; }));
    }
    // What a fault must leave: the code, no listener, every socket closed.
    void expectEndedByFault() {
        ASSERT_TRUE(waitUntil([&] { return server.serverError.load() != 0; }));
        EXPECT_EQ(server.serverError.load(), kServerErrorFault);
        EXPECT_EQ(server.listeners.load(), 0u);
        EXPECT_EQ(server.port.load(), 0u) << "a port nothing listens on is not offered";
        EXPECT_TRUE(peer.closedWithoutCloseFrame()) << "the listener's socket is closed";
        EXPECT_FALSE(connectTo(port).valid()) << "the listening socket is closed";
    }
    // A restart serves again on a new socket; the code stays for the object's life.
    void expectRestartServes() {
        server.stop();
        server.start();
        ASSERT_TRUE(waitUntil([&] { return server.port.load() != 0; }));
        EXPECT_TRUE(test::acceptsConnection(server.port.load()));
        EXPECT_EQ(server.serverError.load(), kServerErrorFault);
        server.stop();
    }
};

TEST(ServerThreadFault, OutOfMemoryOnTheThreadEndsItWithItsCodeAndClosesEverySocket) {
    ServingWithListener s;
    ASSERT_NO_FATAL_FAILURE(s.begin());
    // The status message due within half a second can no longer be built.
    test::failAllocationsOn(s.server.thread.get_id());
    ASSERT_TRUE(waitUntil([&] { return s.server.serverError.load() != 0; }));
    test::stopFailingAllocations();
    s.expectEndedByFault();
    s.expectRestartServes();
}

TEST(ServerThreadFault, OutOfMemoryAnywhereInAnUpgradeEndsTheThreadCleanly) {
    // Reading the request, the accept value, the reply, the status frame,
    // the new record: whichever allocation fails first, the end is the same.
    for (long allowed : {0L, 1L, 2L, 3L, 4L, 6L, 8L, 12L}) {
        SCOPED_TRACE(allowed);
        WinsockSession winsock;
        StreamServer server;
        server.start();
        ASSERT_TRUE(waitUntil([&] { return server.port.load() != 0; }));
        const auto port = static_cast<std::uint16_t>(server.port.load());
        Peer peer(connectTo(port));
        const std::string request = upgradeRequest(server.sessionKey);
        test::failAllocationsOn(server.thread.get_id(), allowed);
        ASSERT_TRUE(sendAll(static_cast<SocketHandle>(peer.raw()), request.data(), request.size()));
        ASSERT_TRUE(waitUntil([&] { return server.serverError.load() != 0; }));
        test::stopFailingAllocations();
        EXPECT_EQ(server.serverError.load(), kServerErrorFault);
        EXPECT_EQ(server.listeners.load(), 0u);
        EXPECT_EQ(server.port.load(), 0u);
        EXPECT_FALSE(connectTo(port).valid()) << "the listening socket is closed";
        // It may have got part of an upgrade before the failure; then it ends.
        for (int reads = 0; reads < 100 && peer.fill(2000); ++reads) {
        }
        EXPECT_TRUE(peer.ended()) << "the connection being served is closed";
    }
}

TEST(ServerThreadFault, AnyThrownValueIsCaughtOnTheThread) {
    PassHook hook([](StreamServer&) { throw 42; });
    ServingWithListener s;
    s.server.start();
    ASSERT_TRUE(waitUntil([&] { return s.server.port.load() != 0 || s.server.serverError.load() != 0; }));
    ASSERT_TRUE(waitUntil([&] { return s.server.serverError.load() != 0; }));
    EXPECT_EQ(s.server.serverError.load(), kServerErrorFault);
    EXPECT_EQ(s.server.listeners.load(), 0u);
    EXPECT_EQ(s.server.port.load(), 0u);
    testing::passHook.store(nullptr);
    s.expectRestartServes();
}

}  // namespace
}  // namespace relay
