#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTemporaryDir>
#include <atomic>
#include <map>
#include <memory>
#include <stdexcept>
#include <thread>

#include "NerivaneKit/history/HistoryStore.h"
#include "NerivaneKit/platform/LogStore.h"
#include "nerivane/core/AppModel.h"
#include "nerivane/core/PrivateBus.h"
#include "nerivane/core/QtSupport.h"

namespace nerivane {
namespace {

using test::application;
using test::waitUntil;

const QString screenSaver = QStringLiteral("org.freedesktop.ScreenSaver");
const QString notifications = QStringLiteral("org.freedesktop.Notifications");
const QString notificationsPath = QStringLiteral("/org/freedesktop/Notifications");
constexpr double start = 1'700'000'000;

// What the model did with one monitor it made.
struct FakeRun {
    TargetSettings settings;
    double interval = 0;
    Monitor::UpdateHandler onUpdate;
    bool started = false;
    bool stopped = false;
    std::vector<double> intervals;
    std::vector<TargetSettings> updates;
};

class FakeMonitor : public AppModel::MonitorControl {
public:
    explicit FakeMonitor(std::shared_ptr<FakeRun> run) : run_(std::move(run)) {}
    void start() override { run_->started = true; }
    void stop() override { run_->stopped = true; }
    void update(const TargetSettings& settings) override { run_->updates.push_back(settings); }
    void setInterval(double seconds) override { run_->intervals.push_back(seconds); }

private:
    std::shared_ptr<FakeRun> run_;
};

Target target(TargetRole role, const std::string& host) {
    return {role, host, *ProbeAddress::parse(host == "router" ? "10.0.0.1" : host)};
}

ProbeRecord probe(TargetRole role, double sentAt, ProbeResult::Outcome outcome) {
    return {target(role, "1.1.1.1"), ProbeProtocol::icmp, outcome, sentAt};
}

MonitorSnapshot snapshotOf(Verdict verdict, std::optional<TargetState> internet, bool satisfied = true,
                           std::optional<double> outageSince = std::nullopt) {
    MonitorSnapshot snapshot;
    snapshot.path.isSatisfied = satisfied;
    snapshot.path.kind = NetworkPath::Kind::ethernet;
    snapshot.path.physicalInterface = "eth0";
    snapshot.verdict = verdict;
    snapshot.internet = internet;
    TargetSnapshot host;
    host.target = target(TargetRole::internet(0), "1.1.1.1");
    host.status = TargetStatus::icmp;
    host.state = internet.value_or(TargetState::measuring());
    host.outageSince = outageSince;
    snapshot.targets.push_back(host);
    return snapshot;
}

NetworkEvent outage(double startTime) {
    return {NetworkEvent::Kind::outage, TargetRole::internet(0), "1.1.1.1", *ProbeAddress::parse("1.1.1.1"),
            startTime, startTime + 12, std::nullopt};
}

class AppModelTest : public ::testing::Test {
protected:
    void SetUp() override {
        application();
        ASSERT_TRUE(bus.isRunning());
        client = std::make_unique<QDBusConnection>(bus.connect(QStringLiteral("model")));
        services = std::make_unique<test::StandIns>(bus, QStringLiteral("standins"));
        preferences = std::make_unique<Preferences>(directory.filePath(QStringLiteral("nerivane.conf")));
        variables["NERIVANE_HISTORY"] = directory.filePath(QStringLiteral("history/history.sqlite")).toStdString();
    }

    void TearDown() override {
        model.reset();
        QCoreApplication::sendPostedEvents();
    }

