#include "nerivane/core/AppModel.h"

#include <QMetaObject>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <utility>

#include "NerivaneKit/platform/MachClock.h"
#include "NerivaneKit/platform/SerialQueue.h"
#include "nerivane/core/ProbingInterval.h"
#include "nerivane/core/SlowRateReason.h"

namespace nerivane {
namespace {

constexpr int capacityRefreshMilliseconds = 3600 * 1000;

AppModel::Environment completed(AppModel::Environment environment) {
    if (!environment.variable) {
        environment.variable = [](const char* name) -> std::optional<std::string> {
            const char* value = std::getenv(name);
            if (value == nullptr) return std::nullopt;
            return std::string(value);
        };
    }
    if (!environment.now)
        environment.now = [] { return static_cast<double>(MachClock::realtimeNow().time_since_epoch().count()) / 1e9; };
    if (!environment.makeMonitor) {
        environment.makeMonitor = [](const TargetSettings& settings, const LookupSettings& lookups, Seconds interval,
                                     Monitor::UpdateHandler onUpdate) {
            return std::make_unique<Monitor>(settings, lookups, interval, std::move(onUpdate));
        };
    }
    // History dates its minutes by the model's wall clock.
    if (!environment.openHistory) {
        environment.openHistory = [now = environment.now](const std::string& path) {
            History::Options options;
            options.date = now;
            return std::make_unique<History>(path, std::move(options));
        };
    }
    if (!environment.makeSystemState) environment.makeSystemState = [] { return std::make_unique<SystemState>(); };
    if (!environment.makeNotifier) environment.makeNotifier = [] { return std::make_unique<Notifier>(); };
    if (!environment.makeConnectivityWatch)
        environment.makeConnectivityWatch = [] { return std::make_unique<ConnectivityWatch>(); };
    if (!environment.localAddress) environment.localAddress = &WiFiInfo::localAddress;
    if (!environment.readWiFi) environment.readWiFi = &WiFiInfo::read;
    if (!environment.readSignal) environment.readSignal = &WiFiInfo::readSignal;
    return environment;
}

}  // namespace

AppModel::AppModel(Preferences& preferences, QObject* parent) : AppModel(preferences, Environment{}, parent) {}

AppModel::AppModel(Preferences& preferences, Environment environment, QObject* parent)
    : QObject(parent), environment_(completed(std::move(environment))), preferences_(preferences) {
    // NERIVANE_HISTORY names the file as is; an empty value counts as unset,
    // as it does for nerivane-history.
    std::optional<std::string> path = environment_.variable("NERIVANE_HISTORY");
    if (!path || path->empty()) path = History::defaultPath();
    if (!path) {
        environment_.log.error(Log::format("history unavailable: %s", "no data directory (neither XDG_DATA_HOME nor HOME)"));
    } else {
        try {
            history_ = environment_.openHistory(*path);
        } catch (const std::exception& error) {
            environment_.log.error(Log::format("history unavailable: %s", error.what()));
        }
    }

    system_ = environment_.makeSystemState();
    notifier_ = environment_.makeNotifier();
    system_->onChange = [this] {
        reconcile();
        applyRate();
    };
    system_->onWake = [this] { checkPause(); };
    connectivity_ = environment_.makeConnectivityWatch();
    connectivity_->onChange = [this] { handleConnectivityChanged(); };

    resumeTimer_.setSingleShot(true);
    connect(&resumeTimer_, &QTimer::timeout, this, &AppModel::checkPause);
    capacityTimer_.setInterval(capacityRefreshMilliseconds);
    connect(&capacityTimer_, &QTimer::timeout, this, &AppModel::refreshLinkCapacity);
}

AppModel::~AppModel() {
    system_->onChange = nullptr;
    connectivity_->onChange = nullptr;
    monitor_.reset();
    // History's timer reads the Wi-Fi interface and the signal through this
    // model: it stops before any member it reaches is gone.
    history_.reset();
    wifiQueue_.reset();
}

// ------------------------------------------------------------------ control

void AppModel::start() {
    if (started_) return;
    // The retention goes with the start: the first maintenance runs at once.
    if (history_) history_->start(preferences_.retentionDays(), [this] { return readSignalStrength(); });
    capacityTimer_.start();
    started_ = true;
    applyPreferences();
    trackPreferences();
}

void AppModel::applyPreferences() {
    if (history_) history_->setRetentionDays(preferences_.retentionDays());
    if (monitor_) {
        monitor_->update(targetSettings());
        monitor_->updateLookups(preferences_.lookupSettings());
    }
    reconcile();
    applyRate();
    applyNotificationSwitches();
}

TargetSettings AppModel::targetSettings() const {
    TargetSettings settings = preferences_.targetSettings();
    if (const auto hosts = environment_.variable("NERIVANE_HOSTS")) {
        // Pieces are kept as they stand: only empty ones are dropped.
        settings.internetHosts.clear();
        std::size_t begin = 0;
        while (begin <= hosts->size()) {
            std::size_t end = hosts->find(',', begin);
            if (end == std::string::npos) end = hosts->size();
            if (end > begin) settings.internetHosts.push_back(hosts->substr(begin, end - begin));
            begin = end + 1;
        }
    }
    return settings;
}

void AppModel::reconcile() {
    if (!started_) return;
    const bool lockStops =
        SystemState::lockStopsProbing(system_->countsAsLocked(), preferences_.keepMonitoringWhileLocked());
    const bool paused = pausedUntil_.has_value();
    setIsLockPaused(lockStops && !paused);

    if (lockStops || paused || stopped_) {
        if (stopped_) return;
        const MinuteState state = paused ? MinuteState::paused : MinuteState::locked;
        if (monitor_) {
            environment_.log.info(Log::format("stopped: %s", std::string(text(state)).c_str()));
            stopMonitor();
            alerts_.reset();
        }
        if (history_) history_->setState(state);
    } else if (!monitor_) {
        startMonitor();
    }
}

void AppModel::startMonitor() {
    generation_ += 1;
    const double interval = currentInterval();
    monitorInterval_ = interval;
    monitor_ = environment_.makeMonitor(targetSettings(), preferences_.lookupSettings(), Seconds{interval},
                                        updateHandler(generation_));
    monitor_->start();
    refreshLinkCapacity();
}

void AppModel::refreshLinkCapacity() {
    if (!history_ || !monitor_) return;
    // Read on history's queue without holding up the main thread; by the
    // time it arrives the monitor may have been replaced, and the new one
    // asked for its own.
    history_->linkCapacity([this, generation = generation_](LinkCapacity capacity) {
        QMetaObject::invokeMethod(
            this,
            [this, generation, capacity] {
                if (generation == generation_ && monitor_) monitor_->setLinkCapacity(capacity);
            },
            Qt::QueuedConnection);
    });
}

void AppModel::stopMonitor() {
    if (!monitor_) return;
    generation_ += 1;
    monitor_->stop();
    monitor_.reset();
}

void AppModel::stopMonitoring() {
    stopped_ = true;
    stopMonitor();
}

double AppModel::currentInterval() const {
    const auto reason = system_->slowRateReason(snapshot_.path);
    return ProbingInterval::fromStored(preferences_.interval(), preferences_.batteryInterval()).forReason(reason);
}

void AppModel::applyRate() {
    if (!monitor_) return;
    const auto reason = system_->slowRateReason(snapshot_.path);
    const double interval = currentInterval();
    if (monitorInterval_ == interval) return;
    environment_.log.info(intervalLogLine(interval, reason));
    monitorInterval_ = interval;
    monitor_->setInterval(Seconds{interval});
}

void AppModel::applyNotificationSwitches() {
    const bool outages = preferences_.notifyOutages();
    const bool verdictChanges = preferences_.notifyVerdictChanges();
    const bool newlyOn = (outages && !alerts_.outages) || (verdictChanges && !alerts_.verdictChanges);
    alerts_.outages = outages;
    alerts_.verdictChanges = verdictChanges;
    if (newlyOn) {
        // The notifier answers later on the main thread; it lives as long as we do.
        notifier_->requestPermission([this](Notifier::Permission permission) { handlePermission(permission); });
    } else if (outages || verdictChanges) {
        setNotificationsDenied(false);
    }
}

void AppModel::offerOutageNotifications() {
    if (outageNotificationsOffered_ || preferences_.didShowFirstRun() || preferences_.notifyOutages()) return;
    outageNotificationsOffered_ = true;
    notifier_->requestPermission([this](Notifier::Permission permission) {
        if (permission == Notifier::Permission::granted && !preferences_.didShowFirstRun()) preferences_.setNotifyOutages(true);
    });
}

void AppModel::handlePermission(Notifier::Permission permission) {
    // No service yet is no answer: the switches stay as the user set them
    // and alerts are logged until a service appears.
    if (permission == Notifier::Permission::unavailable) {
        environment_.log.info("no notification service answers: alerts are logged until one appears");
    }
    setNotificationsDenied(permission == Notifier::Permission::refused);
    if (permission != Notifier::Permission::refused) return;
    // Tracked preferences: this applies the preferences again.
    preferences_.setNotifyOutages(false);
    preferences_.setNotifyVerdictChanges(false);
}

void AppModel::trackPreferences() {
    if (tracking_) return;
    tracking_ = true;
    for (auto signal : {&Preferences::intervalChanged, &Preferences::batteryIntervalChanged,
                        &Preferences::primaryHostChanged, &Preferences::secondaryHostChanged,
                        &Preferences::probeIPv6Changed, &Preferences::customHostsChanged,
                        &Preferences::keepMonitoringWhileLockedChanged, &Preferences::retentionDaysChanged,
                        &Preferences::notifyOutagesChanged, &Preferences::notifyVerdictChangesChanged}) {
        connect(&preferences_, signal, this, &AppModel::handleTrackedPreferenceChanged);
    }
}

void AppModel::handleTrackedPreferenceChanged() {
    // Several changes in one go (a settings page writing hosts and switches)
    // apply the preferences once, after they are all made.
    if (preferencesApplyQueued_) return;
    preferencesApplyQueued_ = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            preferencesApplyQueued_ = false;
            applyPreferences();
        },
        Qt::QueuedConnection);
}

