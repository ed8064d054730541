// The probe clocks as the kernel keeps them. All probe times are ticks of the
// monotonic clock, which stops while the machine sleeps; the continuous clock
// keeps counting through sleep. On Linux a tick is one nanosecond (timebase
// 1/1). Pure functions, callable from any thread.
#pragma once

#include <chrono>

#include "NerivaneKit/platform/Clocks.h"

namespace nerivane::MachClock {

// CLOCK_MONOTONIC.
Ticks now();
// CLOCK_BOOTTIME: runs on through suspend.
ContinuousClock::time_point continuousNow();
// CLOCK_REALTIME, for converting kernel receive timestamps.
std::chrono::sys_time<std::chrono::nanoseconds> realtimeNow();

// From tick a to tick b; 0 when b is not later than a.
Milliseconds milliseconds(Ticks a, Ticks b);
// Ticks for a duration. A negative or oversized duration is a programming
// error.
std::chrono::nanoseconds ticks(Seconds seconds);

}  // namespace nerivane::MachClock