    AppModel::Environment environment() {
        AppModel::Environment environment;
        environment.variable = [this](const char* name) -> std::optional<std::string> {
            const auto found = variables.find(name);
            if (found == variables.end()) return std::nullopt;
            return found->second;
        };
        environment.now = [this] { return clock; };
        environment.makeMonitor = [this](const TargetSettings& settings, double interval,
                                         Monitor::UpdateHandler onUpdate) {
            auto run = std::make_shared<FakeRun>();
            run->settings = settings;
            run->interval = interval;
            run->onUpdate = std::move(onUpdate);
            runs.push_back(run);
            return std::make_unique<FakeMonitor>(run);
        };
        environment.makeSystemState = [this] {
            return std::make_unique<SystemState>(*client, *client, systemEnvironment);
        };
        environment.makeNotifier = [this] { return std::make_unique<Notifier>(*client); };
        environment.localAddress = [](const std::string& name) -> std::optional<std::string> {
            if (name == "wlan0") return "192.168.1.20";
            return std::nullopt;
        };
        environment.readWiFi = [this](const std::string&) -> std::optional<WiFiInfo> {
            wifiReads += 1;
            return WiFiInfo{-55, -90, 866.7, 36, "5 GHz", 80};
        };
        environment.readSignal = [this](const std::string&) -> std::optional<int> { return signal.load(); };
        environment.log = Log("app", std::string(Log::defaultSubsystem), logs);
        return environment;
    }

    AppModel& makeModel() {
        model = std::make_unique<AppModel>(*preferences, environment());
        return *model;
    }

    AppModel& startedModel() {
        makeModel().start();
        return *model;
    }

    FakeRun& run() { return *runs.back(); }

    // Hands an update to the model the way a monitor does: from a thread of
    // its own; then lets the main thread apply what was posted.
    void deliver(const Monitor::UpdateHandler& handler, const Monitor::Update& update, bool apply = true) {
        std::thread thread([&] { handler(update); });
        thread.join();
        if (apply) QCoreApplication::sendPostedEvents();
    }
    void deliverSnapshot(MonitorSnapshot snapshot, std::vector<ProbeRecord> probes = {}) {
        deliver(run().onUpdate, Monitor::SnapshotUpdate{std::move(snapshot), std::move(probes)});
    }

    MinuteState historyState() {
        model->history()->tick();
        return model->history()->withStore([](HistoryStore& store) { return store.state; });
    }

    bool logged(const std::string& message) {
        for (const auto& entry : logs.entries(std::chrono::seconds(600))) {
            if (entry.message == message) return true;
        }
        return false;
    }

