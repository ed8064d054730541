// The probe clocks. All probe times are ticks of the monotonic clock, which
// stops while the machine sleeps; the continuous clock keeps counting through
// sleep. On Linux a tick is one nanosecond (timebase 1/1).
#pragma once

#include <cstdint>

namespace nerivane::MachClock {

// CLOCK_MONOTONIC in nanoseconds.
std::uint64_t now();
// CLOCK_BOOTTIME in nanoseconds: runs on through suspend.
std::uint64_t continuousNow();
// CLOCK_REALTIME in nanoseconds, for converting kernel receive timestamps.
std::uint64_t realtimeNow();

// Milliseconds from tick a to tick b; 0 when b is not later than a.
double milliseconds(std::uint64_t a, std::uint64_t b);
// Ticks for a duration in seconds. A negative or oversized duration is a
// programming error.
std::uint64_t ticks(double seconds);

}  // namespace nerivane::MachClock
