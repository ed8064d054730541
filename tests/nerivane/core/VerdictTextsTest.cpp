#include <gtest/gtest.h>

#include "support/qt/QtSupport.h"
#include "nerivane/core/IncidentTexts.h"
#include "nerivane/core/LoadTexts.h"
#include "nerivane/core/LookupTexts.h"
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
    snapshot.target = {role, std::move(host), ProbeAddress::v4({192, 0, 2, 1})}, snapshot.status = status, snapshot.state = state;
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
         {}, "Router is fine; 12 % loss to 1.1.1.1."},
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
        // The provider's edge answering places the fault beyond it; sharing the loss, in it.
        {snapshot(Verdict::internetDown, {router(ok), target(TargetRole::provider(), "100.64.0.1", ok, 3, 0),
                                          internet(0, "1.1.1.1", TargetState::down(), 12, 100)}),
         {}, "Router and your provider's edge 192.0.2.1 are fine, but no internet host answers beyond your provider."},
        {snapshot(Verdict::providerProblem, {router(ok), target(TargetRole::provider(), "100.64.0.1", lossy, 3, 100),
                                             internet(0, "1.1.1.1", lossy, 12, 100)}),
         {}, "Router is fine; 12 % loss to 1.1.1.1. It starts in your provider's network: 192.0.2.1 shows it too."},
    })
        EXPECT_EQ(plain(verdictExplanation(shown, offlineSince, english())), expected);
}

// The lookups' words name the fault where it is: no median beside a server
// that stopped answering, an answer without an address said as such, the
// computer's own resolver when only it fails, and a mistyped probe name on
// the DNS row rather than blamed on the server.
TEST(VerdictTexts, LookupsNameTheFaultWhereItIs) {
    using Health = LookupSnapshot::Health;
    const ResolverServer server{"192.0.2.53", 53, ""};
    const auto lookups = [&](Health health, std::optional<LookupFailure> failure, bool systemFailed = false,
                             std::string missing = {}) {
        LookupSnapshot result;
        result.servers = {{server, 0.012, failure ? 3 : 0, failure, failure ? std::nullopt : std::optional(0.012), 130.0}};
        result.health = health, result.systemFailed = systemFailed, result.missingName = std::move(missing);
        return result;
    };
    // The explanation is that of lookupsFailing; none for a good verdict.
    const struct { LookupSnapshot lookups; const char *row, *explanation; } rows[] = {
        {lookups(Health::failing, LookupFailure::timeout), "192.0.2.53 \u00b7 last answer 2 min ago",
         "Your DNS server 192.0.2.53 does not answer. "},
        {lookups(Health::failing, LookupFailure::noAddress), "192.0.2.53 \u00b7 last answer 2 min ago",
         "Your DNS server 192.0.2.53 answers lookups without an address. "},
        {lookups(Health::failing, std::nullopt, true), "192.0.2.53 \u00b7 12 ms \u00b7 no failures",
         "Name lookups on this computer fail, although your DNS server 192.0.2.53 answers when asked directly. "},
        {lookups(Health::ok, std::nullopt, false, "exmaple.com"),
         "192.0.2.53 \u00b7 12 ms \u00b7 exmaple.com does not exist", nullptr},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(LookupTexts::rowText(row.lookups), QString::fromUtf8(row.row));
        if (!row.explanation) continue;
        MonitorSnapshot shown = snapshot(Verdict::lookupsFailing, {router(ok), internet(0, "1.1.1.1", ok)});
        shown.lookups = row.lookups;
        EXPECT_TRUE(lookupExplanation(shown, english()).startsWith(QString::fromUtf8(row.explanation)))
            << lookupExplanation(shown, english()).toStdString();
    }
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
    // The words name the place the load row names, never the router's own queue.
    EXPECT_EQ(busy(LoadClass::upload, QueuePlace::beyondRouter, NetworkPath::Kind::ethernet),
              "Latency rises from 12 ms to 480 ms while you upload. The queue builds up beyond the router, on the way "
              "out to the internet (bufferbloat); Smart Queue Management (CAKE or fq_codel) in the router, set a "
              "little below the line's speed, fixes it.");
    EXPECT_EQ(busy(LoadClass::download, QueuePlace::unknown, NetworkPath::Kind::ethernet, false),
              "Latency rises while you download. Where the queue builds up is not yet known; Smart Queue Management "
              "(CAKE or fq_codel) in the router usually fixes it.");
    EXPECT_TRUE(busy(LoadClass::both, QueuePlace::thisSide, NetworkPath::Kind::wifi).contains("on the Wi\u2011Fi link"));
    EXPECT_TRUE(busy(LoadClass::upload, QueuePlace::thisSide, NetworkPath::Kind::ethernet).contains("in this computer"));

    // The rates measured against: a capacity only once history has one; nothing while idle.
    const auto against = [](LoadClass now, LinkCapacity remembered) {
        LoadSnapshot load;
        load.now = now, load.capacity = {20e6, 3e6}, load.remembered = remembered;
        return LoadTexts::capacityText(load);
    };
    EXPECT_EQ(against(LoadClass::idle, {20e6, 3e6}), "");
    EXPECT_EQ(against(LoadClass::upload, {}), "highest seen 20 Mbit/s / 3.0 Mbit/s");
    EXPECT_EQ(against(LoadClass::upload, {20e6, 3e6}), "capacity 20 Mbit/s / 3.0 Mbit/s");
    EXPECT_EQ(against(LoadClass::download, {20e6, 0}), "capacity 20 Mbit/s / highest seen 3.0 Mbit/s");
}

