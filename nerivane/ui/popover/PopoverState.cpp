#include "nerivane/ui/popover/PopoverState.h"

#include "nerivane/core/Preferences.h"

namespace nerivane {

void PopoverState::setShowingSettings(bool value) {
    if (showingSettings_ == value) return;
    showingSettings_ = value;
    emit showingSettingsChanged();
}

void PopoverState::setChartRange(ChartRange value) {
    if (chartRange_ == value) return;
    chartRange_ = value;
    emit chartRangeChanged();
}

void PopoverState::setChartTarget(ChartTarget value) {
    if (chartTarget_ == value) return;
    chartTarget_ = value;
    emit chartTargetChanged();
}

void PopoverState::setShowingFirstRun(bool value) {
    if (showingFirstRun_ == value) return;
    showingFirstRun_ = value;
    emit showingFirstRunChanged();
}

void PopoverState::dismissFirstRun(Preferences& preferences) {
    setShowingFirstRun(false);
    preferences.setDidShowFirstRun(true);
}

bool PopoverState::handleClosed(double secondsOpen, Preferences& preferences) {
    if (!showingFirstRun_ || secondsOpen < firstRunReadSeconds) return false;
    dismissFirstRun(preferences);
    return true;
}

}  // namespace nerivane
