#include <gtest/gtest.h>

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

Target target(TargetRole role, const std::string& host, const std::string& address) {
    return Target{role, host, *ProbeAddress::parse(address)};
}
const Target router = target(TargetRole::router(), "router", "192.168.1.1");
const Target hostA = target(TargetRole::internet(0), "1.1.1.1", "1.1.1.1");
const Target hostB = target(TargetRole::internet(1), "8.8.8.8", "8.8.8.8");
const Target hostV6 = target(TargetRole::internetIPv6(), "1.1.1.1", "2606:4700:4700::1111");

NetworkPath satisfied() { return NetworkPath{.isSatisfied = true, .hasIPv4 = true}; }
NetworkEvent outageAt(const Target& t, double start, double end) { return outage(t, epoch + start, epoch + end); }
const ProbeResult::Outcome lost = ProbeResult::Lost{};
ProbeResult::Outcome reply(double ms) { return ProbeResult::Reply{ms}; }

struct Harness {
    MonitorCore core{[](double t) { return epoch + t; }};

    explicit Harness(std::vector<Target> targets = {router, hostA, hostB}) {
        core.install(satisfied(), targets, 0);
        for (const auto& t : targets) core.statusChanged(t.role, TargetStatus::icmp, 0);
    }
    // One reply of ms (or a loss) each second from `from` up to `to`.
    void replies(const Target& t, std::optional<double> ms, int from, int to) {
        for (int i = from; i < to; ++i) core.result(t.role, ms ? reply(*ms) : lost, i);
    }
    static const TargetSnapshot& of(const MonitorSnapshot& snapshot, const Target& t) {
        return *std::find_if(snapshot.targets.begin(), snapshot.targets.end(), [&](auto& entry) { return entry.target == t; });
    }
    int sent(double now, std::size_t index) { return core.snapshot(now).targets.at(index).metrics.sent; }
};
constexpr std::nullopt_t losses = std::nullopt;

TEST(MonitorCore, BeforeAnyTargetsEverythingIsMeasuringAndUnknownRolesAreIgnored) {
    MonitorCore core{[](double t) { return t; }};
    EXPECT_TRUE(core.result(TargetRole::router(), lost, 1).empty());
    EXPECT_TRUE(core.statusChanged(TargetRole::custom(0), TargetStatus::tcp, 2).empty());
    EXPECT_EQ(core.tick(10), (MonitorSnapshot{NetworkPath::empty(), {}, Verdict::measuring, std::nullopt, false}));
    EXPECT_TRUE(core.takeProbes().empty());
}

TEST(MonitorCore, OutageMarksTheTargetDownAndTheReplyEndingItReportsItsSpikeFirst) {
    Harness h;
    h.replies(router, 2, 0, 20);
    h.replies(hostA, 5, 0, 6);
    h.replies(hostA, 100, 6, 9);
    h.replies(hostA, losses, 9, 20);  // losses neither extend nor end the slow run
    h.replies(hostB, losses, 9, 20);
    EXPECT_FALSE(h.of(h.core.tick(13.9), hostA).outageSince);
    const auto snapshot = h.core.tick(14);
    EXPECT_EQ(h.of(snapshot, hostA).outageSince, epoch + 9);
    EXPECT_EQ(snapshot.internet, TargetState::down());
    EXPECT_EQ(h.core.result(hostA.role, reply(5), 21),
              (std::vector{spike(hostA, epoch + 6, epoch + 21, 100), outageAt(hostA, 9, 21)}));
}

TEST(MonitorCore, InstallingAgainClosesOutagesAndTheFirstVerdictAfterShowsAtOnce) {
    Harness h;
    h.replies(router, 2, 0, 10);
    h.replies(hostB, 20, 0, 10);
    h.replies(hostA, losses, 0, 5);
    EXPECT_EQ(h.core.tick(10).verdict, Verdict::good);
    EXPECT_EQ(h.core.install(satisfied(), {router, hostA, hostB}, 12), std::vector{outageAt(hostA, 0, 12)});
    for (const auto& target : h.core.snapshot(12).targets) EXPECT_EQ(target.metrics, Metrics{});
    for (const auto& t : {router, hostA, hostB}) h.core.statusChanged(t.role, TargetStatus::icmp, 13);
    h.replies(router, 2, 13, 15);
    h.replies(hostA, 400, 13, 15);
    EXPECT_EQ(h.core.tick(15).verdict, Verdict::measuring);  // one host still has nothing
    h.replies(hostB, 400, 13, 15);
    EXPECT_EQ(h.core.tick(15).verdict, Verdict::internetProblem);
}

