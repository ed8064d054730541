// Why probing runs at the slower battery interval: on battery, in Low Power
// Mode, on a Low Data network or on an expensive (metered) one, in that order
// of priority. The rules here are pure; the application model applies them
// on the main thread whenever it needs the interval (ProbingInterval picks it).
#pragma once

#include <QString>
#include <optional>
#include <string>
#include <string_view>

#include "NerivaneKit/path/NetworkPath.h"

namespace nerivane {

enum class SlowRateReason { battery, lowPowerMode, lowDataMode, expensivePath };

// The case name, for log lines.
constexpr std::string_view text(SlowRateReason reason) {
    switch (reason) {
    case SlowRateReason::battery: return "battery";
    case SlowRateReason::lowPowerMode: return "lowPowerMode";
    case SlowRateReason::lowDataMode: return "lowDataMode";
    case SlowRateReason::expensivePath: return "expensivePath";
    }
    return "";
}

// The first reason that holds; none when probing may run at the normal interval.
std::optional<SlowRateReason> slowRateReason(bool onBattery, bool lowPowerMode, const NetworkPath& path);

// "interval 5.000000 s (battery)", or without the parenthesis when there is no reason.
std::string intervalLogLine(double interval, std::optional<SlowRateReason> reason);

// The hint under the battery interval choice in the settings.
QString settingsHint(std::optional<SlowRateReason> reason, double batteryInterval);

}  // namespace nerivane
