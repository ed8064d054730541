#include "NerivaneKit/platform/MachClock.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <limits>

namespace nerivane::MachClock {
namespace {

// Linux clocks already count nanoseconds, so the timebase is 1/1.
constexpr double timebaseNumerator = 1.0;
constexpr double timebaseDenominator = 1.0;

std::uint64_t read(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000ull + static_cast<std::uint64_t>(ts.tv_nsec);
}

}  // namespace

std::uint64_t now() { return read(CLOCK_MONOTONIC); }
std::uint64_t continuousNow() { return read(CLOCK_BOOTTIME); }
std::uint64_t realtimeNow() { return read(CLOCK_REALTIME); }

double milliseconds(std::uint64_t a, std::uint64_t b) {
    if (b <= a) return 0;
    return timebaseNumerator * static_cast<double>(b - a) / timebaseDenominator / 1'000'000.0;
}

std::uint64_t ticks(double seconds) {
    const double value = seconds * 1'000'000'000.0 * timebaseDenominator / timebaseNumerator;
    // Checked in every build: converting an out-of-range double is undefined
    // and would quietly give a time-out of some arbitrary length. (The bound
    // is 2^64 exactly, so every value below it fits; NaN fails the test.)
    if (!(value >= 0 && value < static_cast<double>(std::numeric_limits<std::uint64_t>::max()))) {
        std::fprintf(stderr, "MachClock::ticks: %g seconds does not fit in 64-bit ticks\n", seconds);
        std::abort();
    }
    return static_cast<std::uint64_t>(value);
}

}  // namespace nerivane::MachClock