TEST(MonitorCore, AListThatOnlyAddsAnsweredNamesKeepsWhatIsMeasured) {
    Harness h({router, hostA});
    h.replies(router, 2, 0, 10);
    h.replies(hostA, losses, 0, 10);
    EXPECT_EQ(h.core.tick(10).verdict, Verdict::internetDown);
    EXPECT_TRUE(h.core.install(satisfied(), {router, hostA, hostB}, 12, true).empty()) << "the outage goes on";
    const auto snapshot = h.core.snapshot(12);
    ASSERT_EQ(snapshot.targets.size(), 3u);
    EXPECT_EQ(snapshot.targets[0].metrics.sent, 10);
    EXPECT_TRUE(snapshot.targets[1].outageSince && snapshot.targets[2].status == TargetStatus::warmingUp);
    EXPECT_EQ(snapshot.verdict, Verdict::internetDown);
    // A list that drops a target starts over.
    EXPECT_EQ(h.core.install(satisfied(), {router, hostB}, 13, true).size(), 1u);
    EXPECT_EQ(h.sent(13, 0), 0);
}

TEST(MonitorCore, WarmUpRecordsAreReleasedOnlyWhenTheTargetSettlesOnICMP) {
    MonitorCore core{[](double t) { return epoch + t; }};
    core.install(satisfied(), {hostA, hostB}, 0);
    core.result(hostA.role, reply(10), 1);
    core.result(hostA.role, lost, 2);
    core.result(hostB.role, lost, 1);
    EXPECT_TRUE(core.tick(3).targets.size() == 2 && core.takeProbes().empty());
    core.statusChanged(hostA.role, TargetStatus::icmp, 3);
    EXPECT_EQ(core.takeProbes(), (std::vector<ProbeRecord>{{hostA, ProbeProtocol::icmp, reply(10), epoch + 1},
                                                           {hostA, ProbeProtocol::icmp, lost, epoch + 2}}));
    EXPECT_EQ(core.snapshot(3).targets[0].metrics.sent, 2);  // window kept
    core.statusChanged(hostB.role, TargetStatus::tcp, 3);
    EXPECT_TRUE(core.takeProbes().empty());
    EXPECT_EQ(core.snapshot(3).targets[1].metrics.sent, 0);  // fresh window
    // Once measured by TCP, records go out at once and say so.
    core.result(hostB.role, reply(30), 4);
    core.result(hostB.role, ProbeResult::Late{3000}, 4.5);
    EXPECT_EQ(core.takeProbes(), (std::vector<ProbeRecord>{{hostB, ProbeProtocol::tcp, reply(30), epoch + 4},
                                                           {hostB, ProbeProtocol::tcp, ProbeResult::Late{3000}, epoch + 4.5}}));
}

TEST(MonitorCore, StatusChangesResetByMeasuringMethod) {
    Harness h;
    h.replies(hostA, losses, 0, 4);
    h.core.tick(10);
    // Same method: icmp -> warmingUp keeps everything.
    EXPECT_TRUE(h.core.statusChanged(hostA.role, TargetStatus::warmingUp, 11).empty());
    EXPECT_EQ(h.sent(11, 1), 4);
    EXPECT_TRUE(h.core.statusChanged(hostA.role, TargetStatus::icmp, 11).empty());
    // ICMP -> TCP closes the outage and starts over.
    EXPECT_EQ(h.core.statusChanged(hostA.role, TargetStatus::tcp, 12), std::vector{outageAt(hostA, 0, 12)});
    EXPECT_EQ(h.sent(12, 1), 0);
    // Leaving "not measured" resets whatever comes next.
    h.replies(router, 2, 12, 20);
    h.core.statusChanged(router.role, TargetStatus::doesntAnswerPing, 20);
    EXPECT_EQ(h.sent(20, 0), 0);
    h.replies(router, 2, 20, 22);
    h.core.statusChanged(router.role, TargetStatus::icmp, 22);
    EXPECT_EQ(h.sent(22, 0), 0);
}

TEST(MonitorCore, TargetsThatDoNotAnswerPingOrMayNotBePingedAreLeftOut) {
    for (const auto status : {TargetStatus::doesntAnswerPing, TargetStatus::pingNotPermitted}) {
        SCOPED_TRACE(text(status));
        Harness h;
        h.core.statusChanged(router.role, status, 0);
        h.core.statusChanged(hostA.role, status, 0);
        h.replies(hostB, 400, 0, 10);
        // Neither the router nor the host without a window keeps the verdict measuring.
        EXPECT_EQ(h.core.tick(10).verdict, Verdict::connectionProblem);
        // With no internet host left to measure the monitor cannot judge
        // (shown once it has held for the filter's 10 s).
        h.core.statusChanged(hostB.role, status, 10);
        h.core.tick(11);
        EXPECT_EQ(h.core.tick(21).verdict, Verdict::internetUnmeasured);
    }
}

