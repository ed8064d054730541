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

Target target(TargetRole role, const std::string& host) { return {role, host, *ProbeAddress::parse(host)}; }

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
MonitorSnapshot good() { return snapshotOf(Verdict::good, TargetState::ok()); }
MonitorSnapshot onWiFi() {
    auto snapshot = good();
    snapshot.path.kind = NetworkPath::Kind::wifi;
    snapshot.path.physicalInterface = "wlan0";
    return snapshot;
}

NetworkEvent outage(double startTime) {
    return {NetworkEvent::Kind::outage, TargetRole::internet(0), "1.1.1.1", *ProbeAddress::parse("1.1.1.1"), startTime,
            startTime + 12, std::nullopt};
}

class AppModelTest : public test::ModelTest {
protected:
    MinuteState historyState() {
        model->history()->tick();
        return model->history()->withStore([](HistoryStore& store) { return store.state; });
    }
    // Blanks or wakes the screen through the screensaver stand-in.
    bool blank(bool active) {
        services->emitSignal(QStringLiteral("/org/freedesktop/ScreenSaver"), QStringLiteral("org.freedesktop.ScreenSaver"),
                             QStringLiteral("ActiveChanged"), {active});
        return waitUntil([&] { return model->system().displaysAsleep() == active; });
    }
};

TEST_F(AppModelTest, OneMonitorFromStartPauseIsNotExtendedAndStaleUpdatesOnlyReachHistory) {
    model = std::make_unique<AppModel>(*preferences, environment());
    model->applyPreferences();
    EXPECT_TRUE(runs.empty()) << "nothing runs before start";
    model->start();
    model->applyPreferences();  // hands the running monitor its settings, starts nothing new
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_TRUE(run().started);
    EXPECT_EQ(run().updates, std::vector<TargetSettings>{preferences->targetSettings()});

    // Updates queued before a pause are applied after it: dropped, but history takes them.
    const auto oldHandler = run().onUpdate;
    deliver(oldHandler, Monitor::EventUpdate{outage(start - 30)}, false);
    deliver(oldHandler, Monitor::SnapshotUpdate{good(), {probe(TargetRole::internet(0), start - 1, ProbeResult::Reply{12})}}, false);
    model->pauseForOneHour();
    EXPECT_TRUE(runs.front()->stopped);
    EXPECT_EQ(historyState(), MinuteState::paused);
    clock += 600;
    model->pauseForOneHour();
    EXPECT_EQ(model->pausedUntil(), start + 3600) << "a second pause does not extend the first";
    model->resume();
    model->resume();
    ASSERT_EQ(runs.size(), 2u);
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(model->snapshot(), MonitorSnapshot{});
    EXPECT_TRUE(model->samples().empty());
    EXPECT_EQ(model->history()->latestEvents(10), std::vector<NetworkEvent>{outage(start - 30)});
    deliver(run().onUpdate, Monitor::EventUpdate{outage(start - 10)});
    EXPECT_EQ(model->recentEvents(), std::vector<NetworkEvent>{outage(start - 10)});

    // Termination stops for good.
    model->stopMonitoring();
    model->resume();
    model->applyPreferences();
    EXPECT_FALSE(model->isMonitorRunning());
    EXPECT_EQ(runs.size(), 2u);
}

TEST_F(AppModelTest, LockRuleWithPause) {
    ASSERT_TRUE(services->own(QStringLiteral("org.freedesktop.ScreenSaver")));
    startedModel();
    // Stopping for the lock forgets an outage in progress.
    deliverSnapshot(snapshotOf(Verdict::internetDown, TargetState::down(), true, start - 5));
    ASSERT_TRUE(blank(true));
    EXPECT_FALSE(model->isMonitorRunning());
    EXPECT_EQ(historyState(), MinuteState::locked);
    EXPECT_FALSE(model->alerts().downSince.has_value());
    ASSERT_TRUE(blank(false) && model->isMonitorRunning());
    // Locking while paused tells history "paused"; unlocking starts nothing.
    model->pauseForOneHour();
    ASSERT_TRUE(blank(true));
    EXPECT_EQ(historyState(), MinuteState::paused);
    ASSERT_TRUE(blank(false) && !model->isMonitorRunning());
    model->resume();
    // Monitoring while locked, when the user asks for it; turned off again while locked, probing stops.
    preferences->setKeepMonitoringWhileLocked(true);
    ASSERT_TRUE(blank(true));
    QCoreApplication::sendPostedEvents();
    EXPECT_TRUE(model->isMonitorRunning());
    preferences->setKeepMonitoringWhileLocked(false);
    ASSERT_TRUE(waitUntil([&] { return !model->isMonitorRunning(); }));
    EXPECT_TRUE(model->isLockPaused());
}

