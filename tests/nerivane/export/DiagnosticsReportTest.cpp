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

TEST(DiagnosticsReport, SystemLineFromOsReleaseAndLogLinesOfOurOwnOnly) {
    const QString kernel = QStringLiteral("6.1.0-18-amd64");
    EXPECT_EQ(DiagnosticsReport::systemLine(QStringLiteral("NAME=\"Debian GNU/Linux\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n"), kernel),
              QStringLiteral("Linux Debian GNU/Linux 12 (bookworm) 6.1.0-18-amd64"));
    EXPECT_EQ(DiagnosticsReport::systemLine(QStringLiteral("PRETTY_NAME=Arch\n"), kernel), QStringLiteral("Linux Arch 6.1.0-18-amd64"));
    EXPECT_EQ(DiagnosticsReport::systemLine(QString(), kernel), QStringLiteral("Linux 6.1.0-18-amd64"));

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
    snapshot.path.isSatisfied = true;
    snapshot.path.kind = NetworkPath::Kind::ethernet;
    TargetSnapshot host;
    host.target = {TargetRole::internet(0), "1.1.1.1", address("1.1.1.1")};
    host.status = TargetStatus::icmp;
    host.state = TargetState::ok();
    host.metrics.median = 11.5;
    snapshot.targets = {host};
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
    ASSERT_TRUE(live.has_value());
    EXPECT_TRUE(live->contains(QStringLiteral("\nverdict good\n"))) << live->toStdString();
    EXPECT_TRUE(live->contains(QStringLiteral("\ninternet[0]: 1.1.1.1 1.1.1.1 status=icmp state=ok median=11.5 ")));
    EXPECT_TRUE(live->contains(QStringLiteral(" outage 1.1.1.1 1.1.1.1 30.0 s\nlog (last 10 minutes):\n")));
    EXPECT_TRUE(live->contains(QStringLiteral(" retention=9d ")));

    // The instance ends: its history is written, its name and object go.
    model.stopMonitoring();
    model.history()->close();
    server.unregisterService(QString::fromUtf8(DiagnosticsService::serviceName));
    EXPECT_EQ(DiagnosticsClient::fetch(asking, 2000), std::nullopt);
    this->model.reset();

    const Preferences stored(directory.filePath(QStringLiteral("nerivane.conf")));
    const QString offline = DiagnosticsClient::offlineReport(stored, variables["NERIVANE_HISTORY"]);
    EXPECT_TRUE(offline.contains(QStringLiteral("\nno instance is running: no probing state, path or targets\n"
                                                "events (latest 50, newest first):\n")))
        << offline.toStdString();
    EXPECT_TRUE(offline.contains(QStringLiteral(" outage 1.1.1.1 1.1.1.1 30.0 s\n")));
    EXPECT_TRUE(offline.contains(QStringLiteral(" retention=9d ")));

    // A missing history file is reported as no events and is not created.
    const std::string missing = directory.filePath(QStringLiteral("none/history.sqlite")).toStdString();
    EXPECT_TRUE(DiagnosticsClient::offlineReport(stored, missing).contains(
        QStringLiteral("events (latest 50, newest first):\nlog (last 10 minutes):\n")));
    EXPECT_FALSE(QFile::exists(QString::fromStdString(missing)));
}

}  // namespace
}  // namespace nerivane