TEST(MonitorCore, AnsweredLocallyNeedsFiveRepliesOnBothSidesNoSlowerThanTheRouter) {
    const struct {
        int routerReplies, hostReplies;
        double hostMs;
        bool local;
    } cases[] = {{10, 6, 1.5, true}, {10, 4, 1.5, false}, {4, 10, 1.5, false}, {10, 10, 2, true}, {10, 10, 2.1, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.routerReplies << " " << c.hostReplies << " " << c.hostMs);
        Harness h;
        h.replies(router, 2, 0, c.routerReplies);
        h.replies(hostA, c.hostMs, 0, c.hostReplies);
        h.replies(hostB, 400, 0, 10);
        const auto snapshot = h.core.tick(10);
        EXPECT_EQ(h.of(snapshot, hostA).answeredLocally, c.local);
        // Left out of the internet state: only the slow host counts.
        if (c.local) { EXPECT_EQ(snapshot.internet, TargetState::bad(Problems::latency())); }
    }
}

TEST(MonitorCore, IPv6ProblemOnlyWhileIPv4InternetIsFine) {
    Harness h({router, hostA, hostV6});
    h.replies(router, 2, 0, 10);
    h.replies(hostA, 20, 0, 10);
    h.replies(hostV6, losses, 0, 10);
    EXPECT_TRUE(h.core.tick(10).ipv6Problem);
    h.replies(hostA, losses, 10, 13);
    h.replies(hostA, 20, 13, 15);
    EXPECT_FALSE(h.core.tick(15).ipv6Problem) << "IPv4 in trouble too: no separate IPv6 warning";
}

// The monitor shell: engine events fed straight into handle() on the probe
// queue with injected clocks. The engine is never started; the lab test runs
// the monitor against a real one.
class MonitorTest : public ::testing::Test {
protected:
    static constexpr const char* identifier = "org.nerivane.monitortest";
    static constexpr std::uint64_t tickStart = 1'000'000'000'000;
    // Monitor seconds from 500, dates from epoch, probe ticks from tickStart; all move together.
    std::atomic<double> elapsed{0};
    std::vector<Monitor::Update> updates_;
    // Where the monitor's events go as well, as the application model sends them.
    History* history = nullptr;

    void SetUp() override { LogStore::shared().setStderrOutput(LogStore::StderrOutput::never); }

    // An unstarted monitor, fed the given hosts all settled on ICMP, as the engine would.
    std::unique_ptr<Monitor> fedMonitor(const std::vector<Target>& targets, bool settled = true) {
        ProbeEngine::Environment environment;
        environment.identifier = identifier;
        Monitor::Clocks clocks{[this] { return 500 + elapsed.load(); }, [this] { return epoch + elapsed.load(); },
                               [this] { return tickStart + MachClock::ticks(elapsed.load()); }};
        // Updates come on the probe queue, inside feed()'s sync: no lock needed.
        auto monitor = std::make_unique<Monitor>(
            TargetSettings{}, 1.0,
            [this](const Monitor::Update& update) {
                if (const auto* event = std::get_if<Monitor::EventUpdate>(&update); event && history)
                    history->record(event->event);
                updates_.push_back(update);
            },
            std::move(environment), std::move(clocks));
        feed(*monitor, ProbeEngine::TargetsEvent{satisfied(), targets});
        if (!settled) return monitor;
        for (const auto& t : targets) feed(*monitor, ProbeEngine::StatusEvent{t.role, TargetStatus::icmp});
        take();
        return monitor;
    }
    void feed(Monitor& monitor, const ProbeEngine::Event& event) {
        monitor.queue().sync([&] { monitor.handle(event); });
    }
    // A result for a probe sent `age` seconds ago.
    void feedResult(Monitor& monitor, const Target& t, ProbeResult::Outcome outcome, double age) {
        const auto sent = tickStart + MachClock::ticks(elapsed.load() - age);
        feed(monitor, ProbeEngine::ResultEvent{t.role, ProbeProtocol::icmp, ProbeResult{t.address, 1, sent, outcome}});
    }
    std::vector<Monitor::Update> take() { return std::exchange(updates_, {}); }
    MonitorSnapshot lastSnapshot() { return std::get<Monitor::SnapshotUpdate>(take().back()).snapshot; }
    // Four losses reported 2 s after sending, a tick after each: the first
    // was sent at elapsed 1, and the outage has begun by elapsed 6.
    void loseFourProbes(Monitor& monitor, const Target& t) {
        for (int sent = 1; sent <= 4; ++sent) {
            elapsed = sent + 2;
            feedResult(monitor, t, ProbeResult::Lost{}, 2);
            feed(monitor, ProbeEngine::TickEvent{});
        }
    }
};

