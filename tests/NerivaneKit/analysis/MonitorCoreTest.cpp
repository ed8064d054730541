#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <vector>

#include "support/HistoryTestSupport.h"
#include "support/Printers.h"
#include "NerivaneKit/analysis/Monitor.h"
#include "NerivaneKit/analysis/MonitorCore.h"
#include "NerivaneKit/history/History.h"
#include "NerivaneKit/platform/LogStore.h"
#include "NerivaneKit/platform/MachClock.h"
#include "NerivaneKit/platform/SerialQueue.h"

#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace nerivane {
namespace {

// Monitor seconds map to dates a fixed distance away.
constexpr double epoch = 1'700'000'000;
MonitorTime at(double seconds) { return MonitorTime{Seconds{seconds}}; }
Date dateOf(MonitorTime time) { return dateFromUnixSeconds(epoch) + time.time_since_epoch(); }

Target target(TargetRole role, const std::string& host, const std::string& address) {
    return Target{role, host, *ProbeAddress::parse(address)};
}
const Target router = target(TargetRole::router(), "router", "192.168.1.1");
const Target hostA = target(TargetRole::internet(0), "1.1.1.1", "1.1.1.1");
const Target hostB = target(TargetRole::internet(1), "8.8.8.8", "8.8.8.8");

NetworkPath satisfied() { return NetworkPath{.isSatisfied = true, .hasIPv4 = true}; }
NetworkEvent outageAt(const Target& t, double start, double end) { return outage(t, epoch + start, epoch + end); }
const ProbeResult::Outcome lost = ProbeResult::Lost{};
ProbeResult::Outcome reply(double ms) { return ProbeResult::Reply{ms}; }

struct Harness {
    MonitorCore core{dateOf};

