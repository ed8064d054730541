#include "NerivaneKit/platform/Clocks.h"

#include "NerivaneKit/platform/MachClock.h"

namespace nerivane {

MonotonicClock::time_point MonotonicClock::now() noexcept {
    return time_point{duration{static_cast<rep>(MachClock::now())}};
}

ContinuousClock::time_point ContinuousClock::now() noexcept {
    return time_point{duration{static_cast<rep>(MachClock::continuousNow())}};
}

}  // namespace nerivane
