#include <gtest/gtest.h>

#include <QDir>
#include <QSettings>
#include <chrono>
#include <stdexcept>

#include "NerivaneKit/history/HistoryStore.h"
#include "support/qt/ModelHarness.h"

namespace nerivane {
namespace {

using test::waitUntil;

const QString screenSaver = QStringLiteral("org.freedesktop.ScreenSaver");

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

class AppModelTest : public test::ModelTest {
protected:
    MinuteState historyState() {
        model->history()->tick();
        return model->history()->withStore([](HistoryStore& store) { return store.state; });
    }

    // Blanks or wakes the screen through the screensaver stand-in.
    bool blank(bool active) {
        services->emitSignal(QStringLiteral("/org/freedesktop/ScreenSaver"), screenSaver,
                             QStringLiteral("ActiveChanged"), {active});
        return waitUntil([&] { return model->system().displaysAsleep() == active; });
    }
};

// ----------------------------------------------------------- run state

TEST_F(AppModelTest, NothingRunsBeforeStartThenOneMonitorWithThePreferences) {
    model = std::make_unique<AppModel>(*preferences, environment());
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

TEST_F(AppModelTest, PauseStopsUntilResumeAndIsNotExtendedAndTerminationStopsForGood) {
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

    model->stopMonitoring();
    EXPECT_TRUE(run().stopped);
    model->pauseForOneHour();
    model->resume();
    model->applyPreferences();
    EXPECT_FALSE(model->isMonitorRunning());
    EXPECT_EQ(runs.size(), 2u);
}

TEST_F(AppModelTest, LockRuleWithPause) {
    ASSERT_TRUE(services->own(screenSaver));
    startedModel();
    // Stopping for the lock forgets an outage in progress.
    deliverSnapshot(snapshotOf(Verdict::internetDown, TargetState::down(), true, start - 5));
    ASSERT_TRUE(model->alerts().downSince.has_value());

    ASSERT_TRUE(blank(true));
    EXPECT_FALSE(model->isMonitorRunning());
    EXPECT_TRUE(model->isLockPaused());
    EXPECT_EQ(historyState(), MinuteState::locked);
    EXPECT_TRUE(logged("stopped: locked"));
    EXPECT_FALSE(model->alerts().downSince.has_value());
    EXPECT_FALSE(model->alerts().postedDown);

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

// -------------------------------------------------------------- interval

TEST_F(AppModelTest, IntervalFollowsBatteryPathAndPreferencesAndIsSentOnlyWhenItChanges) {
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

TEST_F(AppModelTest, SeveralHostChangesApplyOnceAndTheEnvironmentReplacesOnlyTheInternetHosts) {
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

    // Both a running monitor and a new one get the environment's hosts.
    variables["NERIVANE_HOSTS"] = "one.lab";
    model->applyPreferences();
    EXPECT_EQ(run().updates.back(), (TargetSettings{{"one.lab"}, true, {"nas.lab"}}));
    model->pauseForOneHour();
    model->resume();
    EXPECT_EQ(run().settings, (TargetSettings{{"one.lab"}, true, {"nas.lab"}}));
    variables["NERIVANE_HOSTS"] = ",,,";
    EXPECT_EQ(model->targetSettings().internetHosts, std::vector<std::string>{});
    variables["NERIVANE_HOSTS"] = " a ,,b ";
    EXPECT_EQ(model->targetSettings().internetHosts, (std::vector<std::string>{" a ", "b "}));
}

// ------------------------------------------------------- snapshot state

TEST_F(AppModelTest, TraceBuffersKeepTheLastMinuteOrTwentyEightSamples) {
    startedModel();
    // At 1 s, everything sent within 60 s of the last snapshot: probes 30 to
    // 89. At 5 s, the last 28.
    for (const auto& [role, spacing, count, kept, firstKept] :
         {std::tuple{TargetRole::internet(0), 1, 90, 60, 30.0}, std::tuple{TargetRole::router(), 5, 40, 28, 12.0}}) {
        for (int i = 0; i < count; ++i) {
            clock = start + spacing * i;
            deliverSnapshot(snapshotOf(Verdict::good, TargetState::ok()),
                            {probe(role, clock - 0.5, ProbeResult::Reply{double(i)})});
        }
        const auto& buffer = model->samples().at(role);
        ASSERT_EQ(buffer.size(), std::size_t(kept));
        EXPECT_EQ(buffer.front(), (TraceSample{start + spacing * firstKept - 0.5, firstKept}));
        EXPECT_EQ(buffer.back().rtt, count - 1.0);
        const auto values = model->traceValues(role);
        ASSERT_EQ(values.size(), 28u);
        EXPECT_EQ(values.front(), count - 28.0);
        EXPECT_EQ(values.back(), count - 1.0);
    }
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
    EXPECT_TRUE(model->traceValues(TargetRole::router()).empty());
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

TEST_F(AppModelTest, OfflineSinceIsTheFirstUnsatisfiedSnapshotAndObserversHearOnlyOfChanges) {
    startedModel();
    int snapshotChanges = 0;
    int applied = 0;
    QObject::connect(model.get(), &AppModel::snapshotChanged, [&] { snapshotChanges += 1; });
    QObject::connect(model.get(), &AppModel::snapshotApplied, [&] { applied += 1; });
    deliverSnapshot(snapshotOf(Verdict::offline, std::nullopt, false));
    EXPECT_EQ(model->offlineSince(), start);
    clock += 5;
    deliverSnapshot(snapshotOf(Verdict::offline, std::nullopt, false));
    EXPECT_EQ(model->offlineSince(), start);
    EXPECT_EQ(historyState(), MinuteState::offline);
    EXPECT_EQ(snapshotChanges, 1);
    EXPECT_EQ(applied, 2);
    deliverSnapshot(snapshotOf(Verdict::good, TargetState::ok(), true));
    EXPECT_EQ(model->offlineSince(), std::nullopt);
    EXPECT_EQ(historyState(), MinuteState::measured);
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

// ------------------------------------------------ notifications, history

TEST_F(AppModelTest, OutageAlertsArePostedWithTheModelsClock) {
    test::NotificationServer server(*services);
    ASSERT_TRUE(server.start());
    preferences->setNotifyOutages(true);
    startedModel();
    std::vector<AlertTracker::Alert> alerts;
    QObject::connect(model.get(), &AppModel::alertPosted,
                     [&](const AlertTracker::Alert& alert, const MonitorSnapshot&) { alerts.push_back(alert); });
    deliverSnapshot(snapshotOf(Verdict::internetDown, TargetState::down(), true, start - 4));
    EXPECT_TRUE(alerts.empty());
    clock += 6;
    deliverSnapshot(snapshotOf(Verdict::internetDown, TargetState::down(), true, start - 4));
    EXPECT_EQ(alerts.size(), 1u);
    clock += 30;
    deliverSnapshot(snapshotOf(Verdict::good, TargetState::ok()));
    EXPECT_EQ(alerts, (std::vector<AlertTracker::Alert>{
                          AlertTracker::InternetDown{start - 4, {"1.1.1.1"}, Verdict::internetDown},
                          AlertTracker::InternetBack{40}}));
    ASSERT_TRUE(waitUntil([&] { return server.calls().size() == 2; }));
    EXPECT_EQ(server.titles(), (std::vector<QString>{QStringLiteral("Internet down"), QStringLiteral("Internet back")}));
}

TEST_F(AppModelTest, ASwitchNewlyOnAsksForPermission) {
    test::NotificationServer server(*services);
    ASSERT_TRUE(server.start());
    preferences->setNotifyVerdictChanges(true);
    startedModel();
    ASSERT_TRUE(waitUntil([&] { return server.asked() == 1; }));
    EXPECT_TRUE(model->alerts().verdictChanges);
    EXPECT_FALSE(model->alerts().outages);

    // The outage switch is newly on even though the other one already was.
    preferences->setNotifyOutages(true);
    ASSERT_TRUE(waitUntil([&] { return server.asked() == 2; }));
    EXPECT_FALSE(model->notificationsDenied());
    EXPECT_TRUE(preferences->notifyOutages());

    // Other changes while both are on ask nothing.
    preferences->setInterval(2);
    test::runEventsFor(200);
    EXPECT_EQ(server.asked(), 2);
    EXPECT_FALSE(model->notificationsDenied());
}

TEST_F(AppModelTest, RefusalSwitchesBothNotificationsOff) {
    // No notification service on the bus: the request fails.
    test::NotificationServer server(*services);
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
    ASSERT_TRUE(server.start());
    preferences->setNotifyOutages(true);
    ASSERT_TRUE(waitUntil([&] { return !model->notificationsDenied(); }));
    EXPECT_TRUE(preferences->notifyOutages());
}

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

// ------------------------------------------------------------------ history

TEST_F(AppModelTest, TheStoredRetentionGovernsTheFirstMaintenanceAndAnInvalidOneKeepsEverything) {
    // History dates by the system clock: a row two months before today.
    const double today = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    const auto twoMonthsAgo = static_cast<std::int64_t>(today / 3600) * 3600 - 60 * 86400;
    struct Case {
        const char* stored;
        bool kept;
    };
    const Case cases[] = {{"90", true},  {"30", false}, {"30d", true},         {"many", true},
                          {"0", true},   {"-5", true},  {"99999999999", true}};
    ASSERT_TRUE(QDir(directory.path()).mkpath(QStringLiteral("history")));
    int file = 0;
    for (const auto& [stored, kept] : cases) {
        SCOPED_TRACE(stored);
        const std::string path =
            directory.filePath(QStringLiteral("history/%1.sqlite").arg(++file)).toStdString();
        {
            HistoryStore store(std::make_shared<Database>(path));
            store.prepareSchema();
            store.db->run(HistoryStore::insertPeriodSQL, {Database::Value::integer(twoMonthsAgo),
                                                          Database::Value::integer(3600),
                                                          Database::Value::text("measured"), Database::Value::null()});
        }
        variables["NERIVANE_HISTORY"] = path;
        const QString settings = directory.filePath(QStringLiteral("nerivane.conf"));
        QSettings(settings, QSettings::IniFormat).setValue(QStringLiteral("retentionDays"), QString::fromUtf8(stored));
        preferences = std::make_unique<Preferences>(settings);

        startedModel();
        // The first maintenance runs on history's queue at start; this read waits for it.
        const auto rows = model->history()->withStore([](HistoryStore& store) { return store.periods("1", {}).size(); });
        EXPECT_EQ(rows, kept ? 1u : 0u);
        model.reset();
    }
}

// A notifier that tells when the model's teardown reached it.
class WatchedNotifier : public Notifier {
public:
    WatchedNotifier(QDBusConnection bus, std::atomic<bool>& gone) : Notifier(std::move(bus)), gone_(gone) {}
    ~WatchedNotifier() override { gone_ = true; }

private:
    std::atomic<bool>& gone_;
};

TEST_F(AppModelTest, HistoryStopsBeforeAnythingItsTimerReadsIsDestroyed) {
    std::atomic<bool> notifierGone = false, armed = false, entered = false, sawTeardown = false;
    auto environment = this->environment();
    environment.makeNotifier = [&] { return std::make_unique<WatchedNotifier>(*client, notifierGone); };
    // A tick reading the signal while the model is torn down: it holds the
    // tick until the teardown reaches the notifier, or a second has passed.
    environment.readSignal = [&](const std::string&) -> std::optional<int> {
        if (!armed) return -60;
        entered = true;
        for (int i = 0; i < 100 && !notifierGone; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        sawTeardown = notifierGone.load();
        return -60;
    };
    model = std::make_unique<AppModel>(*preferences, environment);
    model->start();
    auto wifi = snapshotOf(Verdict::good, TargetState::ok());
    wifi.path.kind = NetworkPath::Kind::wifi;
    wifi.path.physicalInterface = "wlan0";
    deliverSnapshot(wifi);
    ASSERT_EQ(model->wifiInterface(), "wlan0");
    History* history = model->history();
    history->withStore([](HistoryStore&) { return 0; });

    armed = true;
    std::thread ticker([history] { history->tick(); });
    ASSERT_TRUE(waitUntil([&] { return entered.load(); }));
    model.reset();
    ticker.join();
    EXPECT_FALSE(sawTeardown) << "the model's members went while history's timer could still read them";
}

}  // namespace
}  // namespace nerivane
