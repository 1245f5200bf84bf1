// The one monotonic clock of the system: block time stamps, server timers.
#pragma once

#include <cstdint>

namespace relay {

// Nanoseconds of the performance counter, the clock the C++ steady clock
// reads on Windows, from the same epoch. Safe on the audio thread: no lock,
// no allocation, one counter read.
std::int64_t steadyNowNs() noexcept;

// The counter's rate, with the multiplier that converts in one step where
// a tick is a whole number of nanoseconds (10 MHz on current Windows).
struct CounterRate {
    std::int64_t ticksPerSecond;
    std::int64_t nsPerTick;  // 0 when a tick is not a whole number of ns
};

CounterRate counterRate(std::int64_t ticksPerSecond) noexcept;

// Counter ticks (not negative) as nanoseconds, rounded down, without
// overflow for any tick count whose nanoseconds fit 63 bits.
std::int64_t counterTicksToNs(std::int64_t ticks, CounterRate rate) noexcept;

}  // namespace relay
