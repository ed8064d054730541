// How often the monitor probes: the interval on power and the slower one
// that holds while a slow-rate reason does (battery, power saver, metered).
// Its rules live here once: the choices the settings page offers and their
// labels, the defaults the preferences register, the bounds the application
// holds a stored value to, and which of the two a reason selects. The probe
// engine clamps to its own hard bounds as well, which these lie within.
// A value type of pure rules; used on the main thread.
#pragma once

#include <QString>
#include <array>
#include <optional>

#include "nerivane/core/SlowRateReason.h"

namespace nerivane {

struct ProbingInterval {
    // Registered for keys the user never wrote, and taken for a stored value
    // that cannot be an interval at all.
    static constexpr double defaultSeconds = 1.0;
    static constexpr double defaultBatterySeconds = 5.0;
    // A stored interval is taken as read, but a tiny one would make the
    // engine fire without pause and flood the network.
    static constexpr double shortestSeconds = 0.1;
    // The engine cannot run a slower timer.
    static constexpr double longestSeconds = 3600.0;
    // What the settings page offers, on power and on battery.
    static constexpr std::array<double, 4> choices{0.5, 1, 2, 5};
    static constexpr std::array<double, 4> batteryChoices{1, 2, 5, 10};

    double seconds = defaultSeconds;
    double batterySeconds = defaultBatterySeconds;

    // The stored values as the monitor may use them: one that is not a
    // finite positive number counts as its default, one below the floor as
    // the floor.
    static ProbingInterval fromStored(double seconds, double batterySeconds);

    // The battery interval with any reason, the other without; an hour at most.
    double forReason(std::optional<SlowRateReason> reason) const;

    // "½s" below one second, else whole seconds and "s" (2.7 gives "2s").
    static QString label(double seconds);

    bool operator==(const ProbingInterval&) const = default;
};

}  // namespace nerivane
