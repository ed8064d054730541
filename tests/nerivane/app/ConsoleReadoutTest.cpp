#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>

#include "nerivane/app/ConsoleReadout.h"
#include "support/qt/ModelHarness.h"

namespace nerivane {
namespace {

using D = DisplayStyle;
using M = MenuBarTarget;
using Values = std::vector<std::optional<double>>;

// 2023-11-14 22:13:20 UTC.
constexpr double noon = 1'700'000'000;

VerdictTexts::Context context() { return {QLocale(QLocale::English, QLocale::UnitedStates), QTimeZone::utc(), noon}; }

TargetSnapshot targetSnapshot(TargetRole role, const std::string& host, TargetStatus status, std::optional<double> latest) {
    TargetSnapshot target{{role, host, *ProbeAddress::parse(role == TargetRole::router() ? "10.77.0.1" : host)}, status, TargetState::ok(), {}, false, {}};
    target.metrics.latest = latest, target.metrics.sent = 20, target.metrics.lost = 1;
    return target;
}

MonitorSnapshot snapshot(Verdict verdict, std::optional<double> internetLatest = 12.0,
                         TargetStatus internetStatus = TargetStatus::icmp) {
    MonitorSnapshot snapshot;
    snapshot.path.isSatisfied = true;
    snapshot.path.kind = NetworkPath::Kind::ethernet;
    snapshot.path.primaryInterface = snapshot.path.physicalInterface = "eth0";
    snapshot.path.routerIPv4 = ProbeAddress::parse("10.77.0.1");
    snapshot.verdict = verdict;
    snapshot.internet = TargetState::ok();
    snapshot.targets = {targetSnapshot(TargetRole::router(), "router", TargetStatus::icmp, 0.42),
                        targetSnapshot(TargetRole::internet(0), "1.1.1.1", internetStatus, internetLatest)};
    return snapshot;
}

TEST(ConsoleReadoutText, TracesCaptionsPaddedValuesAndMarks) {
    const Values none, internet{5.0, std::nullopt, 20.0}, router{1.0, 2.0};
    auto down = snapshot(Verdict::internetDown);
    down.targets[1].state = TargetState::down();
    auto noRouter = snapshot(Verdict::good);
    noRouter.targets.erase(noRouter.targets.begin());
    const std::vector<std::tuple<MonitorSnapshot, Values, D, M, bool, const char*>> rows{
        {snapshot(Verdict::good), none, D::text, M::internet, false, "RTT  12ms"},
        {snapshot(Verdict::good), none, D::text, M::router, false, "RTT 0.4ms"},
        {snapshot(Verdict::good, 12.0, TargetStatus::tcp), none, D::text, M::internet, false, "TCP  12ms"},
        // No value while warming up or down; the dash is not padded.
        {snapshot(Verdict::measuring, 12.0, TargetStatus::warmingUp), none, D::text, M::internet, false, "RTT \u2014"},
        {down, none, D::text, M::internet, false, "RTT \u2014 \u00d7"},
        {noRouter, none, D::text, M::both, false, "R     \u2014 I  12ms"},
        // Levels 0.25, 0 (lost) and 1 of the internet; 0.5 and 1 of the router (2 ms floor).
        {snapshot(Verdict::internetProblem), internet, D::textAndTrace, M::internet, false, "\u2583\u00b7\u2588 RTT  12ms !"},
        {snapshot(Verdict::good), internet, D::trace, M::both, false, "R \u2585\u2588 I \u2583\u00b7\u2588"},
        {snapshot(Verdict::offline), internet, D::text, M::router, true, "RTT 0.4ms \u2016"},
    };
    for (const auto& [shown, internetValues, style, target, paused, expected] : rows)
        EXPECT_EQ(MenuBarLayout::make(shown, internetValues, router, style, target, paused).text(), expected);
}

TEST(ConsoleReadoutLines, TextAndJsonCarryEveryField) {
    MonitorSnapshot offline;
    offline.verdict = Verdict::offline;
    EXPECT_EQ(ConsoleReadout::snapshotLine(offline, std::nullopt, "", context()), "22:13:20  Offline  No network.");
    const NetworkEvent event{NetworkEvent::Kind::outage, TargetRole::internet(0), "1.1.1.1", *ProbeAddress::parse("1.1.1.1"),
                             noon - 52, noon - 12, std::nullopt};
    EXPECT_EQ(ConsoleReadout::eventLine(event, context()), "22:13:20  Event: " + event.logLine() + " (from 22:12:28 to 22:13:08)");
    EXPECT_EQ(ConsoleReadout::notificationLine({QStringLiteral("Internet back"), QStringLiteral("It was down for 40s."), false}, context()),
              "22:13:20  Notification: Internet back: It was down for 40s.");

    auto shown = snapshot(Verdict::good);
    shown.targets[1].metrics.median = 11.5;
    shown.targets[1].state = TargetState::bad(Problems::loss() | Problems::latency());
    EXPECT_EQ(ConsoleReadout::snapshotJson(shown, std::nullopt, "RTT  12ms", context()), QJsonDocument::fromJson(R"({"type": "snapshot", "time": "2023-11-14T22:13:20.000+00:00",
        "date": 1700000000, "verdict": "good", "title": "Good", "explanation": "Router and internet are fine.", "readout": "RTT  12ms",
        "internet": "ok", "ipv6Problem": false, "offlineSince": null, "path": {"kind": "ethernet", "satisfied": true, "interface": "eth0",
        "physicalInterface": "eth0", "ipv4": false, "ipv6": false, "constrained": false, "expensive": false, "vpn": false,
        "routerIPv4": "10.77.0.1", "routerIPv6": null}, "targets": [{"role": "router", "host": "router", "address": "10.77.0.1",
        "status": "icmp", "state": "ok", "problems": [], "answeredLocally": false, "outageSince": null, "metrics": {"latest": 0.42,
        "median": null, "p95": null, "baseline": null, "jitter": null, "sent": 20, "lost": 1, "late": 0}}, {"role": "internet[0]",
        "host": "1.1.1.1", "address": "1.1.1.1", "status": "icmp", "state": "bad", "problems": ["loss", "latency"], "answeredLocally": false,
        "outageSince": null, "metrics": {"latest": 12, "median": 11.5, "p95": null, "baseline": null, "jitter": null, "sent": 20, "lost": 1,
        "late": 0}}]})").object());
    const NetworkEvent spike{NetworkEvent::Kind::spike, TargetRole::router(), "router", *ProbeAddress::parse("10.77.0.1"),
                             noon - 10, noon - 4, 300.0};
    EXPECT_EQ(ConsoleReadout::eventJson(spike), QJsonDocument::fromJson(R"({"type": "event", "kind": "spike",
        "role": "router", "host": "router", "address": "10.77.0.1", "start": 1699999990, "end": 1699999996,
        "duration": 6, "worstRTT": 300})").object());
}

// The readout wired to a model that a fake monitor feeds.
class ConsoleReadoutModel : public test::ModelTest {};

TEST_F(ConsoleReadoutModel, ALinePerSnapshotEventAndPause) {
    preferences->setDisplayStyle(DisplayStyle::text);
    model = std::make_unique<AppModel>(*preferences, environment());
    std::vector<std::string> lines, json;
    ConsoleReadout readout(*model, ConsoleReadout::Format::text, [&](const std::string& line) { lines.push_back(line); });
    ConsoleReadout jsonReadout(*model, ConsoleReadout::Format::json, [&](const std::string& line) { json.push_back(line); });
    model->start();

    deliver(run().onUpdate, Monitor::EventUpdate{NetworkEvent{NetworkEvent::Kind::outage, TargetRole::internet(0), "1.1.1.1",
                                                              *ProbeAddress::parse("1.1.1.1"), noon - 52, noon - 12, std::nullopt}});
    deliverSnapshot(snapshot(Verdict::good));
    model->pauseForOneHour();
    model->resume();

    ASSERT_EQ(lines.size(), 4u);
    ASSERT_EQ(json.size(), 4u);
    const std::vector<std::pair<std::string, std::string>> rows{{"  Event: outage 1.1.1.1", "{\"address\":\"1.1.1.1\""},
        {"  Good  RTT  12ms  Router and internet are fine.", "\"verdict\":\"good\""}, {"  Probing paused until ", "\"running\":false"},
        {"  Probing resumed", "\"running\":true"}};
    for (std::size_t i = 0; i < rows.size(); ++i)
        EXPECT_TRUE(lines[i].find(rows[i].first) != std::string::npos && json[i].find(rows[i].second) != std::string::npos) << lines[i] << json[i];
}

}  // namespace
}  // namespace nerivane
