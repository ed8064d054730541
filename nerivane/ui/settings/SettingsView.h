// The popup's settings page: menu bar, probing, targets, history,
// notifications and general sections. Every change is stored in the
// preferences at once (the model applies what it tracks); controls follow
// the preferences when they change elsewhere. Owned by the popup; main thread.
#pragma once

#include <QWidget>
#include <array>
#include <functional>
#include <optional>

#include "nerivane/core/LaunchAtLogin.h"
#include "nerivane/core/SlowRateReason.h"

class QCheckBox;
class QLabel;

namespace nerivane {

class AppModel;
class HostField;
class HostPicker;
class LaunchAtLoginSwitch;
class Preferences;
class SegmentedPicker;

class Updater;

class SettingsView : public QWidget {
    Q_OBJECT

public:
    // What the page shows of the model's state besides the preferences.
    struct Status {
        std::function<std::optional<SlowRateReason>()> slowRateReason;
        // The notification service refused (or none answered).
        std::function<bool()> notificationsDenied;
    };

    static const std::array<int, 3> retentionChoices;

    // The model's preferences and state; the user's autostart entry.
    explicit SettingsView(AppModel& model, QWidget* parent = nullptr);
    SettingsView(Preferences& preferences, Status status, LaunchAtLogin login, QWidget* parent = nullptr);

    // Adds the "UPDATES" section bound to an enabled update checker, which
    // outlives the view.
    void showUpdates(Updater& updater);

    // Re-reads the slow-rate reason and the notification refusal.
    void refreshStatus();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void build(LaunchAtLogin login);
    void bind();
    // Puts every control in line with the preferences, without storing anything.
    void syncFromPreferences();
    void commitCustomHosts();

    Preferences& preferences_;
    Status status_;

    SegmentedPicker* menuBarTarget_ = nullptr;
    SegmentedPicker* displayStyle_ = nullptr;
    SegmentedPicker* interval_ = nullptr;
    SegmentedPicker* batteryInterval_ = nullptr;
    QCheckBox* trayLabel_ = nullptr;
    QCheckBox* probeIPv6_ = nullptr;
    QCheckBox* keepMonitoringWhileLocked_ = nullptr;
    QLabel* rateHint_ = nullptr;
    HostPicker* primaryHost_ = nullptr;
    HostPicker* secondaryHost_ = nullptr;
    std::array<HostField*, 2> customHosts_{};
    SegmentedPicker* retention_ = nullptr;
    QCheckBox* notifyOutages_ = nullptr;
    QCheckBox* notifyVerdictChanges_ = nullptr;
    QLabel* notificationsWarning_ = nullptr;
    SegmentedPicker* accent_ = nullptr;
    LaunchAtLoginSwitch* launchAtLogin_ = nullptr;
};

}  // namespace nerivane