TEST_F(AppModelTest, IntervalFollowsTheBatteryPreferenceAndIsSentOnlyWhenItChanges) {
    systemEnvironment.onBattery = QStringLiteral("1");
    startedModel();
    EXPECT_EQ(run().interval, 5.0);
    preferences->setInterval(2);
    preferences->setBatteryInterval(10);
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(run().intervals, std::vector<double>{10});
    EXPECT_TRUE(logged("interval 10.000000 s (battery)"));
}

TEST_F(AppModelTest, AnUnusableStoredIntervalIsNoFloodAndAnExpensivePathSlowsDown) {
    preferences->defaults().setValue(QStringLiteral("interval"), QStringLiteral("fast"));
    preferences->defaults().sync();
    preferences = std::make_unique<Preferences>(directory.filePath(QStringLiteral("nerivane.conf")));
    startedModel();
    EXPECT_EQ(run().interval, 1.0);
    preferences->setInterval(0.001);
    QCoreApplication::sendPostedEvents();
    auto snapshot = good();
    snapshot.path.isExpensive = true;
    deliverSnapshot(snapshot);
    EXPECT_EQ(run().intervals, (std::vector<double>{0.1, 5}));
}

TEST_F(AppModelTest, SeveralHostChangesApplyOnceAndTheEnvironmentReplacesOnlyTheInternetHosts) {
    startedModel();
    preferences->setPrimaryHost(QStringLiteral("9.9.9.9"));
    preferences->setSecondaryHost(QString());
    preferences->setCustomHosts({QStringLiteral("nas.lab")});
    preferences->setAccent(Accent::amber);  // untracked: changes nothing
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(run().updates, (std::vector<TargetSettings>{{{"9.9.9.9"}, true, {"nas.lab"}}}));
    for (const auto& [variable, hosts] : std::vector<std::pair<std::string, std::vector<std::string>>>{
             {"one.lab", {"one.lab"}}, {",,,", {}}, {" a ,,b ", {" a ", "b "}}}) {
        variables["NERIVANE_HOSTS"] = variable;
        EXPECT_EQ(model->targetSettings(), (TargetSettings{hosts, true, {"nas.lab"}})) << variable;
    }
}

TEST_F(AppModelTest, TraceBuffersAndOfflineTime) {
    startedModel();
    // At 1 s, everything sent within 60 s of the last snapshot: probes 30 to 89. At 5 s, the last 28.
    for (const auto& [role, spacing, count, kept, firstKept] :
         {std::tuple{TargetRole::internet(0), 1, 90, 60, 30.0}, std::tuple{TargetRole::router(), 5, 40, 28, 12.0}}) {
        for (int i = 0; i < count; ++i) {
            clock = start + spacing * i;
            deliverSnapshot(good(), {probe(role, clock - 0.5, ProbeResult::Reply{double(i)})});
        }
        const auto& buffer = model->samples().at(role);
        ASSERT_EQ(buffer.size(), std::size_t(kept));
        EXPECT_EQ(buffer.front(), (TraceSample{start + spacing * firstKept - 0.5, firstKept}));
        EXPECT_EQ(model->traceValues(role).size(), 28u);
    }
    // Sorted by time; a late reply leaves no sample, a loss a gap.
    const auto role = TargetRole::internet(1);
    deliverSnapshot(good(), {probe(role, clock - 1, ProbeResult::Reply{10}), probe(role, clock - 3, ProbeResult::Lost{}),
                             probe(role, clock - 2, ProbeResult::Late{2500})});
    EXPECT_EQ(model->traceValues(role), (std::vector<std::optional<double>>{std::nullopt, 10.0}));

    int changes = 0;
    QObject::connect(model.get(), &AppModel::snapshotChanged, [&] { changes += 1; });
    const double offline = clock;
    for (double later : {0, 5}) clock = offline + later, deliverSnapshot(snapshotOf(Verdict::offline, std::nullopt, false));
    EXPECT_EQ(model->offlineSince(), offline);
    EXPECT_EQ(historyState(), MinuteState::offline);
    EXPECT_EQ(changes, 1) << "observers hear only of changes";
    deliverSnapshot(good());
    EXPECT_EQ(model->offlineSince(), std::nullopt);
}

