// The two clocks as injectable functions, so that the engine, the monitor and
// the history service can be driven step by step in tests with a fake clock.
#pragma once

#include <cstdint>
#include <functional>

namespace nerivane {

struct ClockSource {
    // Ticks that stop during sleep (MachClock::now on the real system).
    std::function<std::uint64_t()> monotonic;
    // Ticks that run through sleep (MachClock::continuousNow on the real system).
    std::function<std::uint64_t()> continuous;

    static ClockSource system();
};

}  // namespace nerivane
