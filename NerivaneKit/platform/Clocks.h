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

// The engine's and the monitor's times compare as the doubles they are. The
// standard library's candidates would resolve to its three-way comparison,
// whose check for unordered values costs the hot loops (the window's pruning,
// classing a flight by load) a tenth of their time. Found by argument-
// dependent lookup, and preferred as functions that are not templates.
#define NERIVANE_COMPARE_AS_DOUBLES(Time, op)                              \
    constexpr bool operator op(Time a, Time b) {                           \
        return a.time_since_epoch().count() op b.time_since_epoch().count(); \
    }
NERIVANE_COMPARE_AS_DOUBLES(EngineTime, <)
NERIVANE_COMPARE_AS_DOUBLES(EngineTime, <=)
NERIVANE_COMPARE_AS_DOUBLES(EngineTime, >)
NERIVANE_COMPARE_AS_DOUBLES(EngineTime, >=)
NERIVANE_COMPARE_AS_DOUBLES(MonitorTime, <)
NERIVANE_COMPARE_AS_DOUBLES(MonitorTime, <=)
NERIVANE_COMPARE_AS_DOUBLES(MonitorTime, >)
NERIVANE_COMPARE_AS_DOUBLES(MonitorTime, >=)
#undef NERIVANE_COMPARE_AS_DOUBLES

// Unix seconds, as history stores them and the JSON writes them.
constexpr double unixSeconds(Date date) { return date.time_since_epoch().count(); }
constexpr Date dateFromUnixSeconds(double seconds) { return Date{Seconds{seconds}}; }

}  // namespace nerivane
