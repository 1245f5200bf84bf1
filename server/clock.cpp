#include "server/clock.h"

#include <windows.h>

namespace relay {

namespace {

constexpr std::int64_t kNsPerSecond = 1'000'000'000;

CounterRate readCounterRate() noexcept {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);  // never fails on XP and later
    return counterRate(f.QuadPart);
}

// The counter's rate never changes while the system runs: read once, at
// load. Zero until then, for a caller that runs before this module's start-up.
CounterRate loadedRate = readCounterRate();

}  // namespace

CounterRate counterRate(std::int64_t ticksPerSecond) noexcept {
    const std::int64_t hz = ticksPerSecond > 0 ? ticksPerSecond : 1;
    return {hz, kNsPerSecond % hz == 0 ? kNsPerSecond / hz : 0};
}

std::int64_t counterTicksToNs(std::int64_t ticks, CounterRate rate) noexcept {
    if (rate.nsPerTick != 0) return ticks * rate.nsPerTick;
    // Seconds and the remainder apart, so the product cannot overflow.
    return ticks / rate.ticksPerSecond * kNsPerSecond +
           ticks % rate.ticksPerSecond * kNsPerSecond / rate.ticksPerSecond;
}

std::int64_t steadyNowNs() noexcept {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    const CounterRate rate = loadedRate.ticksPerSecond != 0 ? loadedRate : readCounterRate();
    return counterTicksToNs(now.QuadPart, rate);
}

}  // namespace relay
