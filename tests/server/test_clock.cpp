// The time-stamp clock: the producer stamps blocks with it and the server
// thread tests their age against it, so it must be the steady clock, in
// nanoseconds, and never step back.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>

#include "server/clock.h"

namespace relay {
namespace {

std::int64_t libraryNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

TEST(Clock, ReadsTheSteadyClockInNanoseconds) {
    for (int i = 0; i < 100; ++i) {
        const std::int64_t before = libraryNowNs();
        const std::int64_t ours = steadyNowNs();
        const std::int64_t after = libraryNowNs();
        // Both come from one counter: ours lies between the two readings,
        // give or take the conversions' rounding (well below a microsecond).
        ASSERT_GE(ours, before - 1000) << i;
        ASSERT_LE(ours, after + 1000) << i;
    }
}

TEST(Clock, NeverStepsBack) {
    std::int64_t last = steadyNowNs();
    for (int i = 0; i < 100000; ++i) {
        const std::int64_t now = steadyNowNs();
        ASSERT_GE(now, last) << i;
        last = now;
    }
}

}  // namespace
}  // namespace relay