    explicit Harness(std::vector<Target> targets = {router, hostA, hostB}) {
        core.install(satisfied(), targets, at(0));
        for (const auto& t : targets) core.statusChanged(t.role, TargetStatus::icmp, at(0));
    }
    // One reply of ms (or a loss) each second from `from` up to `to`.
    void replies(const Target& t, std::optional<double> ms, int from, int to) {
        for (int i = from; i < to; ++i) core.result(t.role, ms ? reply(*ms) : lost, at(i));
    }
    static const TargetSnapshot& of(const MonitorSnapshot& snapshot, const Target& t) {
        return *std::find_if(snapshot.targets.begin(), snapshot.targets.end(), [&](auto& entry) { return entry.target == t; });
    }
};
constexpr std::nullopt_t losses = std::nullopt;

TEST(MonitorCore, OutageMarksTheTargetDownAndTheReplyEndingItReportsItsSpikeFirst) {
    Harness h;
    h.replies(router, 2, 0, 20);
    h.replies(hostA, 5, 0, 6);
    h.replies(hostA, 100, 6, 9);
    h.replies(hostA, losses, 9, 20);  // losses neither extend nor end the slow run
    h.replies(hostB, losses, 9, 20);
    EXPECT_FALSE(h.of(h.core.tick(at(13.9)), hostA).outageSince);
    const auto snapshot = h.core.tick(at(14));
    EXPECT_EQ(h.of(snapshot, hostA).outageSince, epoch + 9);
    EXPECT_EQ(snapshot.internet, TargetState::down());
    EXPECT_EQ(h.core.result(hostA.role, reply(5), at(21)),
              (std::vector{spike(hostA, epoch + 6, epoch + 21, 100), outageAt(hostA, 9, 21)}));
    EXPECT_TRUE(h.core.invariantsHold());
}

TEST(MonitorCore, InstallingAgainClosesOutagesAndTheFirstVerdictAfterShowsAtOnce) {
    Harness h;
    h.replies(router, 2, 0, 10);
    h.replies(hostB, 20, 0, 10);
    h.replies(hostA, losses, 0, 5);
    EXPECT_EQ(h.core.tick(at(10)).verdict, Verdict::good);
    EXPECT_EQ(h.core.install(satisfied(), {router, hostA, hostB}, at(12)), std::vector{outageAt(hostA, 0, 12)});
    for (const auto& target : h.core.snapshot(at(12)).targets) EXPECT_EQ(target.metrics, Metrics{});
    for (const auto& t : {router, hostA, hostB}) h.core.statusChanged(t.role, TargetStatus::icmp, at(13));
    h.replies(router, 2, 13, 15);
    h.replies(hostA, 400, 13, 15);
    EXPECT_EQ(h.core.tick(at(15)).verdict, Verdict::measuring);  // one host still has nothing
    h.replies(hostB, 400, 13, 15);
    EXPECT_EQ(h.core.tick(at(15)).verdict, Verdict::internetProblem);
    EXPECT_TRUE(h.core.invariantsHold());
}

// A quiet link, then a 20 Mbit/s upload for 20 s through a queue that adds
// 480 ms to the internet hosts but not to the router, then quiet again.
TEST(MonitorCore, AnUploadThroughABloatedQueueIsSlowWhileBusyThenGoodOnceItEnds) {
    Harness h;
    TrafficMeter::Reading counters;
    MonitorSnapshot snapshot;
    std::map<LoadClass, int> classes;
    int samples = 0;
    auto second = [&](int s, bool uploading) {
        h.core.result(router.role, reply(2), at(s));
        for (const auto& t : {hostA, hostB}) h.core.result(t.role, reply(uploading ? 500 : 20), at(s));
        counters.sentBytes += uploading ? 2'500'000 : 2'500;
        counters.receivedBytes += uploading ? 60'000 : 2'500;
        h.core.counters(at(s + 1), counters);
        snapshot = h.core.tick(at(s + 1));
        for (const auto& probe : h.core.takeProbes()) ++classes[probe.load];
        samples += static_cast<int>(h.core.takeTraffic().size());
    };
    for (int s = 0; s < 120; ++s) second(s, false);
    EXPECT_EQ(snapshot.verdict, Verdict::good);
    EXPECT_EQ(snapshot.load->now, LoadClass::idle);
    for (int s = 120; s < 140; ++s) second(s, true);
    EXPECT_EQ(snapshot.verdict, Verdict::slowWhileBusy);
    EXPECT_EQ(snapshot.load->now, LoadClass::upload);
    const DirectionLoad upload = snapshot.load->upload;
    EXPECT_EQ(upload.grade, LoadGrade::f);
    EXPECT_EQ(upload.queue, QueuePlace::beyondRouter);
    EXPECT_EQ(upload.internet, (RoleLoad{20, 500, 480, 40, 0}));
    EXPECT_EQ(upload.router->added, 0);
    EXPECT_FALSE(snapshot.load->download.grade);
    for (int s = 140; s < 169; ++s) second(s, false);
    EXPECT_EQ(snapshot.verdict, Verdict::good);  // within 30 s of the end
    EXPECT_EQ(snapshot.load->upload.grade, LoadGrade::f);  // the last load stays on show
    EXPECT_EQ(snapshot.load->upload.lastBusy, epoch + 140);
    EXPECT_DOUBLE_EQ(snapshot.load->upload.lastBusyBitsPerSecond, 20e6);
    // Every record is classed by the seconds it was in flight; the first
    // second came before the counters.
    EXPECT_EQ(classes, (std::map<LoadClass, int>{{LoadClass::unknown, 3}, {LoadClass::idle, 444}, {LoadClass::upload, 60}}));
    EXPECT_EQ(samples, 168);
    EXPECT_TRUE(h.core.invariantsHold());
}

// The wall clock steps back an hour (a time sync) after the replies of a
// busy second and before the snapshot that hands out their records: their
// class in history is the one the grade was worked out from.
TEST(MonitorCore, AWallClockStepBeforeTheSnapshotLeavesHistoryAndTheGradeAgreeing) {
    Seconds step{0};
    MonitorCore core{[&](MonitorTime t) { return dateOf(t) + step; }};
    core.install(satisfied(), {router, hostA, hostB}, at(0));
    for (const auto& t : {router, hostA, hostB}) core.statusChanged(t.role, TargetStatus::icmp, at(0));
    TrafficMeter::Reading counters;
    MonitorSnapshot snapshot;
    std::vector<ProbeRecord> records;
    for (int s = 0; s < 40; ++s) {
        const bool uploading = s >= 20;
        core.result(router.role, reply(2), at(s));
        for (const auto& t : {hostA, hostB}) core.result(t.role, reply(uploading ? 500 : 20), at(s));
        if (s == 39) step = -std::chrono::hours{1};
        counters.sentBytes += uploading ? 2'500'000 : 2'500;
        counters.receivedBytes += 2'500;
        core.counters(at(s + 1), counters);
        snapshot = core.tick(at(s + 1));
        records = core.takeProbes();
    }
    EXPECT_EQ(snapshot.load->upload.grade, LoadGrade::f);
    EXPECT_EQ(snapshot.load->upload.internet->busyReplies, 40);  // the last second's replies among them
    ASSERT_EQ(records.size(), 3u);
    for (const auto& record : records) EXPECT_EQ(record.load, LoadClass::upload) << record.target.host;
    EXPECT_TRUE(core.invariantsHold());
}

// The engine's rhythm: a probe to every target each whole second, its reply
// folded in when it arrives, a loss when the engine gives up on it 2 s after
// sending; a snapshot half-way between two sends. The network is a function
// of target and send second: the round trip, or none for a lost probe.
struct Timeline {
    using Network = std::function<std::optional<double>(const Target&, int)>;
    Harness h;
    std::vector<Target> targets{router, hostA, hostB};
    std::multimap<double, std::pair<Target, ProbeResult::Outcome>> arriving;
    std::multimap<double, int> sentAt;
    int next = 0;

