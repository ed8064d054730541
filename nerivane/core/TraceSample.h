// One point of a menu-bar trace: when a probe was sent and its round-trip
// time, absent for a lost probe. A plain value the application model keeps
// per target role on the main thread, with the floors of a trace's scale.
#pragma once

#include <optional>

namespace nerivane {

struct TraceSample {
    // Floors of a trace's vertical scale, in milliseconds, for the menu bar
    // and the cards alike: a router answers within a few, an internet host within tens.
    static constexpr double routerFloor = 2;
    static constexpr double internetFloor = 10;

    // Unix seconds (fractional) of the probe's send time.
    double sentAt = 0;
    // Milliseconds; none for a lost probe.
    std::optional<double> rtt;

    bool operator==(const TraceSample&) const = default;
};

}  // namespace nerivane