    test::PrivateBus bus;
    std::unique_ptr<QDBusConnection> client;
    std::unique_ptr<test::StandIns> services;
    QTemporaryDir directory;
    std::unique_ptr<Preferences> preferences;
    std::map<std::string, std::string> variables;
    SystemState::Environment systemEnvironment;
    LogStore logs{[] {
        LogStore::Configuration configuration;
        configuration.stderrOutput = LogStore::StderrOutput::never;
        return configuration;
    }()};
    double clock = start;
    std::vector<std::shared_ptr<FakeRun>> runs;
    std::atomic<int> wifiReads{0};
    std::atomic<int> signal{-61};
    std::unique_ptr<AppModel> model;
};

// ----------------------------------------------------------- run state

TEST_F(AppModelTest, NothingRunsBeforeStartThenOneMonitorWithThePreferences) {
    makeModel();
    model->applyPreferences();
    EXPECT_TRUE(runs.empty());
    EXPECT_EQ(model->generation(), 0);

    model->start();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_TRUE(run().started);
    EXPECT_EQ(run().interval, 1.0);
    EXPECT_EQ(model->monitorInterval(), 1.0);
    EXPECT_EQ(run().settings, preferences->targetSettings());
    EXPECT_EQ(model->generation(), 1);
    EXPECT_EQ(run().updates.size(), 0u);

    // Applying again hands the running monitor its settings; it starts nothing new.
    model->applyPreferences();
    EXPECT_EQ(runs.size(), 1u);
    EXPECT_EQ(run().updates.size(), 1u);
}

TEST_F(AppModelTest, UpdatesOfAStoppedMonitorAreDroppedButReachHistory) {
    startedModel();
    const auto oldHandler = run().onUpdate;
    // Queued on the main thread before the stop, applied after it.
    deliver(oldHandler, Monitor::EventUpdate{outage(start - 30)}, false);
    deliver(oldHandler, Monitor::SnapshotUpdate{snapshotOf(Verdict::good, TargetState::ok()),
                                                {probe(TargetRole::internet(0), start - 1, ProbeResult::Reply{12})}},
            false);
    model->pauseForOneHour();
    EXPECT_TRUE(runs.front()->stopped);
    model->resume();
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(model->generation(), 3);
    QCoreApplication::sendPostedEvents();

    EXPECT_EQ(model->snapshot(), MonitorSnapshot{});
    EXPECT_TRUE(model->recentEvents().empty());
    EXPECT_TRUE(model->samples().empty());
    // History took them in the monitor's half.
    EXPECT_EQ(model->history()->latestEvents(10), std::vector<NetworkEvent>{outage(start - 30)});

    // The new monitor's updates are applied.
    deliver(run().onUpdate, Monitor::EventUpdate{outage(start - 10)});
    deliverSnapshot(snapshotOf(Verdict::good, TargetState::ok()));
    EXPECT_EQ(model->recentEvents(), std::vector<NetworkEvent>{outage(start - 10)});
    EXPECT_EQ(model->snapshot().verdict, Verdict::good);
}

TEST_F(AppModelTest, PauseStopsUntilResumeAndIsNotExtended) {
    startedModel();
    int changes = 0;
    QObject::connect(model.get(), &AppModel::changed, [&] { changes += 1; });

    model->pauseForOneHour();
    EXPECT_EQ(model->pausedUntil(), start + 3600);
    EXPECT_FALSE(model->isMonitorRunning());
    EXPECT_EQ(historyState(), MinuteState::paused);
    EXPECT_TRUE(logged("stopped: paused"));
    clock += 600;
    model->pauseForOneHour();
    EXPECT_EQ(model->pausedUntil(), start + 3600);
    EXPECT_EQ(changes, 1);

    model->resume();
    EXPECT_EQ(model->pausedUntil(), std::nullopt);
    EXPECT_TRUE(model->isMonitorRunning());
    EXPECT_EQ(runs.size(), 2u);
    model->resume();
    EXPECT_EQ(runs.size(), 2u);
    EXPECT_EQ(changes, 2);
}

TEST_F(AppModelTest, LockRuleWithPause) {
    ASSERT_TRUE(services->own(screenSaver));
    startedModel();
    const auto blank = [&](bool active) {
        services->emitSignal(QStringLiteral("/org/freedesktop/ScreenSaver"), screenSaver,
                             QStringLiteral("ActiveChanged"), {active});
        return waitUntil([&] { return model->system().displaysAsleep() == active; });
    };

    ASSERT_TRUE(blank(true));
    EXPECT_FALSE(model->isMonitorRunning());
    EXPECT_TRUE(model->isLockPaused());
    EXPECT_EQ(historyState(), MinuteState::locked);
    EXPECT_TRUE(logged("stopped: locked"));

    ASSERT_TRUE(blank(false));
    EXPECT_TRUE(model->isMonitorRunning());
    EXPECT_FALSE(model->isLockPaused());
    EXPECT_EQ(runs.size(), 2u);

    // Locking while paused tells history "paused"; unlocking starts nothing.
    model->pauseForOneHour();
    ASSERT_TRUE(blank(true));
    EXPECT_FALSE(model->isLockPaused());
    EXPECT_EQ(historyState(), MinuteState::paused);
    ASSERT_TRUE(blank(false));
    EXPECT_FALSE(model->isMonitorRunning());
    EXPECT_EQ(runs.size(), 2u);
    model->resume();
    EXPECT_TRUE(model->isMonitorRunning());

    // Monitoring while locked, when the user asks for it.
    preferences->setKeepMonitoringWhileLocked(true);
    ASSERT_TRUE(blank(true));
    QCoreApplication::sendPostedEvents();
    EXPECT_TRUE(model->isMonitorRunning());
    EXPECT_FALSE(model->isLockPaused());
    EXPECT_EQ(runs.size(), 3u);
    // Turning it off again while locked stops probing.
    preferences->setKeepMonitoringWhileLocked(false);
    ASSERT_TRUE(waitUntil([&] { return !model->isMonitorRunning(); }));
    EXPECT_TRUE(model->isLockPaused());
}

TEST_F(AppModelTest, StoppingForTheLockForgetsAnOutageInProgress) {
    ASSERT_TRUE(services->own(screenSaver));
    startedModel();
    deliverSnapshot(snapshotOf(Verdict::internetDown, TargetState::down(), true, start - 5));
    ASSERT_TRUE(model->alerts().downSince.has_value());
    services->emitSignal(QStringLiteral("/org/freedesktop/ScreenSaver"), screenSaver, QStringLiteral("ActiveChanged"),
                         {true});
    ASSERT_TRUE(waitUntil([&] { return !model->isMonitorRunning(); }));
    EXPECT_FALSE(model->alerts().downSince.has_value());
    EXPECT_FALSE(model->alerts().postedDown);
}

TEST_F(AppModelTest, StoppedForGoodAtTermination) {
    startedModel();
    model->stopMonitoring();
    EXPECT_TRUE(run().stopped);
    model->pauseForOneHour();
    model->resume();
    model->applyPreferences();
    EXPECT_FALSE(model->isMonitorRunning());
    EXPECT_EQ(runs.size(), 1u);
}

// -------------------------------------------------------------- interval

TEST_F(AppModelTest, IntervalFollowsBatteryAndPreferencesAndIsSentOnlyWhenItChanges) {
    systemEnvironment.onBattery = QStringLiteral("1");
    startedModel();
    EXPECT_EQ(run().interval, 5.0);

    preferences->setInterval(2);
    QCoreApplication::sendPostedEvents();
    EXPECT_TRUE(run().intervals.empty());

    preferences->setBatteryInterval(10);
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(run().intervals, std::vector<double>{10});
    EXPECT_TRUE(logged("interval 10.000000 s (battery)"));
    deliverSnapshot(snapshotOf(Verdict::good, TargetState::ok()));
    EXPECT_EQ(run().intervals, std::vector<double>{10});
}

TEST_F(AppModelTest, AnExpensivePathSlowsProbingDown) {
    startedModel();
    auto snapshot = snapshotOf(Verdict::good, TargetState::ok());
    snapshot.path.isExpensive = true;
    deliverSnapshot(snapshot);
    EXPECT_EQ(run().intervals, std::vector<double>{5});
    EXPECT_TRUE(logged("interval 5.000000 s (expensivePath)"));
    snapshot.path.isExpensive = false;
    deliverSnapshot(snapshot);
    EXPECT_EQ(run().intervals, (std::vector<double>{5, 1}));
    EXPECT_TRUE(logged("interval 1.000000 s"));
}

TEST_F(AppModelTest, AStoredIntervalThatCannotBeOneDoesNotFloodTheNetwork) {
    preferences->defaults().setValue(QStringLiteral("interval"), QStringLiteral("fast"));
    preferences->defaults().sync();
    preferences = std::make_unique<Preferences>(directory.filePath(QStringLiteral("nerivane.conf")));
    ASSERT_EQ(preferences->interval(), 0);
    startedModel();
    EXPECT_EQ(run().interval, 1.0);
    preferences->setInterval(0.001);
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(run().intervals, std::vector<double>{0.1});
}

TEST_F(AppModelTest, SeveralPreferenceChangesApplyOnce) {
    startedModel();
    preferences->setPrimaryHost(QStringLiteral("9.9.9.9"));
    preferences->setSecondaryHost(QString());
    preferences->setCustomHosts({QStringLiteral("nas.lab")});
    EXPECT_TRUE(run().updates.empty());
    QCoreApplication::sendPostedEvents();
    ASSERT_EQ(run().updates.size(), 1u);
    EXPECT_EQ(run().updates[0], (TargetSettings{{"9.9.9.9"}, true, {"nas.lab"}}));
    // Untracked preferences change nothing.
    preferences->setAccent(Accent::amber);
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(run().updates.size(), 1u);
}

TEST_F(AppModelTest, HostsFromTheEnvironmentReplaceOnlyTheInternetHosts) {
    preferences->setCustomHosts({QStringLiteral("nas.lab")});
    variables["NERIVANE_HOSTS"] = "one.lab";
    startedModel();
    EXPECT_EQ(run().settings, (TargetSettings{{"one.lab"}, true, {"nas.lab"}}));
    variables["NERIVANE_HOSTS"] = ",,,";
    EXPECT_EQ(model->targetSettings().internetHosts, std::vector<std::string>{});
    variables["NERIVANE_HOSTS"] = " a ,,b ";
    EXPECT_EQ(model->targetSettings().internetHosts, (std::vector<std::string>{" a ", "b "}));
}

// ------------------------------------------------------- snapshot state

TEST_F(AppModelTest, TraceBuffersKeepTheLastMinuteAtOneSecond) {
    startedModel();
    const auto role = TargetRole::internet(0);
    for (int i = 0; i < 90; ++i) {
        clock = start + i;
        deliverSnapshot(snapshotOf(Verdict::good, TargetState::ok()),
                        {probe(role, clock - 0.5, ProbeResult::Reply{double(i)})});
    }
    const auto& buffer = model->samples().at(role);
    // Everything sent within 60 s of the last snapshot: probes 30 to 89.
    ASSERT_EQ(buffer.size(), 60u);
    EXPECT_EQ(buffer.front(), (TraceSample{start + 29.5, 30.0}));
    EXPECT_EQ(buffer.back().rtt, 89.0);
    const auto values = model->traceValues(role);
    ASSERT_EQ(values.size(), 28u);
    EXPECT_EQ(values.front(), 62.0);
    EXPECT_EQ(values.back(), 89.0);
    EXPECT_TRUE(model->traceValues(TargetRole::router()).empty());
}

TEST_F(AppModelTest, TraceBuffersKeepTwentyEightSamplesAtFiveSeconds) {
    startedModel();
    const auto role = TargetRole::router();
    for (int i = 0; i < 40; ++i) {
        clock = start + 5 * i;
        deliverSnapshot(snapshotOf(Verdict::good, TargetState::ok()),
                        {probe(role, clock - 0.5, ProbeResult::Reply{double(i)})});
    }
    const auto& buffer = model->samples().at(role);
    ASSERT_EQ(buffer.size(), 28u);
    EXPECT_EQ(buffer.front().rtt, 12.0);
}

TEST_F(AppModelTest, TraceSamplesAreSortedLateRepliesLeaveNoneAndLossesAGap) {
    startedModel();
    const auto role = TargetRole::internet(1);
    deliverSnapshot(snapshotOf(Verdict::good, TargetState::ok()),
                    {probe(role, start - 1, ProbeResult::Reply{10}), probe(role, start - 3, ProbeResult::Lost{}),
                     probe(role, start - 2, ProbeResult::Late{2500}), probe(role, start - 1, ProbeResult::Reply{11})});
    EXPECT_EQ(model->samples().at(role),
              (std::vector<TraceSample>{{start - 3, std::nullopt}, {start - 1, 10.0}, {start - 1, 11.0}}));
    EXPECT_EQ(model->traceValues(role), (std::vector<std::optional<double>>{std::nullopt, 10.0, 11.0}));
}

TEST_F(AppModelTest, TenRecentEventsOldestFirst) {
    startedModel();
    std::vector<NetworkEvent> applied;
    QObject::connect(model.get(), &AppModel::eventApplied, [&](const NetworkEvent& event) { applied.push_back(event); });
    for (int i = 0; i < 11; ++i) deliver(run().onUpdate, Monitor::EventUpdate{outage(start + i)});
    ASSERT_EQ(model->recentEvents().size(), 10u);
    EXPECT_EQ(model->recentEvents().front(), outage(start + 1));
    EXPECT_EQ(model->recentEvents().back(), outage(start + 10));
    EXPECT_EQ(applied.size(), 11u);
}

TEST_F(AppModelTest, OfflineSinceIsTheFirstUnsatisfiedSnapshot) {
    startedModel();
    deliverSnapshot(snapshotOf(Verdict::offline, std::nullopt, false));
    EXPECT_EQ(model->offlineSince(), start);
    clock += 5;
    deliverSnapshot(snapshotOf(Verdict::offline, std::nullopt, false));
    EXPECT_EQ(model->offlineSince(), start);
    EXPECT_EQ(historyState(), MinuteState::offline);
    deliverSnapshot(snapshotOf(Verdict::good, TargetState::ok(), true));
    EXPECT_EQ(model->offlineSince(), std::nullopt);
    EXPECT_EQ(historyState(), MinuteState::measured);
}

TEST_F(AppModelTest, SnapshotObserversAreToldOnlyOfChanges) {
    startedModel();
    int snapshotChanges = 0;
    int applied = 0;
    QObject::connect(model.get(), &AppModel::snapshotChanged, [&] { snapshotChanges += 1; });
    QObject::connect(model.get(), &AppModel::snapshotApplied, [&] { applied += 1; });
    deliverSnapshot(snapshotOf(Verdict::good, TargetState::ok()));
    deliverSnapshot(snapshotOf(Verdict::good, TargetState::ok()));
    EXPECT_EQ(snapshotChanges, 1);
    EXPECT_EQ(applied, 2);
}

TEST_F(AppModelTest, PathGivesLocalAddressAndWiFiDetailsWhileShown) {
    startedModel();
    auto snapshot = snapshotOf(Verdict::good, TargetState::ok());
    snapshot.path.kind = NetworkPath::Kind::wifi;
    snapshot.path.physicalInterface = "wlan0";
    deliverSnapshot(snapshot);
    EXPECT_EQ(model->localAddress(), "192.168.1.20");
    EXPECT_EQ(model->wifiInterface(), "wlan0");
    EXPECT_EQ(model->readSignalStrength(), -61);
    signal = 0;
    EXPECT_EQ(model->readSignalStrength(), std::nullopt);
    EXPECT_EQ(wifiReads.load(), 0);

    model->setDetailsVisible(true);
    ASSERT_TRUE(waitUntil([&] { return model->wifi().has_value(); }));
    EXPECT_EQ(model->wifi()->band, "5 GHz");
    clock += 4;
    deliverSnapshot(snapshot);
    EXPECT_EQ(wifiReads.load(), 1);
    clock += 1;
    deliverSnapshot(snapshot);
    ASSERT_TRUE(waitUntil([&] { return wifiReads == 2; }));

    model->setDetailsVisible(false);
    EXPECT_EQ(model->wifi(), std::nullopt);
    model->setDetailsVisible(true);
    ASSERT_TRUE(waitUntil([&] { return model->wifi().has_value(); }));

    // Leaving Wi-Fi forgets the interface and its details.
    deliverSnapshot(snapshotOf(Verdict::good, TargetState::ok()));
    EXPECT_EQ(model->wifiInterface(), std::nullopt);
    EXPECT_EQ(model->wifi(), std::nullopt);
    EXPECT_EQ(model->localAddress(), std::nullopt);
}

// ---------------------------------------------------------- notifications

class AppModelNotifications : public AppModelTest {
protected:
    void SetUp() override {
        AppModelTest::SetUp();
        auto& object = services->object(notificationsPath);
        object.setMethod(notifications, QStringLiteral("GetServerInformation"), [this](const QDBusMessage&) {
            asked += 1;
            return std::optional<QVariantList>(
                QVariantList{QStringLiteral("stand-in"), QStringLiteral("nerivane"), QStringLiteral("1"), QStringLiteral("1.2")});
        });
        object.setMethod(notifications, QStringLiteral("Notify"), [this](const QDBusMessage& message) {
            std::lock_guard lock(mutex);
            titles.push_back(message.arguments().value(3).toString());
            return std::optional<QVariantList>(QVariantList{uint(titles.size())});
        });
    }

