#include "NerivaneKit/platform/MachClock.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <limits>

namespace nerivane::MachClock {
namespace {

// Linux clocks already count nanoseconds, so the timebase is 1/1.
constexpr double timebaseNumerator = 1.0;
constexpr double timebaseDenominator = 1.0;

std::chrono::nanoseconds read(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

}  // namespace

Ticks now() { return Ticks{read(CLOCK_MONOTONIC)}; }
ContinuousClock::time_point continuousNow() { return ContinuousClock::time_point{read(CLOCK_BOOTTIME)}; }
std::chrono::sys_time<std::chrono::nanoseconds> realtimeNow() {
    return std::chrono::sys_time<std::chrono::nanoseconds>{read(CLOCK_REALTIME)};
}

Milliseconds milliseconds(Ticks a, Ticks b) {
    if (b <= a) return Milliseconds{0};
    return Milliseconds{timebaseNumerator * static_cast<double>((b - a).count()) / timebaseDenominator / 1'000'000.0};
}

std::chrono::nanoseconds ticks(Seconds seconds) {
    const double value = seconds.count() * 1'000'000'000.0 * timebaseDenominator / timebaseNumerator;
    // Checked in every build: converting an out-of-range double is undefined
    // and would quietly give a time-out of some arbitrary length. (The bound
    // is 2^63 exactly, so every value below it fits; NaN fails the test.)
    using Rep = std::chrono::nanoseconds::rep;
    if (!(value >= 0 && value < static_cast<double>(std::numeric_limits<Rep>::max()))) {
        std::fprintf(stderr, "MachClock::ticks: %g seconds does not fit in 64-bit ticks\n", seconds.count());
        std::abort();
    }
    return std::chrono::nanoseconds{static_cast<Rep>(value)};
}

}  // namespace nerivane::MachClock
