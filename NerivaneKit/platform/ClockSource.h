// The two clocks as injectable functions, so that the engine, the monitor and
// the history service can be driven step by step in tests with a fake clock.
#pragma once

#include <functional>

#include "NerivaneKit/platform/Clocks.h"

namespace nerivane {

struct ClockSource {
    // Stops during sleep (MachClock::now on the real system).
    std::function<Ticks()> monotonic;
    // Runs through sleep (MachClock::continuousNow on the real system).
    std::function<ContinuousClock::time_point()> continuous;

    static ClockSource system();
};

}  // namespace nerivane
