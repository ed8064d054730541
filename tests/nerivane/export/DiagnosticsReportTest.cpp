#include <gtest/gtest.h>

#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

#include "nerivane/core/Preferences.h"
#include "nerivane/export/DiagnosticsClient.h"
#include "nerivane/export/DiagnosticsReport.h"
#include "support/qt/QtSupport.h"

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

// "nerivane --diagnostics" with no instance running reads the settings and
// the history file; the tray stories ask a running instance over the bus.
TEST(DiagnosticsReport, WithoutAnInstanceTheSettingsAreReadAndAMissingHistoryIsNotCreated) {
    test::application();
    QTemporaryDir directory;
    Preferences stored(directory.filePath(QStringLiteral("nerivane.conf")));
    stored.setRetentionDays(9);
    const std::string missing = directory.filePath(QStringLiteral("none/history.sqlite")).toStdString();
    const QString offline = DiagnosticsClient::offlineReport(stored, missing);
    for (const char* part : {" retention=9d ", "\nno instance is running: no probing state, path or targets\n"
                                               "events (latest 50, newest first):\nlog (last 10 minutes):\n"})
        EXPECT_TRUE(offline.contains(QString::fromUtf8(part))) << part;
    EXPECT_FALSE(QFile::exists(QString::fromStdString(missing)));
}

}  // namespace
}  // namespace nerivane
