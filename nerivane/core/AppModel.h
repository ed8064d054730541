// The application's orchestrator and the single source of state for its
// front ends: decides when a monitor runs (not before start, not while the
// user's pause is in force, not while the screen counts as locked), sets its
// interval, keeps the trace buffers, recent events, offline time, local
// address and Wi-Fi details, feeds history, and turns alerts into
// notifications. One instance, owned by the application; main thread only.
//
// Monitor updates arrive on the monitor's probe queue. There the history
// hand-off and the building of trace samples happen; the rest is posted to
// the main thread as a queued call that carries the generation of the
// monitor it came from. Every start and stop of a monitor moves the
// generation on, so updates still queued from an old monitor are dropped.
//
// Invariants:
//   a monitor runs only while started, not paused, and not stopped by the lock
//   pausedUntil is present exactly while paused (and resumeTimer is armed);
//     the pause ends at the first check at or after pausedUntil by the wall
//     clock: each resumeTimer expiry (at most pauseCheckSeconds apart) and
//     each wake from sleep, since the timer does not run while the machine sleeps
//   each trace buffer is sorted by send time and holds at least its 28 most
//     recent samples and everything sent in the last 60 s
//   recentEvents holds at most 10 events, oldest first
#pragma once

#include <QObject>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "NerivaneKit/analysis/AlertTracker.h"
#include "NerivaneKit/analysis/Incident.h"
#include "NerivaneKit/analysis/Monitor.h"
#include "NerivaneKit/analysis/MonitorControl.h"
#include "NerivaneKit/analysis/MonitorSnapshot.h"
#include "NerivaneKit/analysis/NetworkEvent.h"
#include "NerivaneKit/analysis/ProbeRecord.h"
#include "NerivaneKit/history/History.h"
#include "NerivaneKit/platform/Log.h"
#include "NerivaneKit/probing/TargetRole.h"
#include "NerivaneKit/probing/TargetSettings.h"
#include "nerivane/core/ConnectivityWatch.h"
#include "nerivane/core/Notifier.h"
#include "nerivane/core/Preferences.h"
#include "nerivane/core/SystemState.h"
#include "nerivane/core/TraceSample.h"
#include "nerivane/core/WiFiInfo.h"

namespace nerivane {

class SerialQueue;

class AppModel : public QObject {
    Q_OBJECT

public:
    static constexpr int recentEventLimit = 10;
    // A trace buffer keeps at least this many samples...
    static constexpr std::size_t traceSampleCount = 28;
    // ...and every sample sent within this many seconds.
    static constexpr double traceSeconds = 60;
    static constexpr double pauseSeconds = 3600;
    // A pause's end is looked at least this often.
    static constexpr double pauseCheckSeconds = 30;
    // Wi-Fi details are read at most this often while they are shown.
    static constexpr double wifiReadSeconds = 4.5;
    // Busy stretches kept to tell what a spike happened during.
    static constexpr std::size_t busySpanLimit = 32;

    using MonitorFactory = std::function<std::unique_ptr<MonitorControl>(
        const TargetSettings& settings, const LookupSettings& lookups, Seconds interval, Monitor::UpdateHandler onUpdate)>;

    // Everything the model takes from its surroundings. Empty members mean
    // the real thing: the process environment, the wall clock, a probing
    // Monitor, History on a file, the machine's buses, nl80211 and getifaddrs.
    struct Environment {
        // An environment variable; none when unset.
        std::function<std::optional<std::string>(const char* name)> variable;
        // Unix seconds now.
        std::function<double()> now;
        MonitorFactory makeMonitor;
        // Opens the history database at the path, dated by `now`; throws when
        // it cannot.
        std::function<std::unique_ptr<History>(const std::string& path)> openHistory;
        std::function<std::unique_ptr<SystemState>()> makeSystemState;
        std::function<std::unique_ptr<Notifier>()> makeNotifier;
        std::function<std::unique_ptr<ConnectivityWatch>()> makeConnectivityWatch;
        std::function<std::optional<std::string>(const std::string& interfaceName)> localAddress;
        // Called off the main thread.
        std::function<std::optional<WiFiInfo>(const std::string& interfaceName)> readWiFi;
        // Called on history's queue.
        std::function<std::optional<int>(const std::string& interfaceName)> readSignal;
        Log log = Log("app");
    };

