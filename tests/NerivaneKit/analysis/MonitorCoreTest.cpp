#include <gtest/gtest.h>

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
};
constexpr std::nullopt_t losses = std::nullopt;

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

// A quiet link, then a 20 Mbit/s upload for 20 s through a queue that adds
// 480 ms to the internet hosts but not to the router, then quiet again.
TEST(MonitorCore, AnUploadThroughABloatedQueueIsSlowWhileBusyThenGoodOnceItEnds) {
    Harness h;
    TrafficMeter::Reading counters;
    MonitorSnapshot snapshot;
    std::map<LoadClass, int> classes;
    int samples = 0;
    auto second = [&](int s, bool uploading) {
        h.core.result(router.role, reply(2), s);
        for (const auto& t : {hostA, hostB}) h.core.result(t.role, reply(uploading ? 500 : 20), s);
        counters.sentBytes += uploading ? 2'500'000 : 2'500;
        counters.receivedBytes += uploading ? 60'000 : 2'500;
        h.core.counters(s + 1, counters);
        snapshot = h.core.tick(s + 1);
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

// The monitor shell: engine events fed straight into handle() on the probe
// queue with injected clocks. The engine is never started; the lab test runs
// the monitor against a real one.
TEST(Monitor, AnOutageOpenWhenMonitoringStopsIsRecordedEndedAtTheStop) {
    LogStore::shared().setStderrOutput(LogStore::StderrOutput::never);
    constexpr std::uint64_t tickStart = 1'000'000'000'000;
    // Monitor seconds from 500, dates from epoch, probe ticks from tickStart; all move together.
    std::atomic<double> elapsed{0};
    TempFolder folder;
    History::Options options;
    options.date = [&] { return epoch + elapsed.load(); };
    options.timeZone = TimeZone::utc();
    History history(folder.path("history.sqlite"), options);
    ProbeEngine::Environment environment;
    environment.identifier = "org.nerivane.monitortest";
    Monitor::Clocks clocks{[&] { return 500 + elapsed.load(); }, [&] { return epoch + elapsed.load(); },
                           [&] { return tickStart + MachClock::ticks(elapsed.load()); }};
    // Updates come on the probe queue, inside feed()'s sync: no lock needed.
    // Events go to history as well, as the application model sends them.
    std::vector<Monitor::Update> updates;
    auto monitor = std::make_unique<Monitor>(
        TargetSettings{}, 1.0,
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
        const ProbeResult result{hostA.address, 1, tickStart + MachClock::ticks(sent), ProbeResult::Lost{}};
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