    // Runs up to the snapshot at second + 0.5 and returns it; each snapshot
    // on the way goes to seen.
    MonitorSnapshot until(int second, const Network& network,
                          const std::function<void(const MonitorSnapshot&)>& seen = {}) {
        MonitorSnapshot snapshot;
        for (; next <= second; ++next) {
            for (const auto& t : targets) {
                const auto ms = network(t, next);
                const double arrival = ms ? next + *ms / 1000 : next + 2.0;
                arriving.emplace(arrival, std::pair{t, ms ? reply(*ms) : lost});
                sentAt.emplace(arrival, next);
            }
            const double now = next + 0.5;
            while (!arriving.empty() && arriving.begin()->first <= now) {
                const auto& [t, outcome] = arriving.begin()->second;
                h.core.result(t.role, outcome, at(sentAt.begin()->second));
                arriving.erase(arriving.begin());
                sentAt.erase(sentAt.begin());
            }
            snapshot = h.core.tick(at(now));
            if (seen) seen(snapshot);
        }
        return snapshot;
    }
};

// No snapshot is good while the internet hosts are down or have all gone
// unanswered beyond the time-out; whatever the headline says, it says from
// one snapshot.
void expectOneStory(const MonitorSnapshot& snapshot) {
    const bool silent = snapshot.internetSilentSince.has_value();
    EXPECT_FALSE(snapshot.verdict == Verdict::good && (snapshot.internet == TargetState::down() || silent))
        << text(snapshot.verdict) << " over " << (snapshot.internet ? text(snapshot.internet->kind) : "none");
}

// The headline through an internet outage, a spike and a router slow to its
// own pings, second by second: each row is the network from its second on
// and what the snapshots say at the seconds named.
TEST(MonitorCore, TheHeadlineFollowsTheNetworkWithinSecondsAndTheEventsKeepTheirOwnProbes) {
    using V = Verdict;
    const auto fine = [](const Target& t, int) -> std::optional<double> { return t == router ? 1 : 5; };
    const auto silentInternet = [](const Target& t, int) { return t == router ? std::optional(1.0) : std::nullopt; };
    const auto spiking = [](const Target& t, int) -> std::optional<double> { return t == router ? 1 : 400; };
    const auto slowRouter = [](const Target& t, int) -> std::optional<double> { return t == router ? 80 : 5; };
    // A slow router beside internet hosts that lose now and then (2 in 20).
    const auto slowRouterLossyHosts = [](const Target& t, int s) -> std::optional<double> {
        return t == router ? 80 : s % 10 == 0 ? std::optional<double>() : 5;
    };
    const auto slowEverything = [](const Target& t, int) -> std::optional<double> { return t == router ? 80 : 200; };
    const struct { int from; Timeline::Network network; std::vector<std::pair<int, V>> expected; } phases[] = {
        {0, fine, {{59, V::good}}},
        // The first losses are known 2 s after their probes: the headline
        // leaves good then, and is down once the outage rule holds (5 s).
        {60, silentInternet, {{61, V::good}, {62, V::internetProblem}, {64, V::internetProblem},
                              {65, V::internetDown}, {89, V::internetDown}}},
        // The first reply ends the outage; its 30 lost probes are its own.
        {90, fine, {{90, V::good}, {150, V::good}}},
        // 30 s of 400 ms replies: a latency problem, over as the spike ends.
        {180, spiking, {{200, V::internetProblem}, {209, V::internetProblem}}},
        {210, fine, {{210, V::good}, {270, V::good}}},
        // A router that answers its own pings in 80 ms while the internet
        // answers through it in 5 ms is no local problem.
        {300, slowRouter, {{360, V::good}}},
        {400, slowRouterLossyHosts, {{460, V::internetProblem}}},
        {500, slowEverything, {{560, V::localProblem}}},
    };
    Timeline line;
    std::map<int, MonitorSnapshot> at;
    int second = 0;
    for (std::size_t i = 0; i < std::size(phases); ++i) {
        const auto& phase = phases[i];
        const int end = i + 1 < std::size(phases) ? phases[i + 1].from - 1 : phase.expected.back().first;
        line.until(end, phase.network, [&](const MonitorSnapshot& snapshot) {
            expectOneStory(snapshot);
            at[second++] = snapshot;
        });
        for (const auto& [when, verdict] : phase.expected)
            EXPECT_EQ(at[when].verdict, verdict) << "at " << when << " s: " << text(at[when].verdict);
    }
    // The good verdict after each event holds until the next phase.
    for (int s = 90; s < 180; ++s) EXPECT_EQ(at[s].verdict, V::good) << "at " << s << " s";
    for (int s = 210; s < 300; ++s) EXPECT_EQ(at[s].verdict, V::good) << "at " << s << " s";

    // Silence before the outage: since the newest reply, and said as loss.
    EXPECT_EQ(at[62].internetSilentSince, epoch + 59);
    EXPECT_EQ(at[62].internet, TargetState::bad(Problems::loss()));
    EXPECT_EQ(at[65].internet, TargetState::down());
    // After the outage the cards still show its losses, and whose they are.
    const TargetSnapshot& afterOutage = Harness::of(at[100], hostA);
    EXPECT_EQ(afterOutage.state, TargetState::ok());
    EXPECT_EQ(afterOutage.metrics.lost, 30);
    EXPECT_EQ(afterOutage.metrics.lostInOutages, 30);
    EXPECT_EQ(afterOutage.pastOutageStart, epoch + 60);
    // Once they leave the window, so does the note.
    EXPECT_FALSE(Harness::of(at[170], hostA).pastOutageStart);
    // The spike's replies stay in the figures, not in the state.
    const TargetSnapshot& afterSpike = Harness::of(at[220], hostB);
    EXPECT_EQ(afterSpike.metrics.p95, 400);
    EXPECT_EQ(afterSpike.state, TargetState::ok());
    // The slow router is told on its card, not in the verdict.
    EXPECT_EQ(Harness::of(at[360], router).state, TargetState::ok());
    EXPECT_TRUE(Harness::of(at[360], router).slowToOwnPings);
    EXPECT_EQ(Harness::of(at[460], router).state, TargetState::ok());
    EXPECT_EQ(Harness::of(at[560], router).state, TargetState::bad(Problems::latency()));
    EXPECT_FALSE(Harness::of(at[560], router).slowToOwnPings);
    EXPECT_TRUE(line.h.core.invariantsHold());
}

TEST(MonitorCore, WarmUpRecordsAreReleasedOnlyWhenTheTargetSettlesOnICMP) {
    MonitorCore core{dateOf};
    core.install(satisfied(), {hostA, hostB}, at(0));
    core.result(hostA.role, reply(10), at(1));
    core.result(hostA.role, lost, at(2));
    core.result(hostB.role, lost, at(1));
    EXPECT_TRUE(core.tick(at(3)).targets.size() == 2 && core.takeProbes().empty());
    core.statusChanged(hostA.role, TargetStatus::icmp, at(3));
    EXPECT_EQ(core.takeProbes(), (std::vector<ProbeRecord>{{hostA, ProbeProtocol::icmp, reply(10), epoch + 1},
                                                           {hostA, ProbeProtocol::icmp, lost, epoch + 2}}));
    EXPECT_EQ(core.snapshot(at(3)).targets[0].metrics.sent, 2);  // window kept
    core.statusChanged(hostB.role, TargetStatus::tcp, at(3));
    EXPECT_TRUE(core.takeProbes().empty());
    EXPECT_EQ(core.snapshot(at(3)).targets[1].metrics.sent, 0);  // fresh window
    // Once measured by TCP, records go out at once and say so.
    core.result(hostB.role, reply(30), at(4));
    core.result(hostB.role, ProbeResult::Late{3000}, at(4.5));
    EXPECT_EQ(core.takeProbes(), (std::vector<ProbeRecord>{{hostB, ProbeProtocol::tcp, reply(30), epoch + 4},
                                                           {hostB, ProbeProtocol::tcp, ProbeResult::Late{3000}, epoch + 4.5}}));
    EXPECT_TRUE(core.invariantsHold());
}

// The monitor shell: engine events fed straight into handle() on the probe
// queue with injected clocks. The engine is never started; the lab test runs
// the monitor against a real one.
TEST(Monitor, AnOutageOpenWhenMonitoringStopsIsRecordedEndedAtTheStop) {
    LogStore::shared().setStderrOutput(LogStore::StderrOutput::never);
    constexpr Ticks tickStart{std::chrono::nanoseconds(1'000'000'000'000)};
    // Monitor seconds from 500, dates from epoch, probe ticks from tickStart; all move together.
    std::atomic<double> elapsed{0};
    TempFolder folder;
    History::Options options;
    options.date = [&] { return epoch + elapsed.load(); };
    options.timeZone = TimeZone::utc();
    History history(folder.path("history.sqlite"), options);
    ProbeEngine::Environment environment;
    environment.identifier = "org.nerivane.monitortest";
    Monitor::Clocks clocks{[&] { return at(500 + elapsed.load()); },
                           [&] { return dateFromUnixSeconds(epoch + elapsed.load()); },
                           [&] { return tickStart + MachClock::ticks(Seconds{elapsed.load()}); }};
    // Updates come on the probe queue, inside feed()'s sync: no lock needed.
    // Events go to history as well, as the application model sends them.
    std::vector<Monitor::Update> updates;
    auto monitor = std::make_unique<Monitor>(
        TargetSettings{}, LookupSettings{}, Seconds{1.0},
        [&](const Monitor::Update& update) {
            if (const auto* event = std::get_if<Monitor::EventUpdate>(&update)) history.record(event->event);
            updates.push_back(update);
        },
        std::move(environment), std::move(clocks));
    const auto feed = [&](const ProbeEngine::Event& event) { monitor->queue().sync([&] { monitor->handle(event); }); };
    // Both hosts settled on ICMP, as the engine would report them.
    feed(ProbeEngine::TargetsEvent{satisfied(), {hostA, hostB}});
    for (const auto& t : {hostA, hostB}) feed(ProbeEngine::StatusEvent{t.role, TargetStatus::icmp});
    // Four losses, each reported 2 s after its probe was sent, a tick after each.
    for (int sent = 1; sent <= 4; ++sent) {
        elapsed = sent + 2;
        const ProbeResult result{hostA.address, 1, tickStart + MachClock::ticks(Seconds{double(sent)}), ProbeResult::Lost{}};
        feed(ProbeEngine::ResultEvent{hostA.role, ProbeProtocol::icmp, result});
        feed(ProbeEngine::TickEvent{});
    }
    elapsed = 20;
    feed(ProbeEngine::TickEvent{});
    ASSERT_TRUE(std::get<Monitor::SnapshotUpdate>(updates.back()).snapshot.targets[0].outageSince);
    updates.clear();
    monitor->stop();  // quit, pause, lock or sleep, with hostA still down
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(std::get<Monitor::EventUpdate>(updates[0]).event, outageAt(hostA, 1, 20));
    monitor.reset();
    history.close();
    EXPECT_EQ(history.latestEvents(10), std::vector{outageAt(hostA, 1, 20)});
}

}  // namespace
}  // namespace nerivane
