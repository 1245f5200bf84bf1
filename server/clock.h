// The one monotonic clock of the system: block time stamps, server timers.
#pragma once

#include <chrono>
#include <cstdint>

namespace relay {

// Nanoseconds of the steady clock; safe on the audio thread (no lock, no
// allocation; on Windows it reads the performance counter).
inline std::int64_t steadyNowNs() noexcept {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace relay
