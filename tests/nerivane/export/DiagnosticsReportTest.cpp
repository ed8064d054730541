#include <gtest/gtest.h>

#include <QStringList>

#include <sys/stat.h>

#include <QThreadPool>
#include <future>

#include "NerivaneKit/history/History.h"
#include "nerivane/core/Preferences.h"
#include "nerivane/export/DiagnosticsClient.h"
#include "nerivane/export/DiagnosticsReport.h"
#include "support/HistoryTestSupport.h"
#include "support/qt/ModelHarness.h"
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
    contents.settings = {DisplayStyle::trace, MenuBarTarget::both, 0.5, 5, Accent::amber, QStringLiteral("1.1.1.1"),
                         QStringLiteral("9.9.9.9"), {QStringLiteral("nas.lan"), QStringLiteral("10.0.0.7")},
                         false, true, 14, true, false};

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
    Metrics& m = router.metrics;
    m.latest = 2.5, m.median = 2.25, m.p95 = 9.75, m.baseline = 1.5, m.jitter = 0.125, m.sent = 60, m.lost = 3, m.late = 1;
    TargetSnapshot host;
    host.target = {TargetRole::internet(0), "1.1.1.1", address("1.1.1.1")};
    host.answeredLocally = true;
    snapshot.targets = {router, host};
    LoadSnapshot load;
    load.interfaceName = "wlan0", load.now = LoadClass::upload, load.uploadBitsPerSecond = 19'500'000.4;
    load.capacity = {20e6, 100e6};
    load.upload = {RoleLoad{12, 480.5, 468.5, 40, 2}, std::nullopt, LoadGrade::f, QueuePlace::beyondRouter, now - 240, 2e7};
    snapshot.load = load;
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
        "under load:",
        "traffic interface=wlan0 now=upload upload-bps=19500000 download-bps=0 capacity-upload-bps=20000000 "
        "capacity-download-bps=100000000",
        "upload: grade=F queue=beyondRouter internet-idle=12.0 internet-busy=480.5 internet-added=468.5 "
        "internet-busy-probes=40 internet-busy-lost=2 last-busy=2026-03-14T10:16:00+01:00 last-busy-bps=20000000",
        "download: grade=none queue=unknown",
        "events (latest 50, newest first):",
        "2026-03-14T10:19:00+01:00 spike 9.9.9.9 9.9.9.9 4 s worst 310 ms",
        "2026-03-14T09:20:00+01:00 outage 1.1.1.1 1.1.1.1 42 s",
        "log (last 10 minutes):",
    };
    EXPECT_EQ(lines(DiagnosticsReport::text(madeUp())), expected);
}

// "nerivane --diagnostics" with no instance running reads the settings and
// the history file as it is (the tray stories ask a running instance over
// the bus): a missing file is not created; a 60-day-old outage kept by a
// 90-day retention is listed and stays, with the writer running and after it
// has gone; nothing is written, no mode changes, no lock, log or index file appears.
TEST(DiagnosticsReport, WithoutAnInstanceTheSettingsAndTheHistoryAreOnlyRead) {
    test::application();
    TempFolder folder;
    Preferences stored(QString::fromStdString(folder.path("nerivane.conf")));
    stored.setRetentionDays(90);
    const std::string missing = folder.path("none/history.sqlite");
    const QString offline = DiagnosticsClient::offlineReport(stored, missing);
    for (const char* part : {" retention=90d ", "\nno instance is running: no probing state, path or targets\n"
                                                "events (latest 50, newest first):\n"})
        EXPECT_TRUE(offline.contains(QString::fromUtf8(part))) << part;
    EXPECT_FALSE(std::filesystem::exists(missing));
    const std::string path = folder.path("history.sqlite");
    const double now = static_cast<double>(std::time(nullptr));
    const std::int64_t old = HistoryQueries::minuteStart(unixDate(now - 60 * 86400)).value();
    const std::string listed = "outage router 192.168.1.1 2 min";
    const auto rows = [](Database& db) {
        return std::make_tuple(count(db, "SELECT count(*) FROM events"), count(db, "SELECT count(*) FROM periods WHERE seconds = 60"));
    };
    {
        History writer(path);
        writer.withQueries([&](const HistoryQueries& store) {
            store.database().run(HistoryWriter::insertEventSQL,
                          {Database::Value::text("outage"), Database::Value::text("router"), Database::Value::text("router"),
                           Database::Value::text("192.168.1.1"), Database::Value::real(static_cast<double>(old)),
                           Database::Value::real(static_cast<double>(old + 120)), Database::Value::null()});
            putPeriod(store.database(), old, 60, "measured");
            putPeriod(store.database(), old + 50 * 86400, 60, "measured");
        });
        ::chmod(path.c_str(), 0640);
        const FileState file = fileState(path), log = fileState(path + "-wal");
        EXPECT_TRUE(DiagnosticsClient::offlineReport(stored, path).contains(QString::fromStdString(listed)));
        EXPECT_EQ(fileState(path), file);
        EXPECT_EQ(fileState(path + "-wal"), log);
        writer.withQueries([&](const HistoryQueries& store) { EXPECT_EQ(rows(store.database()), std::make_tuple(1, 2)); });
    }
    std::filesystem::remove(path + ".lock");
    ::chmod(path.c_str(), 0640);
    const FileState file = fileState(path);
    EXPECT_TRUE(DiagnosticsClient::offlineReport(stored, path).contains(QString::fromStdString(listed)));
    EXPECT_EQ(fileState(path), file);
    for (const char* suffix : {".lock", "-wal", "-shm", "-journal"})
        EXPECT_FALSE(std::filesystem::exists(path + suffix)) << suffix;
    Database check(path, Database::Access::readOnly);
    EXPECT_EQ(rows(check), std::make_tuple(1, 2));
}

// A report still reading when the model goes: the read, held up until then,
// finds the history gone and the report is made without events.
class DiagnosticsAtQuit : public test::ModelTest {};

TEST_F(DiagnosticsAtQuit, AReadThatStartsAfterTheModelIsGoneFindsNoHistory) {
    AppModel& appModel = startedModel();
    ASSERT_NE(appModel.history(), nullptr);
    QThreadPool& pool = *QThreadPool::globalInstance();
    const int threads = pool.maxThreadCount();
    pool.setMaxThreadCount(1);
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    pool.start([released] { released.wait(); });
    QObject context;
    std::optional<QString> report;
    DiagnosticsReport::collect(appModel, &context, [&](const QString& text) { report = text; });
    model.reset();
    release.set_value();
    EXPECT_TRUE(test::waitUntil([&] { return report.has_value(); }));
    pool.waitForDone();
    pool.setMaxThreadCount(threads);
    ASSERT_TRUE(report);
    EXPECT_TRUE(report->contains(QStringLiteral("events (latest 50, newest first):\nlog (last 10 minutes):\n")));
}

}  // namespace
}  // namespace nerivane
