#include <gtest/gtest.h>

#include <QDir>
#include <QSettings>
#include <chrono>

#include "support/HistoryTestSupport.h"
#include "support/qt/ModelHarness.h"

namespace nerivane {
namespace {

using test::waitUntil;

MonitorSnapshot good() {
    MonitorSnapshot snapshot;
    snapshot.path.isSatisfied = true;
    snapshot.path.kind = NetworkPath::Kind::ethernet;
    snapshot.path.physicalInterface = "eth0";
    snapshot.verdict = Verdict::good;
    snapshot.internet = TargetState::ok();
    return snapshot;
}

NetworkEvent outage(double startTime) { return nerivane::outage(cloudflare(), startTime, startTime + 12); }

class AppModelTest : public test::ModelTest {};

TEST_F(AppModelTest, OneMonitorPauseIsNotExtendedAndStaleUpdatesOnlyReachHistory) {
    startedModel();
    model->applyPreferences();  // hands the running monitor its settings, starts nothing new
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_TRUE(run().started);
    EXPECT_EQ(run().updates, std::vector<TargetSettings>{preferences->targetSettings()});
    EXPECT_EQ(run().lookupUpdates, std::vector<LookupSettings>{preferences->lookupSettings()});

    // Updates queued before a pause are applied after it: dropped, but history takes them.
    const auto oldHandler = run().onUpdate;
    deliver(oldHandler, Monitor::EventUpdate{outage(start - 30)}, false);
    deliver(oldHandler, Monitor::SnapshotUpdate{good(), {reply(cloudflare(), start - 1, 12)}, {{start - 1, 1, 500, 700}}}, false);
    model->pauseForOneHour();
    EXPECT_TRUE(runs.front()->stopped);
    model->history()->tick();
    EXPECT_EQ(model->history()->withWriter([](HistoryWriter& store) { return store.state(); }), MinuteState::paused);
    clock += 600;
    model->pauseForOneHour();
    EXPECT_EQ(model->pausedUntil(), start + 3600) << "a second pause does not extend the first";
    model->resume();
    model->resume();
    ASSERT_EQ(runs.size(), 2u);
    // The counter reads reached history; the new monitor is handed history's
    // capacity (read after the request it made at its start).
    EXPECT_EQ(model->history()->linkCapacity(), LinkCapacity{});
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(run().capacities, std::vector<LinkCapacity>{LinkCapacity{}});
    EXPECT_EQ(model->history()->withQueries([](const HistoryQueries& store) { return count(store.database(), "SELECT sum(sent_bytes) FROM periods"); }), 500);
    EXPECT_EQ(model->snapshot(), MonitorSnapshot{});
    EXPECT_TRUE(model->samples().empty());
    EXPECT_EQ(model->history()->latestEvents(10), std::vector<NetworkEvent>{outage(start - 30)});
    deliver(run().onUpdate, Monitor::EventUpdate{outage(start - 10)});
    EXPECT_EQ(model->recentEvents(), std::vector<NetworkEvent>{outage(start - 10)});
}

// The stretches of a busy link that tell which spikes came with an upload:
// one per busy spell, growing while it lasts.
TEST_F(AppModelTest, BusySnapshotsMakeOneStretchPerBusySpell) {
    startedModel();
    auto busy = good();
    busy.load = LoadSnapshot{}, busy.load->now = LoadClass::upload;
    auto idle = busy;
    idle.load->now = LoadClass::idle;
    for (int i = 0; i < 20; ++i, clock += 1) deliverSnapshot(busy);
    deliverSnapshot(idle);
    clock += 30;
    deliverSnapshot(busy);
    EXPECT_EQ(model->busySpans(), (std::vector<Incident::BusySpan>{{LoadDirection::upload, start - 1, start + 19},
                                                                   {LoadDirection::upload, start + 49, start + 50}}));
}

TEST_F(AppModelTest, AnUnusableStoredIntervalIsNoFloodAndASlowPathSendsTheBatteryIntervalWhenItChanges) {
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
    // On an expensive path the battery interval rules: a new regular one changes nothing.
    preferences->setInterval(2);
    preferences->setBatteryInterval(10);
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(run().intervals, (std::vector<double>{0.1, 5, 10}));
}

TEST_F(AppModelTest, TheStoredRetentionGovernsTheFirstMaintenanceAndAnInvalidOneKeepsEverything) {
    // A row two months before the model's clock, by which history dates.
    const auto twoMonthsAgo = static_cast<std::int64_t>(start / 3600) * 3600 - 60 * 86400;
    ASSERT_TRUE(QDir(directory.path()).mkpath(QStringLiteral("history")));
    int file = 0;
    for (const auto& [stored, kept] : std::vector<std::pair<const char*, bool>>{
             {"90", true}, {"30", false}, {"30d", true}, {"many", true}, {"0", true}, {"-5", true}, {"99999999999", true}}) {
        SCOPED_TRACE(stored);
        const std::string path = directory.filePath(QStringLiteral("history/%1.sqlite").arg(++file)).toStdString();
        putPeriod(openStore(path).database(), twoMonthsAgo, 3600, "measured");
        variables["NERIVANE_HISTORY"] = path;
        const QString settings = directory.filePath(QStringLiteral("nerivane.conf"));
        QSettings(settings, QSettings::IniFormat).setValue(QStringLiteral("retentionDays"), QString::fromUtf8(stored));
        preferences = std::make_unique<Preferences>(settings);
        startedModel();
        // The first maintenance runs on history's queue at start; this read waits for it.
        EXPECT_EQ(model->history()->withQueries([](const HistoryQueries& store) { return store.periods("1", {}).size(); }), kept ? 1u : 0u);
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
    auto onWiFi = good();
    onWiFi.path.kind = NetworkPath::Kind::wifi, onWiFi.path.physicalInterface = "wlan0";
    deliverSnapshot(onWiFi);
    History* history = model->history();
    history->withQueries([](const HistoryQueries&) { return 0; });
    armed = true;
    std::thread ticker([history] { history->tick(); });
    ASSERT_TRUE(waitUntil([&] { return entered.load(); }));
    model.reset();
    ticker.join();
    EXPECT_FALSE(sawTeardown) << "the model's members went while history's timer could still read them";
}


// No notification service at login is no refusal: the switches stay on, in
// the file too, and once a service takes its name an alert reaches it.
TEST_F(AppModelTest, AMissingNotificationServiceKeepsTheSwitchesAndALaterOneGetsTheAlerts) {
    preferences->setNotifyOutages(true);
    preferences->setNotifyVerdictChanges(true);
    startedModel();
    const auto answered = [&] {
        for (const auto& entry : logs.entries(std::chrono::seconds(600)))
            if (entry.message.find("no notification service") != std::string::npos) return true;
        return !preferences->notifyOutages();
    };
    ASSERT_TRUE(waitUntil(answered)) << "the permission request was never answered";
    EXPECT_TRUE(preferences->notifyOutages() && preferences->notifyVerdictChanges());
    const Preferences reread(directory.filePath(QStringLiteral("nerivane.conf")));
    EXPECT_TRUE(reread.notifyOutages() && reread.notifyVerdictChanges()) << "switched off for good";

    test::NotificationServer server(*services);
    ASSERT_TRUE(server.start());
    auto down = good();
    down.verdict = Verdict::internetDown;
    down.internet = TargetState::down();
    deliverSnapshot(down);
    clock += AlertTracker::downSeconds.count() + 1;
    deliverSnapshot(down);
    EXPECT_TRUE(waitUntil([&] { return !server.calls().empty(); })) << "the outage never reached the service";
    EXPECT_EQ(server.titles(), std::vector<QString>{"Internet down"});
}

// The welcome's offer turns outage notifications on where a service answers,
// once: switched off in the welcome, they stay off.
TEST_F(AppModelTest, TheWelcomeTurnsOutageNotificationsOnWhereAServiceAnswers) {
    test::NotificationServer server(*services);
    ASSERT_TRUE(server.start());
    startedModel();
    model->offerOutageNotifications();
    EXPECT_TRUE(waitUntil([&] { return preferences->notifyOutages(); }));
    preferences->setNotifyOutages(false);
    model->offerOutageNotifications();
    EXPECT_FALSE(waitUntil([&] { return preferences->notifyOutages(); }, 300));
}

// The timer that ends a pause stands still while the machine sleeps; waking
// after the pause's end by the wall clock ends it at once.
TEST_F(AppModelTest, APauseWhoseEndPassedDuringSleepEndsOnWake) {
    ASSERT_TRUE(services->own(QStringLiteral("org.freedesktop.login1")));
    startedModel();
    model->pauseForOneHour();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_TRUE(run().stopped);
    clock += 2 * AppModel::pauseSeconds;
    services->emitSignal(QStringLiteral("/org/freedesktop/login1"), QStringLiteral("org.freedesktop.login1.Manager"),
                         QStringLiteral("PrepareForSleep"), {false});
    EXPECT_TRUE(waitUntil([&] { return !model->pausedUntil(); })) << "still paused after waking past its end";
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_TRUE(run().started);
}

}  // namespace
}  // namespace nerivane
