// The one monotonic clock of the system: block time stamps, server timers.
#pragma once

#include <cstdint>

namespace relay {

// Nanoseconds of the performance counter, the clock the C++ steady clock
// reads on Windows, from the same epoch. Safe on the audio thread: no lock,
// no allocation, one counter read.
std::int64_t steadyNowNs() noexcept;

}  // namespace relay
