#include "server/clock.h"

#include <windows.h>

namespace relay {

namespace {

constexpr std::int64_t kNsPerSecond = 1'000'000'000;

// The counter's rate never changes while the system runs: read it once, at
// load. Where it divides a second evenly (10 MHz on current Windows) a tick
// is a whole number of nanoseconds and one multiply converts.
struct CounterRate {
    std::int64_t ticksPerSecond;
    std::int64_t nsPerTick;  // 0 when a tick is not a whole number of ns
};

CounterRate readCounterRate() noexcept {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);  // never fails on XP and later
    const std::int64_t hz = f.QuadPart > 0 ? f.QuadPart : 1;
    return {hz, kNsPerSecond % hz == 0 ? kNsPerSecond / hz : 0};
}

const CounterRate kRate = readCounterRate();

}  // namespace

std::int64_t steadyNowNs() noexcept {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    const std::int64_t ticks = now.QuadPart;
    if (kRate.nsPerTick != 0) return ticks * kRate.nsPerTick;
    // Seconds and the remainder apart, so the product cannot overflow.
    return ticks / kRate.ticksPerSecond * kNsPerSecond +
           ticks % kRate.ticksPerSecond * kNsPerSecond / kRate.ticksPerSecond;
}

}  // namespace relay