    explicit AppModel(Preferences& preferences, QObject* parent = nullptr);
    AppModel(Preferences& preferences, Environment environment, QObject* parent = nullptr);
    // Stops a running monitor first, so no update reaches a model being
    // destroyed, then history, whose timer reads the Wi-Fi state through it.
    ~AppModel() override;
    AppModel(const AppModel&) = delete;
    AppModel& operator=(const AppModel&) = delete;

    // After launch: starts history's timer with the preferred retention,
    // marks the model started, applies the preferences and begins tracking
    // them. A second call does nothing.
    void start();
    void applyPreferences();
    // A second pause while paused does nothing; resume without a pause neither.
    void pauseForOneHour();
    void resume();
    void setDetailsVisible(bool visible);
    // At termination: stops a running monitor for good (nothing restarts it).
    void stopMonitoring();
    // The welcome's default: outage notifications on when a notification
    // service answers, before the welcome was ever dismissed. Once a run, so
    // the user's own choice in the welcome stands.
    void offerOutageNotifications();

    // The round-trip times of the role's last 28 samples, oldest first, none
    // for a lost probe; empty when the role has no buffer.
    std::vector<std::optional<double>> traceValues(const TargetRole& role) const;

    // The target settings the monitor is given: the preferences', with the
    // internet hosts replaced by NERIVANE_HOSTS when that is set.
    TargetSettings targetSettings() const;

    // Observable state; each has a change signal below.
    // The monitor's latest, with NetworkManager's connectivity taken in: a
    // portal's sign-in as the verdict, limited IPv6 as an IPv6 problem.
    const MonitorSnapshot& snapshot() const { return snapshot_; }
    std::optional<double> pausedUntil() const { return pausedUntil_; }
    const std::map<TargetRole, std::vector<TraceSample>>& samples() const { return samples_; }
    const std::vector<NetworkEvent>& recentEvents() const { return recentEvents_; }
    std::optional<double> offlineSince() const { return offlineSince_; }
    const std::optional<std::string>& localAddress() const { return localAddress_; }
    const std::optional<WiFiInfo>& wifi() const { return wifi_; }
    bool notificationsDenied() const { return notificationsDenied_; }
    bool isLockPaused() const { return isLockPaused_; }
    bool detailsVisible() const { return detailsVisible_; }
    // The stretches in which the link was busy, oldest first (the last
    // busySpanLimit); they tell which spikes came with an upload or download.
    const std::vector<Incident::BusySpan>& busySpans() const { return busySpans_; }

    Preferences& preferences() { return preferences_; }
    // None when the history store could not be opened.
    History* history() { return history_.get(); }
    SystemState& system() { return *system_; }
    Notifier& notifier() { return *notifier_; }
    const AlertTracker& alerts() const { return alerts_; }
    const ConnectivityWatch::State& connectivity() const { return connectivity_->state(); }
    std::optional<double> monitorInterval() const { return monitorInterval_; }
    bool started() const { return started_; }
    bool isMonitorRunning() const { return monitor_ != nullptr; }
    int generation() const { return generation_; }
    // What became of the metrics endpoint, for the diagnostics report:
    // "serving ADDR" or "not served: WHY"; empty while it is off.
    const std::string& metricsEndpoint() const { return metricsEndpoint_; }
    void setMetricsEndpoint(std::string state) { metricsEndpoint_ = std::move(state); }
    // The physical interface when the path is Wi-Fi; safe from any thread.
    std::optional<std::string> wifiInterface() const;
    // History's signal-strength reader: the Wi-Fi interface's signal in dBm,
    // none without one or for a signal of 0. Safe from any thread.
    std::optional<std::int64_t> readSignalStrength() const;

signals:
    void snapshotChanged();
    void pausedUntilChanged();
    void samplesChanged();
    void recentEventsChanged();
    void offlineSinceChanged();
    void localAddressChanged();
    void wifiChanged();
    void notificationsDeniedChanged();
    void isLockPausedChanged();
    void detailsVisibleChanged();
    void connectivityChanged();
    // After every applied snapshot, pause and resume, and connectivity change.
    void changed();
    // The probe records that came with a snapshot of the current monitor,
    // just before its snapshotApplied.
    void probesApplied(const std::vector<nerivane::ProbeRecord>& probes);
    // A snapshot of the current monitor has been applied (whether or not it differed).
    void snapshotApplied();
    // An event of the current monitor has been added to recentEvents.
    void eventApplied(const nerivane::NetworkEvent& event);
    // An alert has been handed to the notifier, with the snapshot it came with.
    void alertPosted(const nerivane::AlertTracker::Alert& alert, const nerivane::MonitorSnapshot& snapshot);

private:
    struct RoleSample {
        TargetRole role;
        TraceSample sample;
    };