void AppModel::pauseForOneHour() {
    if (pausedUntil_) return;
    pausedUntil_ = now() + pauseSeconds;
    emit pausedUntilChanged();
    checkPause();
    reconcile();
    emit changed();
}

void AppModel::resume() {
    if (!pausedUntil_) return;
    resumeTimer_.stop();
    pausedUntil_.reset();
    emit pausedUntilChanged();
    reconcile();
    emit changed();
}

void AppModel::checkPause() {
    if (!pausedUntil_) return;
    const double left = *pausedUntil_ - now();
    if (left <= 0) return resume();
    // Checked in short steps: the timer's clock stops while the machine sleeps.
    resumeTimer_.start(static_cast<int>(std::ceil(std::min(left, pauseCheckSeconds) * 1000)));
}

// ------------------------------------------------------------ monitor updates

Monitor::UpdateHandler AppModel::updateHandler(int generation) {
    // Runs on the monitor's queue. The monitor is stopped and destroyed
    // before the model and its history go, so both pointers outlive it.
    History* history = history_.get();
    return [this, history, generation](const Monitor::Update& update) {
        if (const auto* event = std::get_if<Monitor::EventUpdate>(&update)) {
            if (history) history->record(event->event);
            QMetaObject::invokeMethod(
                this, [this, generation, event = event->event] { applyEvent(generation, event); },
                Qt::QueuedConnection);
            return;
        }
        const auto& snapshotUpdate = std::get<Monitor::SnapshotUpdate>(update);
        if (history) {
            history->record(snapshotUpdate.probes,
                            snapshotUpdate.snapshot.path.isSatisfied ? MinuteState::measured : MinuteState::offline);
            if (snapshotUpdate.snapshot.lookups) history->record(*snapshotUpdate.snapshot.lookups);
            history->record(snapshotUpdate.traffic);
        }
        std::vector<RoleSample> samples;
        samples.reserve(snapshotUpdate.probes.size());
        for (const auto& probe : snapshotUpdate.probes) {
            // A late reply leaves no trace; a lost probe leaves a gap.
            if (const auto* reply = std::get_if<ProbeResult::Reply>(&probe.outcome)) {
                samples.push_back({probe.target.role, {probe.sentAt, reply->milliseconds}});
            } else if (std::holds_alternative<ProbeResult::Lost>(probe.outcome)) {
                samples.push_back({probe.target.role, {probe.sentAt, std::nullopt}});
            }
        }
        QMetaObject::invokeMethod(
            this,
            [this, generation, snapshot = snapshotUpdate.snapshot, samples = std::move(samples),
             probes = snapshotUpdate.probes] { applySnapshot(generation, snapshot, samples, probes); },
            Qt::QueuedConnection);
    };
}