TEST_F(MonitorTest, ResultsAreDatedFromTheirSendTimeAndOnlyTicksPublishSnapshots) {
    auto monitor = fedMonitor({router, hostA}, false);
    EXPECT_EQ(lastSnapshot().targets.size(), 2u) << "a new target list is shown at once";

    for (const auto& t : {router, hostA}) feed(*monitor, ProbeEngine::StatusEvent{t.role, TargetStatus::icmp});
    elapsed = 3;
    // Sent 1.5 s ago; and one stamped after "now", which counts as sent now.
    feedResult(*monitor, router, ProbeResult::Reply{2}, 1.5);
    feedResult(*monitor, hostA, ProbeResult::Reply{20}, -0.5);
    EXPECT_TRUE(take().empty());
    feed(*monitor, ProbeEngine::TickEvent{});
    const auto updates = take();
    ASSERT_EQ(updates.size(), 1u);
    const auto tick = std::get<Monitor::SnapshotUpdate>(updates[0]);
    ASSERT_EQ(tick.probes.size(), 2u);
    EXPECT_EQ(tick.probes[0], (ProbeRecord{router, ProbeProtocol::icmp, ProbeResult::Reply{2}, epoch + 3 - 1.5}));
    EXPECT_DOUBLE_EQ(tick.probes[1].sentAt, epoch + 3);
    // Handed out once: the next snapshot carries no records.
    feed(*monitor, ProbeEngine::TickEvent{});
    EXPECT_TRUE(std::get<Monitor::SnapshotUpdate>(take().at(0)).probes.empty());
}

TEST_F(MonitorTest, ANewTargetListPublishesTheClosedOutageBeforeItsSnapshotAndLogsIt) {
    auto monitor = fedMonitor({hostA, hostB});
    feedResult(*monitor, hostB, ProbeResult::Reply{10}, 0);
    loseFourProbes(*monitor, hostA);
    elapsed = 8;
    feed(*monitor, ProbeEngine::TickEvent{});
    take();
    feed(*monitor, ProbeEngine::TargetsEvent{satisfied(), {hostA, hostB}});
    const auto updates = take();
    ASSERT_EQ(updates.size(), 2u);
    EXPECT_EQ(std::get<Monitor::EventUpdate>(updates[0]).event, outageAt(hostA, 1, 8));
    EXPECT_EQ(std::get<Monitor::SnapshotUpdate>(updates[1]).snapshot.verdict, Verdict::measuring);
    // Every published event leaves its line in the log, category "stats".
    const auto entries = LogStore::shared().entries(std::chrono::seconds(60), identifier);
    EXPECT_TRUE(std::any_of(entries.begin(), entries.end(), [](const LogEntry& entry) {
        return entry.category == "stats" && entry.message == "outage 1.1.1.1 1.1.1.1 7.0 s";
    }));
}

TEST_F(MonitorTest, AnOutageOpenWhenMonitoringStopsIsRecordedEndedAtTheStop) {
    TempFolder folder;
    History::Options options;
    options.date = [this] { return epoch + elapsed.load(); };
    options.timeZone = TimeZone::utc();
    History stored(folder.path("history.sqlite"), options);
    history = &stored;
    auto monitor = fedMonitor({hostA, hostB});
    loseFourProbes(*monitor, hostA);
    elapsed = 20;
    feed(*monitor, ProbeEngine::TickEvent{});
    ASSERT_TRUE(lastSnapshot().targets[0].outageSince);
    monitor->stop();  // quit, pause, lock or sleep, with hostA still down
    const auto updates = take();
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(std::get<Monitor::EventUpdate>(updates[0]).event, outageAt(hostA, 1, 20));
    monitor.reset();
    history = nullptr;
    stored.close();
    EXPECT_EQ(stored.latestEvents(10), std::vector{outageAt(hostA, 1, 20)});
    EXPECT_NE(stored.exportEvents(epoch, epoch + 60).find("2023-11-14T22:13:21Z,2023-11-14T22:13:40Z,19.0,outage,1.1.1.1,1.1.1.1,\n"),
              std::string::npos);
}

}  // namespace
}  // namespace nerivane
