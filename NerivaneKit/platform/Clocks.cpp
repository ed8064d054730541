#include "NerivaneKit/platform/Clocks.h"

#include "NerivaneKit/platform/MachClock.h"

namespace nerivane {

MonotonicClock::time_point MonotonicClock::now() noexcept {
    return MachClock::now();
}

ContinuousClock::time_point ContinuousClock::now() noexcept {
    return MachClock::continuousNow();
}

}  // namespace nerivane