void AppModel::applyEvent(int generation, const NetworkEvent& event) {
    if (generation != generation_) return;
    recentEvents_.push_back(event);
    if (recentEvents_.size() > static_cast<std::size_t>(recentEventLimit))
        recentEvents_.erase(recentEvents_.begin(), recentEvents_.end() - recentEventLimit);
    emit recentEventsChanged();
    emit eventApplied(event);
}

void AppModel::applySnapshot(int generation, const MonitorSnapshot& snapshot, const std::vector<RoleSample>& samples,
                             const std::vector<ProbeRecord>& probes) {
    if (generation != generation_) return;
    const double now = this->now();

    for (const auto& [role, sample] : samples) {
        auto& buffer = samples_[role];
        const auto after = std::upper_bound(buffer.begin(), buffer.end(), sample.sentAt,
                                            [](double sentAt, const TraceSample& other) { return sentAt < other.sentAt; });
        buffer.insert(after, sample);
        std::size_t drop = 0;
        while (buffer.size() - drop > traceSampleCount && buffer[drop].sentAt < now - traceSeconds) ++drop;
        buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(drop));
    }
    if (!samples.empty()) emit samplesChanged();

    if (snapshot.path != snapshot_.path) applyPath(snapshot.path);

    if (!snapshot.path.isSatisfied) {
        if (!offlineSince_) {
            offlineSince_ = now;
            emit offlineSinceChanged();
        }
    } else if (offlineSince_) {
        offlineSince_.reset();
        emit offlineSinceChanged();
    }

    monitorSnapshot_ = snapshot;
    if (auto shown = withConnectivity(snapshot); shown != snapshot_) {
        snapshot_ = std::move(shown);
        emit snapshotChanged();
    }

    applyRate();
    noteBusy(now);

    for (const auto& alert : alerts_.update(snapshot_, dateFromUnixSeconds(now))) {
        notifier_->post(alert, snapshot_);
        emit alertPosted(alert, snapshot_);
    }

    refreshWiFi();
    if (!probes.empty()) emit probesApplied(probes);
    emit snapshotApplied();
    emit changed();
}

