#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDateTime>
#include <QStringList>
#include <atomic>
#include <thread>

#include "nerivane/export/DiagnosticsClient.h"
#include "nerivane/export/DiagnosticsReport.h"
#include "nerivane/export/DiagnosticsService.h"
#include "support/qt/ModelHarness.h"

namespace nerivane {
namespace {

ProbeAddress address(const char* text) { return *ProbeAddress::parse(text); }

// Every line of the report on made-up state: each settings field, the paused
// and locked lines, a target without metrics, events with and without a worst
// time, and the log section empty.
constexpr double now = 1'773'480'000;  // 2026-03-14 09:20:00 UTC

DiagnosticsReport::Contents madeUp() {
    DiagnosticsReport::Contents contents;
    contents.facts = {QStringLiteral("1.2.0"), QStringLiteral("42"),
                      QStringLiteral("Linux Debian GNU/Linux 12 (bookworm) 6.1.0-18-amd64"), now,
                      TimeZone::fixed(3600)};
    contents.settings = {DisplayStyle::trace,
                         MenuBarTarget::both,
                         0.5,
                         5,
                         Accent::amber,
                         QStringLiteral("1.1.1.1"),
                         QStringLiteral("9.9.9.9"),
                         {QStringLiteral("nas.lan"), QStringLiteral("10.0.0.7")},
                         false,
                         true,
                         14,
                         true,
                         false};

    DiagnosticsReport::Live live;
    live.probingInterval = 5;
    live.stoppedWhileLocked = true;
    live.pausedUntil = now + 1800;
    MonitorSnapshot& snapshot = live.snapshot;
    snapshot.verdict = Verdict::internetProblem;
    snapshot.ipv6Problem = true;
    snapshot.path = {true, "wlan0", "wlan0", NetworkPath::Kind::wifi, false, true, true,
                     address("192.168.1.1"), std::nullopt, true, false};
    TargetSnapshot router;
    router.target = {TargetRole::router(), "router", address("192.168.1.1")};
    router.status = TargetStatus::icmp;
    router.state = TargetState::bad(Problems::loss() | Problems::latency());
    router.metrics = {2.5, 2.25, 9.75, 1.5, 0.125, 60, 3, 1};
    TargetSnapshot host;
    host.target = {TargetRole::internet(0), "1.1.1.1", address("1.1.1.1")};
    host.answeredLocally = true;
    snapshot.targets = {router, host};
    contents.live = live;

    contents.events = {
        {NetworkEvent::Kind::spike, TargetRole::internet(1), "9.9.9.9", address("9.9.9.9"), now - 60, now - 55.75,
         310.46},
        {NetworkEvent::Kind::outage, TargetRole::internet(0), "1.1.1.1", address("1.1.1.1"), now - 3600,
         now - 3558, std::nullopt},
    };
    return contents;
}

QStringList lines(const QString& text) {
    EXPECT_TRUE(text.endsWith(u'\n'));
    return text.chopped(1).split(u'\n');
}

TEST(DiagnosticsReport, EveryLineOfALiveReport) {
    const QStringList expected{
        "nerivane 1.2.0 (42)",
        "Linux Debian GNU/Linux 12 (bookworm) 6.1.0-18-amd64",
        "time 2026-03-14T10:20:00+01:00",
        "settings style=trace target=both interval=0.5s battery-interval=5.0s accent=amber "
        "hosts=1.1.1.1,9.9.9.9 custom=nas.lan,10.0.0.7 ipv6=false keep-while-locked=true retention=14d "
        "notify-outages=true notify-verdicts=false",
        "probing interval=5.0, stopped while locked",
        "verdict internetProblem (paused until 2026-03-14T10:50:00+01:00), IPv6 problem",
        "path satisfied=true kind=wifi interface=wlan0 physical=wlan0 vpn=false ipv4=true ipv6=true "
        "expensive=true constrained=false",
        "router ipv4=192.168.1.1 ipv6=none",
        "targets:",
        "router: router 192.168.1.1 status=icmp state=bad(loss+latency) median=2.25 p95=9.75 min=1.5 "
        "jitter=0.125 sent=60 lost=3 late=1",
        "internet[0]: 1.1.1.1 1.1.1.1 answered-locally status=warmingUp state=measuring median=none p95=none "
        "min=none jitter=none sent=0 lost=0 late=0",
        "events (latest 50, newest first):",
        "2026-03-14T10:19:00+01:00 spike 9.9.9.9 9.9.9.9 4.2 s worst 310.5 ms",
        "2026-03-14T09:20:00+01:00 outage 1.1.1.1 1.1.1.1 42.0 s",
        "log (last 10 minutes):",
    };
    EXPECT_EQ(lines(DiagnosticsReport::text(madeUp())), expected);
}

TEST(DiagnosticsReport, SystemLineFromOsReleaseAndLogLinesOfOurOwnOnly) {
    for (const auto& [osRelease, line] : std::vector<std::pair<QString, QString>>{
             {"NAME=\"Debian\"\nPRETTY_NAME=\"Debian 12\"\n", "Linux Debian 12 6.1"}, {"PRETTY_NAME=Arch\n", "Linux Arch 6.1"}, {"", "Linux 6.1"}})
        EXPECT_EQ(DiagnosticsReport::systemLine(osRelease, QStringLiteral("6.1")), line);

    LogStore::Configuration configuration;
    configuration.stderrOutput = LogStore::StderrOutput::never;
    LogStore store(configuration);
    store.write(LogLevel::info, Log::defaultSubsystem, "app", "model started\nwith two lines");
    store.write(LogLevel::info, "org.example.Other", "app", "not ours");
    store.write(LogLevel::error, Log::defaultSubsystem, "history", "history read: query: disk I/O error");
    EXPECT_EQ(DiagnosticsReport::logLines(store),
              (std::vector<std::string>{"model started with two lines", "history read: query: disk I/O error"}));
}

// The story of "nerivane --diagnostics": a running model answers over the
// bus with its live state and stored events; once it is gone, the same
// command reads the settings and the history file and says no instance runs.
class DiagnosticsStory : public test::ModelTest {};

TEST_F(DiagnosticsStory, LiveOverTheBusThenFromTheFilesWithoutAnInstance) {
    preferences->setRetentionDays(9);
    // The history file is pruned by the real clock when it is opened again.
    clock = static_cast<double>(QDateTime::currentSecsSinceEpoch());
    AppModel& model = startedModel();
    MonitorSnapshot snapshot;
    snapshot.verdict = Verdict::good;
    snapshot.targets = {madeUp().live->snapshot.targets[1]};
    snapshot.targets[0].answeredLocally = false;
    snapshot.targets[0].status = TargetStatus::icmp;
    snapshot.targets[0].state = TargetState::ok();
    snapshot.targets[0].metrics.median = 11.5;
    deliverSnapshot(snapshot);
    model.history()->record(NetworkEvent{NetworkEvent::Kind::outage, TargetRole::internet(0), "1.1.1.1",
                                         address("1.1.1.1"), clock - 100, clock - 70, std::nullopt});
    model.history()->tick();

    QDBusConnection server = bus->connect(QStringLiteral("instance"));
    ASSERT_TRUE(server.registerService(QString::fromUtf8(DiagnosticsService::serviceName)));
    ASSERT_TRUE(DiagnosticsService::registerOn(model, &model, server));

    // The client blocks on its call; the instance answers from this thread's loop.
    QDBusConnection asking = bus->connect(QStringLiteral("asking"));
    std::optional<QString> live;
    std::atomic<bool> answered{false};
    std::thread client([&] {
        live = DiagnosticsClient::fetch(asking);
        answered = true;
    });
    ASSERT_TRUE(test::waitUntil([&] { return answered.load(); }));
    client.join();
    for (const char* part : {"\nverdict good\n", "\ninternet[0]: 1.1.1.1 1.1.1.1 status=icmp state=ok median=11.5 ",
                             " outage 1.1.1.1 1.1.1.1 30.0 s\nlog (last 10 minutes):\n", " retention=9d "})
        EXPECT_TRUE(live.value_or(QString()).contains(QString::fromUtf8(part))) << part;

    // The instance ends: its history is written, its name and object go.
    model.stopMonitoring();
    model.history()->close();
    server.unregisterService(QString::fromUtf8(DiagnosticsService::serviceName));
    EXPECT_EQ(DiagnosticsClient::fetch(asking, 2000), std::nullopt);
    this->model.reset();

    const Preferences stored(directory.filePath(QStringLiteral("nerivane.conf")));
    const QString offline = DiagnosticsClient::offlineReport(stored, variables["NERIVANE_HISTORY"]);
    for (const char* part : {"\nno instance is running: no probing state, path or targets\nevents (latest 50, newest first):\n",
                             " outage 1.1.1.1 1.1.1.1 30.0 s\n", " retention=9d "})
        EXPECT_TRUE(offline.contains(QString::fromUtf8(part))) << part;

    // A missing history file is reported as no events and is not created.
    const std::string missing = directory.filePath(QStringLiteral("none/history.sqlite")).toStdString();
    EXPECT_TRUE(DiagnosticsClient::offlineReport(stored, missing).contains(
        QStringLiteral("events (latest 50, newest first):\nlog (last 10 minutes):\n")));
    EXPECT_FALSE(QFile::exists(QString::fromStdString(missing)));
}

}  // namespace
}  // namespace nerivane
