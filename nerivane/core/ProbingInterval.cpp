#include "nerivane/core/ProbingInterval.h"

#include <algorithm>
#include <cmath>

namespace nerivane {
namespace {

double usable(double stored, double fallback) {
    if (!std::isfinite(stored) || stored <= 0) return fallback;
    return std::max(stored, ProbingInterval::shortestSeconds);
}

}  // namespace

ProbingInterval ProbingInterval::fromStored(double seconds, double batterySeconds) {
    return {usable(seconds, defaultSeconds), usable(batterySeconds, defaultBatterySeconds)};
}

double ProbingInterval::forReason(std::optional<SlowRateReason> reason) const {
    return std::min(reason ? batterySeconds : seconds, longestSeconds);
}

QString ProbingInterval::label(double seconds) {
    // NaN counts as below one second rather than printing "nan".
    if (!(seconds >= 1)) return QStringLiteral("½s");
    return QString::number(std::trunc(seconds), 'f', 0) + QLatin1Char('s');
}

}  // namespace nerivane