MonitorSnapshot AppModel::withConnectivity(MonitorSnapshot snapshot) const {
    const auto& state = connectivity_->state();
    snapshot.verdict = withSignIn(snapshot.verdict, snapshot.path.isSatisfied && state.signInNeeded());
    // Only where IPv6 routes out: a check that cannot be made over it says nothing.
    if (snapshot.path.hasIPv6 && state.ipv6Limited()) snapshot.ipv6Problem = true;
    return snapshot;
}

// NetworkManager knows at once: the verdict follows without waiting for the
// next snapshot. Alerts wait for it, as they are timed by snapshots.
void AppModel::handleConnectivityChanged() {
    if (monitorSnapshot_) {
        if (auto shown = withConnectivity(*monitorSnapshot_); shown != snapshot_) {
            snapshot_ = std::move(shown);
            emit snapshotChanged();
        }
    }
    emit connectivityChanged();
    emit changed();
}

void AppModel::noteBusy(double now) {
    if (!snapshot_.load) return;
    const double from = now - monitorInterval_.value_or(1);
    for (const auto direction : {LoadDirection::upload, LoadDirection::download}) {
        if (!isBusy(snapshot_.load->now, direction)) continue;
        // The direction's latest stretch grows while the link stays busy.
        const auto latest = std::find_if(busySpans_.rbegin(), busySpans_.rend(),
                                         [&](const Incident::BusySpan& span) { return span.direction == direction; });
        if (latest != busySpans_.rend() && latest->end >= from - Incident::adjacentSeconds) {
            latest->end = now;
        } else {
            busySpans_.push_back({direction, from, now});
        }
    }
    if (busySpans_.size() > busySpanLimit)
        busySpans_.erase(busySpans_.begin(), busySpans_.end() - static_cast<std::ptrdiff_t>(busySpanLimit));
}

