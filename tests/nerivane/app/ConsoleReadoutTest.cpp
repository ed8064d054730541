#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QJsonArray>
#include <QTemporaryDir>
#include <memory>
#include <thread>

#include "nerivane/app/ConsoleReadout.h"
#include "nerivane/core/PrivateBus.h"
#include "nerivane/core/QtSupport.h"

namespace nerivane {
namespace {

using D = DisplayStyle;
using M = MenuBarTarget;
using Values = std::vector<std::optional<double>>;

// 2023-11-14 22:13:20 UTC.
constexpr double noon = 1'700'000'000;

VerdictTexts::Context context() {
    return {QLocale(QLocale::English, QLocale::UnitedStates), QTimeZone::utc(), noon};
}

TargetSnapshot targetSnapshot(TargetRole role, const std::string& host, const std::string& address, TargetStatus status,
                              TargetState state, std::optional<double> latest) {
    TargetSnapshot target;
    target.target = {role, host, *ProbeAddress::parse(address)};
    target.status = status;
    target.state = state;
    target.metrics.latest = latest;
    target.metrics.sent = 20;
    target.metrics.lost = 1;
    return target;
}

MonitorSnapshot snapshot(Verdict verdict, std::optional<double> internetLatest = 12.0,
                         TargetStatus internetStatus = TargetStatus::icmp) {
    MonitorSnapshot snapshot;
    snapshot.path.isSatisfied = true;
    snapshot.path.kind = NetworkPath::Kind::ethernet;
    snapshot.path.primaryInterface = "eth0";
    snapshot.path.physicalInterface = "eth0";
    snapshot.path.routerIPv4 = ProbeAddress::parse("10.77.0.1");
    snapshot.verdict = verdict;
    snapshot.internet = TargetState::ok();
    snapshot.targets.push_back(targetSnapshot(TargetRole::router(), "router", "10.77.0.1", TargetStatus::icmp,
                                              TargetState::ok(), 0.42));
    snapshot.targets.push_back(targetSnapshot(TargetRole::internet(0), "1.1.1.1", "1.1.1.1", internetStatus,
                                              TargetState::ok(), internetLatest));
    return snapshot;
}

TEST(ConsoleReadoutText, OneTargetAsCaptionAndPaddedValue) {
    const Values none;
    EXPECT_EQ(ConsoleReadout::readoutText(snapshot(Verdict::good), none, none, D::text, M::internet, false), "RTT  12ms");
    EXPECT_EQ(ConsoleReadout::readoutText(snapshot(Verdict::good), none, none, D::text, M::router, false), "RTT 0.4ms");
    EXPECT_EQ(ConsoleReadout::readoutText(snapshot(Verdict::good, 12.0, TargetStatus::tcp), none, none, D::text,
                                          M::internet, false),
              "TCP  12ms");
    // No value while warming up, without a reply, or down; the dash is not padded.
    EXPECT_EQ(ConsoleReadout::readoutText(snapshot(Verdict::measuring, 12.0, TargetStatus::warmingUp), none, none,
                                          D::text, M::internet, false),
              "RTT \u2014");
    EXPECT_EQ(ConsoleReadout::readoutText(snapshot(Verdict::good, std::nullopt), none, none, D::text, M::internet,
                                          false),
              "RTT \u2014");
    auto down = snapshot(Verdict::internetDown);
    down.targets[1].state = TargetState::down();
    EXPECT_EQ(ConsoleReadout::readoutText(down, none, none, D::text, M::internet, false), "RTT \u2014 \u00d7");
    EXPECT_EQ(ConsoleReadout::readoutText(MonitorSnapshot{}, none, none, D::text, M::internet, false), "RTT \u2014");
}

TEST(ConsoleReadoutText, BothTargetsAsTwoPaddedRows) {
    const Values none;
    auto missing = snapshot(Verdict::good);
    missing.targets.erase(missing.targets.begin());
    EXPECT_EQ(ConsoleReadout::readoutText(snapshot(Verdict::good), none, none, D::text, M::both, false),
              "R 0.4ms I  12ms");
    EXPECT_EQ(ConsoleReadout::readoutText(missing, none, none, D::text, M::both, false), "R     \u2014 I  12ms");
}

TEST(ConsoleReadoutText, TracesMarksAndPause) {
    const Values internet{5.0, std::nullopt, 20.0};
    const Values router{1.0, 2.0};
    // Levels 0.25, 0 (lost) and 1 of the internet; 0.5 and 1 of the router (2 ms floor).
    EXPECT_EQ(ConsoleReadout::traceText(internet, 10), "\u2583\u00b7\u2588");
    EXPECT_EQ(ConsoleReadout::traceText({}, 10), "");
    EXPECT_EQ(ConsoleReadout::readoutText(snapshot(Verdict::good), internet, router, D::trace, M::internet, false),
              "\u2583\u00b7\u2588");
    EXPECT_EQ(ConsoleReadout::readoutText(snapshot(Verdict::internetProblem), internet, router, D::textAndTrace,
                                          M::internet, false),
              "\u2583\u00b7\u2588 RTT  12ms !");
    EXPECT_EQ(ConsoleReadout::readoutText(snapshot(Verdict::good), internet, router, D::trace, M::both, false),
              "R \u2585\u2588 I \u2583\u00b7\u2588");
    EXPECT_EQ(ConsoleReadout::readoutText(snapshot(Verdict::offline), internet, router, D::text, M::router, true),
              "RTT 0.4ms \u2016");
}

TEST(ConsoleReadoutLines, SnapshotEventAndNotification) {
    EXPECT_EQ(ConsoleReadout::snapshotLine(snapshot(Verdict::good), std::nullopt, "RTT  12ms", context()),
              "22:13:20  Good  RTT  12ms  Router and internet are fine.");
    MonitorSnapshot offline;
    offline.verdict = Verdict::offline;
    EXPECT_EQ(ConsoleReadout::snapshotLine(offline, std::nullopt, "", context()), "22:13:20  Offline  No network.");

    const NetworkEvent event{NetworkEvent::Kind::outage, TargetRole::internet(0), "1.1.1.1",
                             *ProbeAddress::parse("1.1.1.1"), noon - 52, noon - 12, std::nullopt};
    EXPECT_EQ(ConsoleReadout::eventLine(event, context()),
              "22:13:20  Event: " + event.logLine() + " (from 22:12:28 to 22:13:08)");
    EXPECT_EQ(ConsoleReadout::notificationLine({QStringLiteral("Internet back"), QStringLiteral("It was down for 40s."),
                                                false},
                                               context()),
              "22:13:20  Notification: Internet back: It was down for 40s.");
}

TEST(ConsoleReadoutJson, SnapshotCarriesVerdictPathAndTargets) {
    auto shown = snapshot(Verdict::good);
    shown.targets[1].metrics.median = 11.5;
    const auto json = ConsoleReadout::snapshotJson(shown, std::nullopt, "RTT  12ms", context());
    EXPECT_EQ(json["type"].toString(), "snapshot");
    EXPECT_EQ(json["verdict"].toString(), "good");
    EXPECT_EQ(json["title"].toString(), "Good");
    EXPECT_EQ(json["explanation"].toString(), "Router and internet are fine.");
    EXPECT_EQ(json["internet"].toString(), "ok");
    EXPECT_EQ(json["date"].toDouble(), noon);
    EXPECT_EQ(json["path"]["kind"].toString(), "ethernet");
    EXPECT_EQ(json["path"]["routerIPv4"].toString(), "10.77.0.1");
    EXPECT_TRUE(json["path"]["routerIPv6"].isNull());
    const auto targets = json["targets"].toArray();
    ASSERT_EQ(targets.size(), 2);
    const auto host = targets[1].toObject();
    EXPECT_EQ(host["role"].toString(), "internet[0]");
    EXPECT_EQ(host["host"].toString(), "1.1.1.1");
    EXPECT_EQ(host["address"].toString(), "1.1.1.1");
    EXPECT_EQ(host["status"].toString(), "icmp");
    EXPECT_EQ(host["state"].toString(), "ok");
    EXPECT_EQ(host["metrics"]["latest"].toDouble(), 12.0);
    EXPECT_EQ(host["metrics"]["median"].toDouble(), 11.5);
    EXPECT_TRUE(host["metrics"]["p95"].isNull());
    EXPECT_EQ(host["metrics"]["sent"].toInt(), 20);
    EXPECT_EQ(host["metrics"]["lost"].toInt(), 1);

    auto bad = snapshot(Verdict::internetProblem);
    bad.targets[1].state = TargetState::bad(Problems::loss() | Problems::latency());
    const auto problems = ConsoleReadout::snapshotJson(bad, std::nullopt, "", context())["targets"][1]["problems"];
    EXPECT_EQ(problems.toArray(), (QJsonArray{QStringLiteral("loss"), QStringLiteral("latency")}));
}

TEST(ConsoleReadoutJson, Event) {
    const NetworkEvent spike{NetworkEvent::Kind::spike, TargetRole::router(), "router",
                             *ProbeAddress::parse("10.77.0.1"), noon - 10, noon - 4, 300.0};
    const auto json = ConsoleReadout::eventJson(spike);
    EXPECT_EQ(json["type"].toString(), "event");
    EXPECT_EQ(json["kind"].toString(), "spike");
    EXPECT_EQ(json["role"].toString(), "router");
    EXPECT_EQ(json["duration"].toDouble(), 6.0);
    EXPECT_EQ(json["worstRTT"].toDouble(), 300.0);
}

// The readout wired to a model that a fake monitor feeds.
class FakeMonitor : public AppModel::MonitorControl {
public:
    void start() override {}
    void stop() override {}
    void update(const TargetSettings&) override {}
    void setInterval(double) override {}
};

TEST(ConsoleReadoutModel, ALinePerSnapshotEventAndPause) {
    test::application();
    test::PrivateBus bus;
    ASSERT_TRUE(bus.isRunning());
    auto client = bus.connect(QStringLiteral("readout"));
    QTemporaryDir directory;
    Preferences preferences(directory.filePath(QStringLiteral("nerivane.conf")));
    preferences.setDisplayStyle(DisplayStyle::text);

    Monitor::UpdateHandler deliver;
    AppModel::Environment environment;
    environment.variable = [&](const char* name) -> std::optional<std::string> {
        if (std::string(name) == "NERIVANE_HISTORY") return directory.filePath(QStringLiteral("h.sqlite")).toStdString();
        return std::nullopt;
    };
    environment.makeMonitor = [&](const TargetSettings&, double, Monitor::UpdateHandler onUpdate) {
        deliver = std::move(onUpdate);
        return std::make_unique<FakeMonitor>();
    };
    environment.makeSystemState = [&] { return std::make_unique<SystemState>(client, client, SystemState::Environment{}); };
    environment.makeNotifier = [&] { return std::make_unique<Notifier>(client); };
    AppModel model(preferences, environment);

    std::vector<std::string> lines;
    ConsoleReadout readout(model, ConsoleReadout::Format::text, [&](const std::string& line) { lines.push_back(line); });
    std::vector<std::string> json;
    ConsoleReadout jsonReadout(model, ConsoleReadout::Format::json, [&](const std::string& line) { json.push_back(line); });
    model.start();
    ASSERT_TRUE(deliver);

    const NetworkEvent event{NetworkEvent::Kind::outage, TargetRole::internet(0), "1.1.1.1",
                             *ProbeAddress::parse("1.1.1.1"), noon - 52, noon - 12, std::nullopt};
    std::thread([&] {
        deliver(Monitor::EventUpdate{event});
        deliver(Monitor::SnapshotUpdate{snapshot(Verdict::good), {}});
    }).join();
    QCoreApplication::sendPostedEvents();
    model.pauseForOneHour();
    model.resume();

    ASSERT_EQ(lines.size(), 4u);
    EXPECT_NE(lines[0].find("  Event: outage 1.1.1.1"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("  Good  RTT  12ms  Router and internet are fine."), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find("  Probing paused until "), std::string::npos) << lines[2];
    EXPECT_NE(lines[3].find("  Probing resumed"), std::string::npos) << lines[3];
    ASSERT_EQ(json.size(), 4u);
    EXPECT_EQ(json[0].rfind("{\"address\":\"1.1.1.1\"", 0), 0u) << json[0];
    EXPECT_NE(json[1].find("\"verdict\":\"good\""), std::string::npos);
    EXPECT_NE(json[2].find("\"running\":false"), std::string::npos);
    EXPECT_EQ(json[0].find('\n'), std::string::npos);
}

}  // namespace
}  // namespace nerivane
