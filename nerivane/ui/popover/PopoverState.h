// What the popup remembers between openings: whether the settings page
// replaces the cards, the history chart's range and target, and whether the
// first-run card is shown. Owned by the status item controller, which lives
// as long as the tray item; the popup views read and change it. Main thread.
#pragma once

#include <QObject>

#include "NerivaneKit/history/ChartRange.h"
#include "nerivane/ui/history/ChartTarget.h"

namespace nerivane {

class Preferences;

class PopoverState : public QObject {
    Q_OBJECT

public:
    // A first-run card open at least this long has been read: closing the
    // popup then counts as "Got it". A shorter glance leaves it pending.
    static constexpr double firstRunReadSeconds = 3.0;

    explicit PopoverState(QObject* parent = nullptr) : QObject(parent) {}

    bool showingSettings() const { return showingSettings_; }
    ChartRange chartRange() const { return chartRange_; }
    ChartTarget chartTarget() const { return chartTarget_; }
    bool showingFirstRun() const { return showingFirstRun_; }

    void setShowingSettings(bool value);
    void setChartRange(ChartRange value);
    void setChartTarget(ChartTarget value);
    void setShowingFirstRun(bool value);

    // "Got it": the card goes and is never shown again.
    void dismissFirstRun(Preferences& preferences);
    // The popup has closed after being open for secondsOpen: a first-run card
    // shown long enough is dismissed. Returns whether it was.
    bool handleClosed(double secondsOpen, Preferences& preferences);

signals:
    void showingSettingsChanged();
    void chartRangeChanged();
    void chartTargetChanged();
    void showingFirstRunChanged();

private:
    bool showingSettings_ = false;
    ChartRange chartRange_ = ChartRange::hour;
    ChartTarget chartTarget_ = ChartTarget::internet;
    bool showingFirstRun_ = false;
};

}  // namespace nerivane
