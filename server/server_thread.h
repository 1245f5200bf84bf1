// Timing and limits of the server thread's loop.
#pragma once

#include <atomic>
#include <cstdint>

namespace relay {

inline constexpr int kListenBacklog = 8;
inline constexpr long kAcceptPollUs = 2000;               // the loop's only wait
inline constexpr std::uint32_t kClientRecvTimeoutMs = 150;
inline constexpr std::uint32_t kClientSendTimeoutMs = 30;  // a stalled reader is dropped after this
inline constexpr int kMaxBlocksPerPass = 64;
inline constexpr std::int64_t kStaleBlockNs = 120'000'000;
inline constexpr std::int64_t kStatusPeriodNs = 500'000'000;

// A popped block older than 120 ms is a drop, not sent late; exactly 120 ms
// is still fresh.
inline bool isStaleBlock(std::int64_t nowNs, std::int64_t timestampNs) {
    return nowNs - timestampNs > kStaleBlockNs;
}

class StreamServer;

namespace testing {
// IPv4 address (network byte order) the listener binds to; 0 = all
// interfaces. Tests set an address that is not on the machine to make the
// bind fail for real.
extern std::atomic<std::uint32_t> bindAddressOverride;
// Called on the server thread at the start of every pass when set; tests
// use it to run a step there that throws or calls back into the host face.
extern std::atomic<void (*)(StreamServer&)> passHook;
}  // namespace testing

}  // namespace relay
