// One point of a menu-bar trace: when a probe was sent and its round-trip
// time, absent for a lost probe. A plain value the application model keeps
// per target role on the main thread.
#pragma once

#include <optional>

namespace nerivane {

struct TraceSample {
    // Unix seconds (fractional) of the probe's send time.
    double sentAt = 0;
    // Milliseconds; none for a lost probe.
    std::optional<double> rtt;

    bool operator==(const TraceSample&) const = default;
};

}  // namespace nerivane
