#include <gtest/gtest.h>

#include "support/qt/QtSupport.h"
#include "nerivane/core/VerdictTexts.h"

namespace nerivane {
namespace {

using namespace VerdictTexts;

// 2024-01-06 10:00:00 UTC.
constexpr double saturdayMorning = 1704535200;

Context english(QTimeZone zone = QTimeZone::utc()) { return {QLocale(QLocale::English, QLocale::UnitedStates), zone, saturdayMorning}; }

TargetSnapshot target(TargetRole role, std::string host, TargetState state, int lost = 0, int sent = 0, std::optional<double> p95 = {},
                      TargetStatus status = TargetStatus::icmp) {
    TargetSnapshot snapshot;
    snapshot.target = {role, std::move(host), ProbeAddress::v4({192, 0, 2, 1})};
    snapshot.status = status;
    snapshot.state = state;
    snapshot.metrics.sent = sent, snapshot.metrics.lost = lost, snapshot.metrics.p95 = p95;
    return snapshot;
}
TargetSnapshot router(TargetState state, TargetStatus status = TargetStatus::icmp) { return target(TargetRole::router(), "router", state, 0, 0, {}, status); }
TargetSnapshot internet(int index, std::string host, TargetState state, int lost = 0, int sent = 0, std::optional<double> p95 = {}) {
    return target(TargetRole::internet(index), std::move(host), state, lost, sent, p95);
}
TargetSnapshot local(TargetSnapshot target) { return target.answeredLocally = true, target; }
TargetSnapshot refused(TargetSnapshot target) { return target.status = TargetStatus::pingNotPermitted, target; }

MonitorSnapshot snapshot(Verdict verdict, std::vector<TargetSnapshot> targets, NetworkPath::Kind kind = NetworkPath::Kind::ethernet) {
    MonitorSnapshot result;
    result.path.isSatisfied = verdict != Verdict::offline, result.path.kind = kind;
    result.targets = std::move(targets), result.verdict = verdict;
    return result;
}

// Newer locale data puts a narrow no-break space before AM and PM.
QString plain(QString text) {
    return text.replace(QChar(0x202f), QLatin1Char(' ')).replace(QChar(0x00a0), QLatin1Char(' '));
}

const auto ok = TargetState::ok();
const auto lossy = TargetState::bad(Problems::loss());

TEST(VerdictTexts, ExplanationNamesWhatTheVerdictRestsOn) {
    const auto host = internet(0, "1.1.1.1", ok);
    for (const auto& [shown, offlineSince, expected] : std::vector<std::tuple<MonitorSnapshot, std::optional<double>, QString>>{
        {snapshot(Verdict::good, {host}), {}, "The internet is fine. The router can't be measured."},
        {snapshot(Verdict::good, {router(TargetState::measuring()), host}), {}, "Router and internet are fine."},
        {snapshot(Verdict::good, {refused(router(TargetState::measuring())), host}), {},
         "The internet is fine. Ping isn't permitted, so the router can't be measured."},
        // Only measured internet hosts are named: not one answered locally, a custom host or IPv6.
        {snapshot(Verdict::internetProblem, {router(ok), internet(0, "1.1.1.1", lossy, 12, 100), local(internet(1, "8.8.8.8", lossy, 50, 100)),
                                             target(TargetRole::custom(0), "nas", lossy, 90, 100),
                                             target(TargetRole::internetIPv6(), "::1", lossy, 90, 100)}),
         {}, "Router is fine; 12% loss to 1.1.1.1."},
        {snapshot(Verdict::internetUnmeasured, {router(ok), local(host)}), {}, "Something on the local network answers for the internet hosts."},
        // Every host silent before an outage can be told; a router slow only to its own pings.
        {[&] {
             auto shown = snapshot(Verdict::internetProblem, {router(ok), internet(0, "1.1.1.1", lossy, 1, 60)});
             shown.internetSilentSince = saturdayMorning - 3.4;
             return shown;
         }(),
         {}, "No reply from the internet for 3 s."},
        {snapshot(Verdict::good, {[] {
                      auto slow = router(ok);
                      slow.slowToOwnPings = true;
                      return slow;
                  }(),
                                  host}),
         {}, "The internet is fine. The router is slow to answer ping."},
        {snapshot(Verdict::offline, {}), saturdayMorning - 3300, "No network since 9:05 AM."},
    })
        EXPECT_EQ(plain(verdictExplanation(shown, offlineSince, english())), expected);
}

TEST(VerdictTexts, SlowWhileBusyNamesTheDirectionTheRoundTripsAndTheCureWhereTheQueueIs) {
    auto busy = [](LoadClass now, QueuePlace queue, NetworkPath::Kind kind, bool figures = true) {
        MonitorSnapshot shown = snapshot(Verdict::slowWhileBusy, {router(ok)}, kind);
        LoadSnapshot load;
        load.now = now;
        DirectionLoad& direction = now == LoadClass::download ? load.download : load.upload;
        if (figures) direction.internet = RoleLoad{12, 480, 468, 40, 0};
        direction.queue = queue;
        shown.load = load;
        return plain(verdictExplanation(shown, {}, english()));
    };
    const QString sqm = " The router's queue is too large (bufferbloat); turning on Smart Queue Management (CAKE or "
                        "fq_codel) in the router fixes it.";
    EXPECT_EQ(busy(LoadClass::upload, QueuePlace::beyondRouter, NetworkPath::Kind::ethernet),
              "Latency rises from 12 ms to 480 ms while you upload." + sqm);
    EXPECT_EQ(busy(LoadClass::download, QueuePlace::unknown, NetworkPath::Kind::ethernet, false),
              "Latency rises while you download." + sqm);
    EXPECT_TRUE(busy(LoadClass::both, QueuePlace::thisSide, NetworkPath::Kind::wifi).contains("on the Wi\u2011Fi link"));
    EXPECT_TRUE(busy(LoadClass::upload, QueuePlace::thisSide, NetworkPath::Kind::ethernet).contains("in this computer"));
}

TEST(VerdictTexts, PingThatIsNotPermittedIsNamedWithItsFix) {
    const auto unmeasured = snapshot(Verdict::internetUnmeasured, {refused(router(TargetState::measuring())),
                                                                   refused(internet(0, "1.1.1.1", TargetState::measuring()))});
    Context context = english();
    context.groupID = 1000;
    EXPECT_EQ(verdictTitle(unmeasured), "Ping not permitted");
    EXPECT_EQ(verdictExplanation(unmeasured, std::nullopt, context),
              "Ping isn't permitted for this user (group 1000). Allow it with: "
              "sudo sysctl -w net.ipv4.ping_group_range=\"0 1000\"");
    // Hosts measured over TCP keep the verdict.
    EXPECT_EQ(verdictTitle(snapshot(Verdict::good, {refused(router(TargetState::measuring())), internet(0, "1.1.1.1", ok)})), "Good");
}

TEST(VerdictTexts, NumbersAtTheirRoundingBoundaries) {
    for (const auto& [text, expected] : std::vector<std::pair<QString, QString>>{
        {percentText(0), "0%"}, {percentText(0.04), "0.0%"}, {percentText(9.94), "9.9%"}, {percentText(9.95), "10%"},
        {percentText(37.5), "38%"}, {millisecondsText(std::nullopt), "\u2014"}, {millisecondsText(3.44), "3.4 ms"},
        {millisecondsText(999.5), "1.0 s"}, {millisecondsText(12345), "12 s"},
        {spokenMilliseconds(9.95, english()), "10 milliseconds"}, {spokenMilliseconds(1234.5, english()), "1,235 milliseconds"},
        {durationText(0.2, english()), "1s"}, {durationText(-3, english()), "1s"}, {durationText(42.49, english()), "42s"},
        {durationText(59.5, english()), "1m"}, {durationText(125, english()), "2m 5s"}, {durationText(3725.9, english()), "1h 2m"},
        // The zero minutes hold the second place: seconds beyond it are cut off.
        {durationText(3606, english()), "1h"}, {durationText(90061, english()), "25h 1m"},
        {summaryText(ProblemSummary::Kind::loss, 4.2, {"router"}, english()), "4.2% loss to the router"},
        {summaryText(ProblemSummary::Kind::latency, 1234, {"a", "b", "c"}, english()), "slow replies from a, b, and c (p95 1.2 s)"},
    })
        EXPECT_EQ(text, expected);
}

TEST(VerdictTexts, TimeOfDayAloneForTodayWhereTheUserIs) {
    // 23:30 UTC on the 5th is the 6th two hours east.
    const double lateOnFriday = saturdayMorning - 10.5 * 3600;
    EXPECT_EQ(plain(timeText(lateOnFriday, english(QTimeZone(7200)))), "1:30 AM");
    EXPECT_EQ(plain(timeText(lateOnFriday, english())), "Jan 5, 11:30 PM");
}

}  // namespace
}  // namespace nerivane