    void reconcile();
    void startMonitor();
    // Asks history for the link capacity and hands it to the running monitor.
    void refreshLinkCapacity();
    void stopMonitor();
    void applyRate();
    double currentInterval() const;
    void applyNotificationSwitches();
    void handlePermission(Notifier::Permission permission);
    // Ends a pause whose end has passed; else arms the timer for the next check.
    void checkPause();
    void trackPreferences();
    void handleTrackedPreferenceChanged();

    Monitor::UpdateHandler updateHandler(int generation);
    void applyEvent(int generation, const NetworkEvent& event);
    void applySnapshot(int generation, const MonitorSnapshot& snapshot, const std::vector<RoleSample>& samples,
                       const std::vector<ProbeRecord>& probes);
    void applyPath(const NetworkPath& path);
    // The monitor's snapshot as shown: with the connectivity taken in.
    MonitorSnapshot withConnectivity(MonitorSnapshot snapshot) const;
    void handleConnectivityChanged();
    void noteBusy(double now);
    void refreshWiFi();
    void storeWiFi(const std::optional<WiFiInfo>& info);

    void setNotificationsDenied(bool value);
    void setIsLockPaused(bool value);
    double now() const { return environment_.now(); }

    Environment environment_;
    Preferences& preferences_;

    MonitorSnapshot snapshot_;
    // The last snapshot a monitor delivered, before the connectivity was
    // taken in; none before the first.
    std::optional<MonitorSnapshot> monitorSnapshot_;
    std::optional<double> pausedUntil_;
    std::map<TargetRole, std::vector<TraceSample>> samples_;
    std::vector<NetworkEvent> recentEvents_;
    std::optional<double> offlineSince_;
    std::optional<std::string> localAddress_;
    std::optional<WiFiInfo> wifi_;
    bool notificationsDenied_ = false;
    bool isLockPaused_ = false;
    bool detailsVisible_ = false;
    std::string metricsEndpoint_;
    std::vector<Incident::BusySpan> busySpans_;

    std::unique_ptr<History> history_;
    std::unique_ptr<SystemState> system_;
    std::unique_ptr<Notifier> notifier_;
    std::unique_ptr<ConnectivityWatch> connectivity_;
    AlertTracker alerts_{false, false};
    std::optional<double> monitorInterval_;
    bool started_ = false;
    // Set at termination: the monitor stays stopped whatever happens next.
    bool stopped_ = false;
    bool tracking_ = false;
    bool preferencesApplyQueued_ = false;
    bool outageNotificationsOffered_ = false;
    int generation_ = 0;
    QTimer resumeTimer_;
    // Hands history's capacity to the monitor again every hour, so the
    // seven days it looks back slide along.
    QTimer capacityTimer_;
    std::optional<double> lastWiFiRead_;

    mutable std::mutex wifiInterfaceLock_;
    std::optional<std::string> wifiInterface_;

    // Reads Wi-Fi details off the main thread; made on first use.
    std::unique_ptr<SerialQueue> wifiQueue_;
    // Last: destroyed first, so no update is delivered into a dying model.
    std::unique_ptr<MonitorControl> monitor_;
};

}  // namespace nerivane