TEST_F(AppModelTest, OutageAlertsAndPermission) {
    test::NotificationServer server(*services);
    preferences->setNotifyVerdictChanges(true);
    startedModel();
    // No notification service on the bus: the request fails and both switches go off, in the store too.
    ASSERT_TRUE(waitUntil([&] { return model->notificationsDenied(); }));
    EXPECT_FALSE(Preferences(directory.filePath(QStringLiteral("nerivane.conf"))).notifyVerdictChanges());
    // Granted later: the note goes away; a switch newly on asks, other changes do not.
    ASSERT_TRUE(server.start());
    preferences->setNotifyOutages(true);
    ASSERT_TRUE(waitUntil([&] { return !model->notificationsDenied() && server.asked() == 1; }));
    preferences->setInterval(2);
    test::runEventsFor(200);
    EXPECT_EQ(server.asked(), 1);

    deliverSnapshot(snapshotOf(Verdict::internetDown, TargetState::down(), true, start - 4));
    clock += 36;
    deliverSnapshot(snapshotOf(Verdict::internetDown, TargetState::down(), true, start - 4));
    deliverSnapshot(good());
    ASSERT_TRUE(waitUntil([&] { return server.calls().size() == 2; }));
    EXPECT_EQ(server.titles(), (std::vector<QString>{QStringLiteral("Internet down"), QStringLiteral("Internet back")}));
}

TEST_F(AppModelTest, RunsWithoutHistoryWhenItCannotBeOpened) {
    auto environment = this->environment();
    environment.openHistory = [](const std::string&) -> std::unique_ptr<History> {
        throw std::runtime_error("open: unable to open database file");
    };
    model = std::make_unique<AppModel>(*preferences, environment);
    EXPECT_TRUE(logged("history unavailable: open: unable to open database file"));
    model->start();
    deliver(run().onUpdate, Monitor::EventUpdate{outage(start)});
    deliverSnapshot(good(), {probe(TargetRole::internet(0), start, ProbeResult::Reply{5})});
    model->pauseForOneHour();
    EXPECT_EQ(model->recentEvents().size(), 1u);
}

TEST_F(AppModelTest, TheStoredRetentionGovernsTheFirstMaintenanceAndAnInvalidOneKeepsEverything) {
    // History dates by the system clock: a row two months before today.
    const double today = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    const auto twoMonthsAgo = static_cast<std::int64_t>(today / 3600) * 3600 - 60 * 86400;
    ASSERT_TRUE(QDir(directory.path()).mkpath(QStringLiteral("history")));
    int file = 0;
    for (const auto& [stored, kept] : std::vector<std::pair<const char*, bool>>{
             {"90", true}, {"30", false}, {"30d", true}, {"many", true}, {"0", true}, {"-5", true}, {"99999999999", true}}) {
        SCOPED_TRACE(stored);
        const std::string path = directory.filePath(QStringLiteral("history/%1.sqlite").arg(++file)).toStdString();
        {
            HistoryStore store(std::make_shared<Database>(path));
            store.prepareSchema();
            store.db->run(HistoryStore::insertPeriodSQL, {Database::Value::integer(twoMonthsAgo), Database::Value::integer(3600),
                                                          Database::Value::text("measured"), Database::Value::null()});
        }
        variables["NERIVANE_HISTORY"] = path;
        const QString settings = directory.filePath(QStringLiteral("nerivane.conf"));
        QSettings(settings, QSettings::IniFormat).setValue(QStringLiteral("retentionDays"), QString::fromUtf8(stored));
        preferences = std::make_unique<Preferences>(settings);
        startedModel();
        // The first maintenance runs on history's queue at start; this read waits for it.
        EXPECT_EQ(model->history()->withStore([](HistoryStore& store) { return store.periods("1", {}).size(); }), kept ? 1u : 0u);
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
    deliverSnapshot(onWiFi());
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
