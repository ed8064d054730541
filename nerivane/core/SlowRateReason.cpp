#include "nerivane/core/SlowRateReason.h"

#include <QCoreApplication>

#include "NerivaneKit/platform/Log.h"
#include "nerivane/core/ProbingInterval.h"

namespace nerivane {

std::optional<SlowRateReason> slowRateReason(bool onBattery, bool lowPowerMode, const NetworkPath& path) {
    if (onBattery) return SlowRateReason::battery;
    if (lowPowerMode) return SlowRateReason::lowPowerMode;
    if (path.isConstrained) return SlowRateReason::lowDataMode;
    if (path.isExpensive) return SlowRateReason::expensivePath;
    return std::nullopt;
}

std::string intervalLogLine(double interval, std::optional<SlowRateReason> reason) {
    const std::string suffix = reason ? " (" + std::string(text(*reason)) + ")" : std::string();
    return Log::format("interval %f s%s", interval, suffix.c_str());
}

QString settingsHint(std::optional<SlowRateReason> reason, double batteryInterval) {
    const auto tr = [](const char* text) { return QCoreApplication::translate("SettingsHint", text); };
    const QString label = ProbingInterval::label(batteryInterval);
    if (!reason) {
        // Linux names: the power saver profile; metered networks (no low-data mode exists).
        return tr("The battery interval also applies with the power saver profile, and on metered networks.");
    }
    switch (*reason) {
    case SlowRateReason::battery: return tr("On battery now, so probing every %1.").arg(label);
    case SlowRateReason::lowPowerMode: return tr("The power saver profile is on, so probing every %1.").arg(label);
    case SlowRateReason::lowDataMode: return tr("This network is in Low Data Mode, so probing every %1.").arg(label);
    case SlowRateReason::expensivePath:
        return tr("This network is a hotspot or metered, so probing every %1.").arg(label);
    }
    return QString();
}

}  // namespace nerivane