TEST(IncidentTexts, TheTitleSaysTheCauseAndThePartnerIsNeverItsTwinsName) {
    using K = NetworkEvent::Kind;
    const auto at = [](K kind, TargetRole role, std::string host) { return NetworkEvent{kind, role, std::move(host), {}, 0, 31, {}}; };
    const NetworkEvent one = at(K::outage, TargetRole::internet(0), "1.1.1.1"), two = at(K::outage, TargetRole::internet(1), "8.8.8.8"),
                       six = at(K::outage, TargetRole::internetIPv6(), "1.1.1.1"), router = at(K::outage, TargetRole::router(), "router");
    const auto spikes = [&](LoadClass load) {
        Incident incident{K::spike, 0, 40, 480, {}, load};
        for (auto event : {one, six}) incident.events.push_back((event.kind = K::spike, event));
        return IncidentTexts::line(incident);
    };
    const std::pair<Incident, const char*> rows[] = {
        {{K::outage, 0, 31, {}, {one, two, six}}, "Internet down \u00b7 1.1.1.1, 8.8.8.8, IPv6"},
        {{K::outage, 0, 31, {}, {router, one, two}}, "Local network down \u00b7 router, 1.1.1.1, 8.8.8.8"},
        {{K::outage, 0, 31, {}, {six}}, "Outage \u00b7 1.1.1.1 over IPv6"},
        {{K::outage, 0, 31, {}, {at(K::outage, TargetRole::provider(), "100.64.0.1"), one, two}},
         "Provider's network down \u00b7 provider 100.64.0.1, 1.1.1.1, 8.8.8.8"},
        {{K::outage, 0, 31, {}, {one, one}}, "Outage \u00b7 1.1.1.1"},
    };
    for (const auto& [incident, line] : rows) EXPECT_EQ(IncidentTexts::line(incident), line);
    EXPECT_EQ(spikes(LoadClass::upload), "Slow while uploading \u00b7 1.1.1.1, IPv6");
    EXPECT_EQ(spikes(LoadClass::unknown), "Spike \u00b7 1.1.1.1, IPv6");
    Incident morning = rows[0].first;
    morning.start = saturdayMorning - 31, morning.end = saturdayMorning;
    EXPECT_EQ(plain(IncidentTexts::spoken(morning, english())), "Internet down at 9:59 AM, 31 s: 1.1.1.1, 8.8.8.8, and 1.1.1.1 over IPv6");
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
        {percentText(37.5), "38 %"}, {millisecondsText(12345), "12 s"},
        {spokenMilliseconds(9.95, english()), "10 milliseconds"}, {spokenMilliseconds(1234.5, english()), "1,235 milliseconds"},
        {durationText(125, english()), "2 min 5 s"},
        {summaryText(ProblemSummary::Kind::loss, 4.2, {"router"}, english()), "4.2 % loss to the router"},
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
