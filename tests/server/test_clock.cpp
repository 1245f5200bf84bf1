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

TEST(Clock, TicksBecomeNanosecondsExactlyAtEveryCounterRate) {
    const std::int64_t day = 86'400;
    for (const std::int64_t hz : {10'000'000LL, 24'000'000LL, 3'579'545LL, 1'000'000'000LL}) {
        const CounterRate rate = counterRate(hz);
        EXPECT_EQ(rate.ticksPerSecond, hz);
        for (const std::int64_t seconds : {1LL, 30 * day, 365 * day}) {
            for (const std::int64_t extra : {0LL, 1LL, hz - 1}) {
                const std::int64_t ticks = seconds * hz + extra;
                const auto exact = static_cast<std::int64_t>(static_cast<__int128>(ticks) * 1'000'000'000 / hz);
                EXPECT_EQ(counterTicksToNs(ticks, rate), exact) << hz << " Hz, " << ticks << " ticks";
            }
        }
    }
    EXPECT_EQ(counterRate(0).ticksPerSecond, 1) << "a rate never divides by zero";
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