    std::vector<QString> postedTitles() {
        std::lock_guard lock(mutex);
        return titles;
    }

    std::atomic<int> asked{0};
    std::mutex mutex;
    std::vector<QString> titles;
};

TEST_F(AppModelNotifications, ASwitchNewlyOnAsksForPermission) {
    ASSERT_TRUE(services->own(notifications));
    preferences->setNotifyVerdictChanges(true);
    startedModel();
    ASSERT_TRUE(waitUntil([&] { return asked == 1; }));
    EXPECT_TRUE(model->alerts().verdictChanges);
    EXPECT_FALSE(model->alerts().outages);

    // The outage switch is newly on even though the other one already was.
    preferences->setNotifyOutages(true);
    ASSERT_TRUE(waitUntil([&] { return asked == 2; }));
    EXPECT_FALSE(model->notificationsDenied());
    EXPECT_TRUE(preferences->notifyOutages());

    // Other changes while both are on ask nothing.
    preferences->setInterval(2);
    test::runEventsFor(200);
    EXPECT_EQ(asked, 2);
    EXPECT_FALSE(model->notificationsDenied());
}

TEST_F(AppModelNotifications, RefusalSwitchesBothOff) {
    // No notification service on the bus: the request fails.
    preferences->setNotifyVerdictChanges(true);
    startedModel();
    ASSERT_TRUE(waitUntil([&] { return model->notificationsDenied(); }));
    EXPECT_FALSE(preferences->notifyVerdictChanges());
    EXPECT_FALSE(preferences->notifyOutages());
    QCoreApplication::sendPostedEvents();
    EXPECT_FALSE(model->alerts().verdictChanges);
    // Written through to the store, so the next launch does not ask again.
    Preferences reread(directory.filePath(QStringLiteral("nerivane.conf")));
    EXPECT_FALSE(reread.notifyVerdictChanges());

    // Granted later: the note goes away.
    ASSERT_TRUE(services->own(notifications));
    preferences->setNotifyOutages(true);
    ASSERT_TRUE(waitUntil([&] { return !model->notificationsDenied(); }));
    EXPECT_TRUE(preferences->notifyOutages());
}

TEST_F(AppModelNotifications, OutageAlertsArePostedWithTheirSnapshot) {
    ASSERT_TRUE(services->own(notifications));
    preferences->setNotifyOutages(true);
    startedModel();
    std::vector<AlertTracker::Alert> alerts;
    QObject::connect(model.get(), &AppModel::alertPosted,
                     [&](const AlertTracker::Alert& alert, const MonitorSnapshot&) { alerts.push_back(alert); });

    deliverSnapshot(snapshotOf(Verdict::internetDown, TargetState::down(), true, start - 4));
    EXPECT_TRUE(alerts.empty());
    clock += 6;
    deliverSnapshot(snapshotOf(Verdict::internetDown, TargetState::down(), true, start - 4));
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0], AlertTracker::Alert(AlertTracker::InternetDown{start - 4, {"1.1.1.1"}, Verdict::internetDown}));
    clock += 30;
    deliverSnapshot(snapshotOf(Verdict::good, TargetState::ok()));
    ASSERT_EQ(alerts.size(), 2u);
    EXPECT_EQ(alerts[1], AlertTracker::Alert(AlertTracker::InternetBack{40}));
    ASSERT_TRUE(waitUntil([&] { return postedTitles().size() == 2; }));
    EXPECT_EQ(postedTitles(), (std::vector<QString>{QStringLiteral("Internet down"), QStringLiteral("Internet back")}));
}

// --------------------------------------------------------------- history

TEST_F(AppModelTest, RunsWithoutHistoryWhenItCannotBeOpened) {
    auto environment = this->environment();
    environment.openHistory = [](const std::string&) -> std::unique_ptr<History> {
        throw std::runtime_error("open: unable to open database file");
    };
    model = std::make_unique<AppModel>(*preferences, environment);
    EXPECT_EQ(model->history(), nullptr);
    EXPECT_TRUE(logged("history unavailable: open: unable to open database file"));
    model->start();
    deliver(run().onUpdate, Monitor::EventUpdate{outage(start)});
    deliverSnapshot(snapshotOf(Verdict::good, TargetState::ok()),
                    {probe(TargetRole::internet(0), start, ProbeResult::Reply{5})});
    model->pauseForOneHour();
    EXPECT_EQ(model->recentEvents().size(), 1u);
}

}  // namespace
}  // namespace nerivane
