#include "server/stream_server.h"

#include <gtest/gtest.h>

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <pthread.h>
// clang-format on

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "server/clock.h"
#include "server/net.h"
#include "support/plugin_support.h"

namespace relay::testing {
// Address the server thread binds to (network byte order; 0 = all interfaces).
extern std::atomic<std::uint32_t> bindAddressOverride;
}  // namespace relay::testing

namespace relay {
namespace {

using namespace relay::test;

using namespace std::chrono_literals;



// True once the server thread has ended by itself (it stays joinable).
bool threadEnded(std::thread& t, DWORD waitMs) {
    auto* handle = static_cast<HANDLE>(pthread_gethandle(t.native_handle()));
    return handle != nullptr && WaitForSingleObject(handle, waitMs) == WAIT_OBJECT_0;
}

bool isLowerHex(const std::string& s) {
    return s.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// TEST-NET-3: an address that is on no interface of this machine, so bind fails.
std::uint32_t unreachableBindAddress() {
    in_addr a{};
    inet_pton(AF_INET, "203.0.113.7", &a);
    return a.s_addr;
}

class StreamState : public ::testing::Test {
protected:
    void TearDown() override { testing::bindAddressOverride.store(0); }
    WinsockSession winsock;  // for the test's own probing sockets
    std::unique_ptr<StreamServer> server = std::make_unique<StreamServer>();
};

// --- construction ------------------------------------------------------------

TEST_F(StreamState, FreshStateHoldsTheDocumentedValues) {
    const StreamServer& s = *server;
    EXPECT_EQ(s.sampleRate.load(), 48000u);
    EXPECT_EQ(s.currentGain, 1.0f);
    EXPECT_FALSE(s.broadcast.load());
    EXPECT_FALSE(s.monoSend.load());
    EXPECT_FALSE(s.disabled.load());
    EXPECT_FALSE(s.active.load());
    EXPECT_EQ(s.sendLevelDb.load(), 0.0f);
    EXPECT_EQ(s.peakLeft.load(), 0.0f);
    EXPECT_EQ(s.peakRight.load(), 0.0f);
    EXPECT_EQ(s.listeners.load(), 0u);
    EXPECT_EQ(s.port.load(), 0u);
    EXPECT_EQ(s.drops.load(), 0u);
    EXPECT_EQ(s.processedBlocks.load(), 0u);
    EXPECT_EQ(s.serverError.load(), 0u);
    for (std::size_t i = 0; i < s.spectrumDb.size(); ++i) EXPECT_EQ(s.spectrumDb[i].load(), -90.0f) << i;
    EXPECT_EQ(s.spectrumDb.size(), 64u);
    EXPECT_EQ(s.sessionKey.size(), 32u);
    EXPECT_TRUE(isLowerHex(s.sessionKey)) << s.sessionKey;
    EXPECT_FALSE(s.lanAddress.empty());
    EXPECT_FALSE(s.preview);
    EXPECT_FALSE(s.stopRequested.load());
    EXPECT_FALSE(s.thread.joinable());
    EXPECT_EQ(s.analysisFill, 0u);
    for (float v : s.analysisWindow) ASSERT_EQ(v, 0.0f);
    EXPECT_EQ(s.ring.size(), 0u);
    AudioBlock out;
    out.frameCount = 9;
    EXPECT_FALSE(server->ring.pop(out));
    EXPECT_EQ(out.frameCount, 9u);
}

TEST_F(StreamState, DestroyingANeverStartedStateIsClean) {
    server->stop();
    server.reset();
    auto other = std::make_unique<StreamServer>();
    other.reset();
    SUCCEED();
}

// --- start and stop ----------------------------------------------------------

TEST_F(StreamState, StartTwiceKeepsTheFirstThreadAndPort) {
    server->start();
    ASSERT_TRUE(waitUntil([&] { return server->port.load() != 0; }));
    const std::uint32_t port = server->port.load();
    const std::thread::id first = server->thread.get_id();
    EXPECT_TRUE(acceptsConnection(port));

    server->start();
    EXPECT_EQ(server->thread.get_id(), first);
    EXPECT_FALSE(server->stopRequested.load());
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(server->port.load(), port);
    EXPECT_TRUE(acceptsConnection(port));
    EXPECT_EQ(server->serverError.load(), 0u);
}

TEST_F(StreamState, StopTwiceOrWithoutStartIsHarmlessAndLeavesPortZero) {
    EXPECT_NO_THROW(server->stop());
    EXPECT_EQ(server->port.load(), 0u);
    EXPECT_FALSE(server->thread.joinable());

    server->start();
    ASSERT_TRUE(waitUntil([&] { return server->port.load() != 0; }));
    const std::uint32_t port = server->port.load();
    EXPECT_NO_THROW(server->stop());
    EXPECT_EQ(server->port.load(), 0u);
    EXPECT_FALSE(server->thread.joinable());
    EXPECT_EQ(server->listeners.load(), 0u);
    EXPECT_FALSE(acceptsConnection(port)) << "the listening socket outlived stop()";
    EXPECT_NO_THROW(server->stop());
    EXPECT_EQ(server->port.load(), 0u);
}

TEST_F(StreamState, RestartKeepsKeyAndAddressAndBindsAFreshPort) {
    const std::string key = server->sessionKey;
    const std::string lan = server->lanAddress;
    server->start();
    ASSERT_TRUE(waitUntil([&] { return server->port.load() != 0; }));
    const std::uint32_t firstPort = server->port.load();
    server->stop();
    ASSERT_EQ(server->port.load(), 0u);

    // What carries over a restart besides key and address.
    server->drops.store(7);
    server->processedBlocks.store(5);
    server->spectrumDb[3].store(-12.5f);

    server->start();
    ASSERT_TRUE(waitUntil([&] { return server->port.load() != 0; }));
    const std::uint32_t secondPort = server->port.load();
    EXPECT_NE(secondPort, 0u);
    EXPECT_LE(secondPort, 65535u);
    EXPECT_TRUE(acceptsConnection(secondPort));
    if (secondPort != firstPort) {
        EXPECT_FALSE(acceptsConnection(firstPort));
    }
    EXPECT_EQ(server->sessionKey, key);
    EXPECT_EQ(server->lanAddress, lan);
    EXPECT_EQ(server->hostPort(), lan + ":" + std::to_string(secondPort));
    EXPECT_EQ(server->drops.load(), 7u);
    EXPECT_EQ(server->processedBlocks.load(), 5u);
    EXPECT_EQ(server->spectrumDb[3].load(), -12.5f);
    EXPECT_EQ(server->serverError.load(), 0u);
}

TEST_F(StreamState, DestroyingARunningStateStopsItsServer) {
    server->start();
    ASSERT_TRUE(waitUntil([&] { return server->port.load() != 0; }));
    const std::uint32_t port = server->port.load();
    ASSERT_TRUE(acceptsConnection(port));
    server.reset();  // joins the thread; the listening socket is closed by then
    EXPECT_FALSE(acceptsConnection(port));
}

// Blocks queued while no server thread ran are drained by the next one; the
// ones already too old to play count as drops.
TEST_F(StreamState, NextServerThreadDrainsBlocksLeftInTheRing) {
    const std::int64_t now = steadyNowNs();
    for (int i = 0; i < 3; ++i) {
        AudioBlock stale;
        stale.timestampNs = now - 1'000'000'000;  // a second old
        ASSERT_TRUE(server->ring.push(stale));
    }
    for (int i = 0; i < 2; ++i) {
        AudioBlock fresh;
        fresh.timestampNs = now + 60'000'000'000;  // cannot turn stale during the test
        ASSERT_TRUE(server->ring.push(fresh));
    }
    server->start();
    EXPECT_TRUE(waitUntil([&] { return server->ring.size() == 0 && server->drops.load() == 3; }))
        << "ring " << server->ring.size() << ", drops " << server->drops.load();
    std::this_thread::sleep_for(10ms);
    EXPECT_EQ(server->drops.load(), 3u);
    EXPECT_EQ(server->processedBlocks.load(), 0u);
}

// --- failed start-up ---------------------------------------------------------

TEST_F(StreamState, BindFailureIsRecordedKeptAndNeverReset) {
    testing::bindAddressOverride.store(unreachableBindAddress());
    server->start();
    ASSERT_TRUE(waitUntil([&] { return server->serverError.load() != 0; }));
    EXPECT_EQ(server->serverError.load(), kServerErrorBind);
    EXPECT_EQ(server->serverError.load(), 3u);
    EXPECT_TRUE(threadEnded(server->thread, 3000)) << "the thread should end by itself";
    EXPECT_TRUE(server->thread.joinable());
    EXPECT_EQ(server->port.load(), 0u);
    EXPECT_FALSE(server->stopRequested.load());

    // Failed, not stopped: start does nothing, even with binding possible again.
    testing::bindAddressOverride.store(0);
    const std::thread::id failed = server->thread.get_id();
    server->start();
    EXPECT_EQ(server->thread.get_id(), failed);
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(server->port.load(), 0u);
    EXPECT_EQ(server->serverError.load(), 3u);

    // Stop, then start: a new thread binds, and the old code stays.
    server->stop();
    EXPECT_FALSE(server->thread.joinable());
    EXPECT_EQ(server->serverError.load(), 3u);
    server->start();
    ASSERT_TRUE(waitUntil([&] { return server->port.load() != 0; }));
    EXPECT_TRUE(acceptsConnection(server->port.load()));
    EXPECT_EQ(server->serverError.load(), 3u);
    server->stop();
    EXPECT_EQ(server->serverError.load(), 3u);
    EXPECT_EQ(server->port.load(), 0u);
}

}  // namespace
}  // namespace relay