void AppModel::applyPath(const NetworkPath& path) {
    std::optional<std::string> address;
    if (path.physicalInterface) address = environment_.localAddress(*path.physicalInterface);
    if (address != localAddress_) {
        localAddress_ = std::move(address);
        emit localAddressChanged();
    }
    const bool isWiFi = path.kind == NetworkPath::Kind::wifi && path.physicalInterface.has_value();
    {
        std::lock_guard lock(wifiInterfaceLock_);
        wifiInterface_ = isWiFi ? path.physicalInterface : std::nullopt;
    }
    if (!isWiFi && wifi_) {
        wifi_.reset();
        emit wifiChanged();
    }
}

// ------------------------------------------------------------------- Wi-Fi

void AppModel::setDetailsVisible(bool visible) {
    if (visible == detailsVisible_) return;
    detailsVisible_ = visible;
    lastWiFiRead_.reset();
    emit detailsVisibleChanged();
    if (visible) {
        refreshWiFi();
    } else if (wifi_) {
        wifi_.reset();
        emit wifiChanged();
    }
}

void AppModel::refreshWiFi() {
    if (!detailsVisible_) return;
    const auto& path = snapshot_.path;
    if (path.kind != NetworkPath::Kind::wifi || !path.physicalInterface) return;
    const double now = this->now();
    if (lastWiFiRead_ && now - *lastWiFiRead_ < wifiReadSeconds) return;
    lastWiFiRead_ = now;
    if (!wifiQueue_) wifiQueue_ = std::make_unique<SerialQueue>("org.nerivane.Nerivane.wifi");
    // The queue is stopped before the model goes, so the call back finds it.
    wifiQueue_->async([this, read = environment_.readWiFi, name = *path.physicalInterface] {
        auto info = read(name);
        QMetaObject::invokeMethod(this, [this, info = std::move(info)] { storeWiFi(info); }, Qt::QueuedConnection);
    });
}

void AppModel::storeWiFi(const std::optional<WiFiInfo>& info) {
    if (!detailsVisible_ || info == wifi_) return;
    wifi_ = info;
    emit wifiChanged();
}

std::optional<std::string> AppModel::wifiInterface() const {
    std::lock_guard lock(wifiInterfaceLock_);
    return wifiInterface_;
}

std::optional<std::int64_t> AppModel::readSignalStrength() const {
    const auto name = wifiInterface();
    if (!name) return std::nullopt;
    const auto signal = environment_.readSignal(*name);
    if (!signal || *signal == 0) return std::nullopt;
    return *signal;
}

std::vector<std::optional<double>> AppModel::traceValues(const TargetRole& role) const {
    std::vector<std::optional<double>> values;
    const auto found = samples_.find(role);
    if (found == samples_.end()) return values;
    const auto& buffer = found->second;
    const std::size_t first = buffer.size() > traceSampleCount ? buffer.size() - traceSampleCount : 0;
    for (std::size_t i = first; i < buffer.size(); ++i) values.push_back(buffer[i].rtt);
    return values;
}

// ----------------------------------------------------------------- setters

void AppModel::setNotificationsDenied(bool value) {
    if (value == notificationsDenied_) return;
    notificationsDenied_ = value;
    emit notificationsDeniedChanged();
}

void AppModel::setIsLockPaused(bool value) {
    if (value == isLockPaused_) return;
    isLockPaused_ = value;
    emit isLockPausedChanged();
}

}  // namespace nerivane
