#include <gtest/gtest.h>

#include <QDateTime>

#include "support/qt/QtSupport.h"
#include "nerivane/core/VerdictTexts.h"

namespace nerivane {
namespace {

using namespace VerdictTexts;

// 2024-01-06 10:00:00 UTC.
constexpr double saturdayMorning = 1704535200;

Context english(double now = saturdayMorning, QTimeZone zone = QTimeZone::utc()) {
    return {QLocale(QLocale::English, QLocale::UnitedStates), zone, now};
}

TargetSnapshot target(TargetRole role, std::string host, TargetStatus status, TargetState state,
                      Metrics metrics = {}) {
    TargetSnapshot snapshot;
    snapshot.target = Target{role, std::move(host), ProbeAddress::v4({192, 0, 2, 1})};
    snapshot.status = status;
    snapshot.state = state;
    snapshot.metrics = metrics;
    return snapshot;
}

TargetSnapshot router(TargetState state, Metrics metrics = {}, TargetStatus status = TargetStatus::icmp) {
    return target(TargetRole::router(), "router", status, state, metrics);
}

TargetSnapshot internet(int index, std::string host, TargetState state, Metrics metrics = {}) {
    return target(TargetRole::internet(index), std::move(host), TargetStatus::icmp, state, metrics);
}

Metrics metricsOf(int lost, int sent, std::optional<double> p95 = std::nullopt,
                  std::optional<double> jitter = std::nullopt) {
    Metrics metrics;
    metrics.sent = sent;
    metrics.lost = lost;
    metrics.p95 = p95;
    metrics.jitter = jitter;
    return metrics;
}

MonitorSnapshot snapshot(Verdict verdict, std::vector<TargetSnapshot> targets,
                         NetworkPath::Kind kind = NetworkPath::Kind::ethernet) {
    MonitorSnapshot result;
    result.path.isSatisfied = verdict != Verdict::offline;
    result.path.kind = kind;
    result.targets = std::move(targets);
    result.verdict = verdict;
    return result;
}

// Newer locale data puts a narrow no-break space before AM and PM.
QString plain(QString text) {
    return text.replace(QChar(0x202f), QLatin1Char(' ')).replace(QChar(0x00a0), QLatin1Char(' '));
}

QString explain(const MonitorSnapshot& snapshot, std::optional<double> offlineSince = std::nullopt) {
    return plain(verdictExplanation(snapshot, offlineSince, english()));
}

const auto lossy = TargetState::bad(Problems::loss());
const auto slow = TargetState::bad(Problems::latency());

TEST(VerdictTexts, EveryVerdictHasItsTitle) {
    EXPECT_EQ(verdictTitle(Verdict::measuring), "Measuring");
    EXPECT_EQ(verdictTitle(Verdict::good), "Good");
    EXPECT_EQ(verdictTitle(Verdict::internetProblem), "Internet problem");
    EXPECT_EQ(verdictTitle(Verdict::internetDown), "Internet down");
    EXPECT_EQ(verdictTitle(Verdict::localProblem), "Local network problem");
    EXPECT_EQ(verdictTitle(Verdict::localDown), "Local network down");
    EXPECT_EQ(verdictTitle(Verdict::connectionProblem), "Connection problem");
    EXPECT_EQ(verdictTitle(Verdict::connectionDown), "Connection down");
    EXPECT_EQ(verdictTitle(Verdict::internetUnmeasured), "Can't measure the internet");
    EXPECT_EQ(verdictTitle(Verdict::offline), "Offline");
}

TEST(VerdictTexts, GoodDependsOnWhatTheRouterSays) {
    const auto host = internet(0, "1.1.1.1", TargetState::ok());
    EXPECT_EQ(explain(snapshot(Verdict::good, {host})), "The internet is fine. The router can't be measured.");
    EXPECT_EQ(explain(snapshot(Verdict::good, {router(TargetState::measuring(), {}, TargetStatus::doesntAnswerPing), host})),
              "The internet is fine. The router can't be measured.");
    EXPECT_EQ(explain(snapshot(Verdict::good, {router(TargetState::ok(), {}, TargetStatus::unreachableVPN), host})),
              "The internet is fine. The router can't be measured.");
    EXPECT_EQ(explain(snapshot(Verdict::good, {router(TargetState::measuring()), host})), "Router and internet are fine.");
    EXPECT_EQ(explain(snapshot(Verdict::good, {router(TargetState::ok(), {}, TargetStatus::tcp), host})),
              "Router and internet are fine.");
    EXPECT_EQ(explain(snapshot(Verdict::good, {router(slow), host})),
              "The internet is fine. The router is slow to answer ping.");
    EXPECT_EQ(explain(snapshot(Verdict::good, {router(TargetState::down()), host})),
              "The internet is fine. The router is slow to answer ping.");
}

TEST(VerdictTexts, InternetProblemNamesTheMeasuredInternetHostsOnly) {
    auto local = internet(1, "8.8.8.8", lossy, metricsOf(50, 100));
    local.answeredLocally = true;
    const auto custom = target(TargetRole::custom(0), "nas", TargetStatus::icmp, lossy, metricsOf(90, 100));
    const auto v6 = target(TargetRole::internetIPv6(), "1.1.1.1", TargetStatus::icmp, lossy, metricsOf(90, 100));
    EXPECT_EQ(explain(snapshot(Verdict::internetProblem,
                               {router(TargetState::ok()), internet(0, "1.1.1.1", lossy, metricsOf(12, 100)), local, custom, v6})),
              "Router is fine; 12% loss to 1.1.1.1.");
    EXPECT_EQ(explain(snapshot(Verdict::internetProblem,
                               {router(TargetState::ok()), internet(0, "1.1.1.1", slow, metricsOf(0, 0, 180)),
                                internet(1, "8.8.8.8", slow, metricsOf(0, 0, 240))})),
              "Router is fine; slow replies from 1.1.1.1 and 8.8.8.8 (p95 240 ms).");
    EXPECT_EQ(explain(snapshot(Verdict::internetProblem, {router(TargetState::ok()), custom})),
              "Router is fine; trouble beyond it.");
}

TEST(VerdictTexts, DownVerdictsHaveFixedSentences) {
    EXPECT_EQ(explain(snapshot(Verdict::measuring, {})), "The first verdict comes after 10 seconds of probes.");
    EXPECT_EQ(explain(snapshot(Verdict::internetDown, {})), "Router is fine, but no internet host answers.");
    EXPECT_EQ(explain(snapshot(Verdict::localDown, {})), "Can't reach the router.");
    EXPECT_EQ(explain(snapshot(Verdict::connectionDown, {})),
              "No internet host answers. The router can't be measured, so local and internet trouble can't be told apart.");
}

TEST(VerdictTexts, LocalProblemNamesTheRoutersTrouble) {
    EXPECT_EQ(explain(snapshot(Verdict::localProblem, {router(lossy, metricsOf(12, 100))})),
              "The local network or the router: 12% loss to the router.");
    EXPECT_EQ(explain(snapshot(Verdict::localProblem, {router(TargetState::bad(Problems::jitter()), metricsOf(0, 0, std::nullopt, 4.25))},
                               NetworkPath::Kind::wifi)),
              "Wi\u2011Fi or the router: 4.2 ms jitter to the router.");
    // An internet host's trouble is not the router's.
    EXPECT_EQ(explain(snapshot(Verdict::localProblem, {router(TargetState::down()), internet(0, "1.1.1.1", lossy, metricsOf(3, 4))},
                               NetworkPath::Kind::wifi)),
              "Wi\u2011Fi or the router.");
    EXPECT_EQ(explain(snapshot(Verdict::localProblem, {})), "The local network or the router.");
}

TEST(VerdictTexts, ConnectionProblemStartsWithACapital) {
    EXPECT_EQ(explain(snapshot(Verdict::connectionProblem, {internet(0, "1.1.1.1", slow, metricsOf(0, 0, 240))})),
              "Slow replies from 1.1.1.1 (p95 240 ms). The router can't be measured, so local and internet trouble "
              "can't be told apart.");
    EXPECT_EQ(explain(snapshot(Verdict::connectionProblem, {internet(0, "1.1.1.1", lossy, metricsOf(1, 3))})),
              "33% loss to 1.1.1.1. The router can't be measured, so local and internet trouble can't be told apart.");
    EXPECT_EQ(explain(snapshot(Verdict::connectionProblem, {internet(0, "1.1.1.1", TargetState::measuring())})),
              "Trouble on the way to the internet. The router can't be measured, so local and internet trouble can't "
              "be told apart.");
}

TEST(VerdictTexts, UnmeasuredAndOffline) {
    auto local = internet(0, "1.1.1.1", TargetState::ok());
    local.answeredLocally = true;
    EXPECT_EQ(explain(snapshot(Verdict::internetUnmeasured, {router(TargetState::ok()), local})),
              "Something on the local network answers for the internet hosts.");
    EXPECT_EQ(explain(snapshot(Verdict::internetUnmeasured, {router(TargetState::ok())})),
              "The internet hosts couldn't be resolved.");
    EXPECT_EQ(explain(snapshot(Verdict::offline, {})), "No network.");
    EXPECT_EQ(explain(snapshot(Verdict::offline, {}), saturdayMorning - 3600 + 5 * 60), "No network since 9:05 AM.");
}

TEST(VerdictTexts, PingThatIsNotPermittedIsNamedWithItsFix) {
    const auto refused = [](TargetSnapshot target) {
        target.status = TargetStatus::pingNotPermitted;
        return target;
    };
    const auto unmeasured = snapshot(Verdict::internetUnmeasured,
                                     {refused(router(TargetState::measuring())),
                                      refused(internet(0, "1.1.1.1", TargetState::measuring()))});
    Context context = english();
    context.groupID = 1000;
    EXPECT_EQ(verdictTitle(unmeasured), "Ping not permitted");
    EXPECT_EQ(verdictExplanation(unmeasured, std::nullopt, context),
              "Ping isn't permitted for this user (group 1000). Allow it with: "
              "sudo sysctl -w net.ipv4.ping_group_range=\"0 1000\"");

    // Hosts measured over TCP keep the verdict; the router's silence is explained.
    const auto overTCP =
        snapshot(Verdict::good, {refused(router(TargetState::measuring())), internet(0, "1.1.1.1", TargetState::ok())});
    EXPECT_EQ(verdictTitle(overTCP), "Good");
    EXPECT_EQ(explain(overTCP), "The internet is fine. Ping isn't permitted, so the router can't be measured.");
    EXPECT_EQ(verdictTitle(snapshot(Verdict::internetUnmeasured, {router(TargetState::ok())})),
              "Can't measure the internet");
}

TEST(VerdictTexts, SummaryWordsTheRouterAndListsHosts) {
    EXPECT_EQ(summaryText(ProblemSummary::Kind::loss, 4.2, {"router"}, english()), "4.2% loss to the router");
    EXPECT_EQ(summaryText(ProblemSummary::Kind::latency, 1234, {"a", "b", "c"}, english()),
              "slow replies from a, b, and c (p95 1.2 s)");
    EXPECT_EQ(summaryText(ProblemSummary::Kind::jitter, 12.4, {"8.8.8.8"}, english()), "12 ms jitter to 8.8.8.8");
    EXPECT_EQ(andList({"1.1.1.1"}, english()), "1.1.1.1");
    EXPECT_EQ(andList({"1.1.1.1", "8.8.8.8"}, english()), "1.1.1.1 and 8.8.8.8");
}

TEST(VerdictTexts, PercentAtItsBoundaries) {
    EXPECT_EQ(percentText(0), "0%");
    EXPECT_EQ(percentText(0.04), "0.0%");
    EXPECT_EQ(percentText(4.2), "4.2%");
    EXPECT_EQ(percentText(9.94), "9.9%");
    EXPECT_EQ(percentText(9.95), "10%");
    EXPECT_EQ(percentText(37.5), "38%");
    EXPECT_EQ(percentText(100), "100%");
}

TEST(VerdictTexts, MillisecondsSpacedForReading) {
    EXPECT_EQ(millisecondsText(std::nullopt), "\u2014");
    EXPECT_EQ(millisecondsText(3.44), "3.4 ms");
    EXPECT_EQ(millisecondsText(12), "12 ms");
    EXPECT_EQ(millisecondsText(999.5), "1.0 s");
    EXPECT_EQ(millisecondsText(12345), "12 s");
    EXPECT_EQ(spokenMilliseconds(std::nullopt, english()), "no value");
    EXPECT_EQ(spokenMilliseconds(9.94, english()), "9.9 milliseconds");
    EXPECT_EQ(spokenMilliseconds(9.95, english()), "10 milliseconds");
    EXPECT_EQ(spokenMilliseconds(1234.5, english()), "1,235 milliseconds");
}

TEST(VerdictTexts, DurationRoundsAndShowsAtMostTwoUnits) {
    EXPECT_EQ(durationText(0.4, english()), "1s");
    EXPECT_EQ(durationText(0.2, english()), "1s");
    EXPECT_EQ(durationText(0, english()), "1s");
    EXPECT_EQ(durationText(-3, english()), "1s");
    EXPECT_EQ(durationText(42.49, english()), "42s");
    EXPECT_EQ(durationText(59.5, english()), "1m");
    EXPECT_EQ(durationText(125, english()), "2m 5s");
    EXPECT_EQ(durationText(3725.9, english()), "1h 2m");
    EXPECT_EQ(durationText(3900, english()), "1h 5m");
    // The zero minutes hold the second place: seconds beyond it are cut off.
    EXPECT_EQ(durationText(3606, english()), "1h");
    EXPECT_EQ(durationText(90061, english()), "25h 1m");
}

TEST(VerdictTexts, TimeOfDayAloneForToday) {
    EXPECT_EQ(plain(timeText(saturdayMorning + 5 * 3600 + 5 * 60, english())), "3:05 PM");
    // Yesterday shows the date too, without weekday or year.
    EXPECT_EQ(plain(timeText(saturdayMorning - 86400, english())), "Jan 5, 10:00 AM");
    // Today is today where the user is: 23:30 UTC on the 5th is the 6th two hours east.
    const double lateOnFriday = saturdayMorning - 10.5 * 3600;
    EXPECT_EQ(plain(timeText(lateOnFriday, english(saturdayMorning, QTimeZone(7200)))), "1:30 AM");
    EXPECT_EQ(plain(timeText(lateOnFriday, english())), "Jan 5, 11:30 PM");
}

TEST(VerdictTexts, OtherLocalesKeepTheirOrder) {
    Context german{QLocale(QLocale::German, QLocale::Germany), QTimeZone::utc(), saturdayMorning};
    const QString text = timeText(saturdayMorning - 2 * 86400, german);
    EXPECT_TRUE(text.startsWith(QStringLiteral("4. Jan"))) << text.toStdString();
    EXPECT_TRUE(text.endsWith(QStringLiteral("10:00"))) << text.toStdString();
    EXPECT_FALSE(text.contains(QStringLiteral("2024"))) << text.toStdString();
    EXPECT_EQ(durationText(125, german), "2m 5s");
    // The year's own word goes with the year.
    Context russian{QLocale(QLocale::Russian, QLocale::Russia), QTimeZone::utc(), saturdayMorning};
    const QString russianText = timeText(saturdayMorning - 2 * 86400, russian);
    EXPECT_TRUE(russianText.startsWith(QStringLiteral("4 "))) << russianText.toStdString();
    EXPECT_FALSE(russianText.contains(QStringLiteral(" г."))) << russianText.toStdString();
}

}  // namespace
}  // namespace nerivane
