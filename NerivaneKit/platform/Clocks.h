// The monitor's clocks as types, so that a time of one clock cannot be passed
// where another is meant, and a duration cannot be passed as a time:
//   Ticks        probe send and receive moments, CLOCK_MONOTONIC nanoseconds
//                (stops while the machine sleeps);
//   EngineTime   the probe engine's schedule, seconds of the same clock;
//   MonitorTime  the monitor's time, seconds of CLOCK_BOOTTIME (runs on
//                through suspend, so an outage spans a sleep);
//   Date         wall-clock dates, Unix seconds: only what leaves the core
//                (history, events, the JSON) carries one.
// Seconds and milliseconds are doubles, as the figures always were.
#pragma once

#include <chrono>
#include <cstdint>

namespace nerivane {

using Seconds = std::chrono::duration<double>;
using Milliseconds = std::chrono::duration<double, std::milli>;

struct MonotonicClock {
    using duration = std::chrono::nanoseconds;
    using rep = duration::rep;
    using period = duration::period;
    using time_point = std::chrono::time_point<MonotonicClock>;
    static constexpr bool is_steady = true;
    static time_point now() noexcept;
};

struct ContinuousClock {
    using duration = std::chrono::nanoseconds;
    using rep = duration::rep;
    using period = duration::period;
    using time_point = std::chrono::time_point<ContinuousClock>;
    static constexpr bool is_steady = true;
    static time_point now() noexcept;
};

using Ticks = MonotonicClock::time_point;
using EngineTime = std::chrono::time_point<MonotonicClock, Seconds>;
using MonitorTime = std::chrono::time_point<ContinuousClock, Seconds>;
using Date = std::chrono::sys_time<Seconds>;

// Unix seconds, as history stores them and the JSON writes them.
constexpr double unixSeconds(Date date) { return date.time_since_epoch().count(); }
constexpr Date dateFromUnixSeconds(double seconds) { return Date{Seconds{seconds}}; }

}  // namespace nerivane
