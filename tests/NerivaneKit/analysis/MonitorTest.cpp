// The monitor shell: engine events fed straight into handle() on the probe
// queue with injected clocks, and a real engine probing loopback hosts
// (127.0.0.2/3) behind a fake path source, so nothing leaves the machine.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "Printers.h"
#include "NerivaneKit/analysis/Monitor.h"
#include "NerivaneKit/path/PathSource.h"
#include "NerivaneKit/platform/LogStore.h"
#include "NerivaneKit/platform/MachClock.h"
#include "NerivaneKit/platform/SerialQueue.h"

namespace nerivane {
namespace {

using namespace std::chrono_literals;

constexpr const char* identifier = "org.nerivane.monitortest";

// Reports one loopback path with no router, and never changes it.
class LoopbackPathSource : public PathSource {
public:
    explicit LoopbackPathSource(std::vector<std::string> routers = {}) : routers_(std::move(routers)) {}
    bool start(SerialQueue& queue, Handlers handlers) override {
        queue.async([handlers] {
            handlers.factsDelivered(PathFacts{true, false, false, {{"lo", PathFacts::InterfaceType::other}}});
        });
        return true;
    }
    void stop() override {}
    std::optional<StoreSnapshot> readSnapshot() override {
        StoreSnapshot snapshot;
        snapshot.primaryInterface = "lo";
        if (!routers_.empty()) snapshot.routerIPv4 = routers_.front();
        return snapshot;
    }

private:
    std::vector<std::string> routers_;
};

ProbeEngine::Environment loopbackEnvironment(ClockSource clock = ClockSource::system()) {
    ProbeEngine::Environment environment;
    environment.identifier = identifier;
    environment.clock = std::move(clock);
    environment.resolve = [](const std::string&) { return std::vector<ProbeAddress>{}; };
    environment.makePathSource = [] { return std::make_unique<LoopbackPathSource>(); };
    return environment;
}

TargetSettings loopbackSettings() {
    TargetSettings settings;
    settings.internetHosts = {"127.0.0.2", "127.0.0.3"};
    settings.probeIPv6 = false;
    return settings;
}

// Collects updates, noting whether each arrived on the probe queue.
class Updates {
public:
    void attach(Monitor& monitor) { monitor_ = &monitor; }
    void operator()(const Monitor::Update& update) {
        std::lock_guard lock(mutex_);
        updates_.push_back(update);
        if (monitor_ && !monitor_->queue().isCurrent()) offQueue_ = true;
        changed_.notify_all();
    }
    std::vector<Monitor::Update> all() {
        std::lock_guard lock(mutex_);
        return updates_;
    }
    std::vector<Monitor::Update> take() {
        std::lock_guard lock(mutex_);
        return std::exchange(updates_, {});
    }
    bool offQueue() {
        std::lock_guard lock(mutex_);
        return offQueue_;
    }
    template <class Predicate>
    std::optional<Monitor::SnapshotUpdate> waitForSnapshot(Predicate predicate, std::chrono::milliseconds limit = 10s) {
        std::unique_lock lock(mutex_);
        std::optional<Monitor::SnapshotUpdate> found;
        changed_.wait_for(lock, limit, [&] {
            for (const auto& update : updates_) {
                const auto* snapshot = std::get_if<Monitor::SnapshotUpdate>(&update);
                if (snapshot && predicate(*snapshot)) {
                    found = *snapshot;
                    return true;
                }
            }
            return false;
        });
        return found;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Monitor::Update> updates_;
    Monitor* monitor_ = nullptr;
    bool offQueue_ = false;
};

// Clocks the test sets: monitor seconds from 500, dates from 1.7e9, probe
// ticks from 10^12; all three move together.
struct ManualClocks {
    static constexpr double monitorStart = 500;
    static constexpr double wallStart = 1'700'000'000;
    static constexpr std::uint64_t tickStart = 1'000'000'000'000;
    std::atomic<double> elapsed{0};

    Monitor::Clocks clocks() {
        return Monitor::Clocks{[this] { return monitorStart + elapsed.load(); },
                               [this] { return wallStart + elapsed.load(); },
                               [this] { return tickStart + MachClock::ticks(elapsed.load()); }};
    }
    // The send tick of a probe that is `age` seconds old now.
    std::uint64_t sentAgo(double age) const { return tickStart + MachClock::ticks(elapsed.load() - age); }
};

class MonitorTest : public ::testing::Test {
protected:
    void SetUp() override { LogStore::shared().setStderrOutput(LogStore::StderrOutput::never); }

    std::unique_ptr<Monitor> makeMonitor(TargetSettings settings, Monitor::Clocks clocks = {},
                                         ClockSource engineClock = ClockSource::system()) {
        auto monitor = std::make_unique<Monitor>(std::move(settings), 1.0, std::ref(updates_),
                                                 loopbackEnvironment(std::move(engineClock)), std::move(clocks));
        updates_.attach(*monitor);
        return monitor;
    }

    // Feeds one event to an unstarted monitor on its queue, as the engine would.
    void feed(Monitor& monitor, const ProbeEngine::Event& event) {
        monitor.queue().sync([&] { monitor.handle(event); });
    }

    static Target target(TargetRole role, const std::string& address) {
        return Target{role, role == TargetRole::router() ? "router" : address, *ProbeAddress::parse(address)};
    }
    ProbeEngine::ResultEvent result(const Target& t, ProbeResult::Outcome outcome, double age) {
        return ProbeEngine::ResultEvent{t.role, ProbeProtocol::icmp,
                                        ProbeResult{t.address, 1, clocks_.sentAgo(age), outcome}};
    }

    static NetworkPath satisfiedPath() {
        NetworkPath path;
        path.isSatisfied = true;
        path.hasIPv4 = true;
        path.primaryInterface = "lo";
        return path;
    }

    ManualClocks clocks_;
    Updates updates_;
    const Target router_ = target(TargetRole::router(), "127.0.0.1");
    const Target hostA_ = target(TargetRole::internet(0), "127.0.0.2");
    const Target hostB_ = target(TargetRole::internet(1), "127.0.0.3");
};

TEST_F(MonitorTest, ResultsAreDatedFromTheirSendTimeAndOnlyTicksPublishSnapshots) {
    auto monitor = makeMonitor(loopbackSettings(), clocks_.clocks());
    feed(*monitor, ProbeEngine::TargetsEvent{satisfiedPath(), {router_, hostA_}});
    auto updates = updates_.take();
    ASSERT_EQ(updates.size(), 1u);
    const auto& first = std::get<Monitor::SnapshotUpdate>(updates[0]);
    EXPECT_EQ(first.snapshot.verdict, Verdict::measuring);
    ASSERT_EQ(first.snapshot.targets.size(), 2u);
    EXPECT_TRUE(first.probes.empty());

    for (const auto& t : {router_, hostA_}) feed(*monitor, ProbeEngine::StatusEvent{t.role, TargetStatus::icmp});
    clocks_.elapsed = 3;
    // Sent 1.5 s ago; and one stamped after "now", which counts as sent now.
    feed(*monitor, result(router_, ProbeResult::Reply{2}, 1.5));
    feed(*monitor, result(hostA_, ProbeResult::Reply{20}, -0.5));
    EXPECT_TRUE(updates_.take().empty());

    feed(*monitor, ProbeEngine::TickEvent{});
    updates = updates_.take();
    ASSERT_EQ(updates.size(), 1u);
    const auto& tick = std::get<Monitor::SnapshotUpdate>(updates[0]);
    ASSERT_EQ(tick.probes.size(), 2u);
    EXPECT_EQ(tick.probes[0], (ProbeRecord{router_, ProbeProtocol::icmp, ProbeResult::Reply{2},
                                           ManualClocks::wallStart + 3 - 1.5}));
    EXPECT_DOUBLE_EQ(tick.probes[1].sentAt, ManualClocks::wallStart + 3);
    EXPECT_EQ(tick.snapshot.verdict, Verdict::good);
    EXPECT_EQ(tick.snapshot.targets[1].metrics.latest, 20);

    // Handed out once: the next snapshot carries no records.
    feed(*monitor, ProbeEngine::TickEvent{});
    EXPECT_TRUE(std::get<Monitor::SnapshotUpdate>(updates_.take().at(0)).probes.empty());
}

TEST_F(MonitorTest, ANewTargetListPublishesTheClosedOutageBeforeItsSnapshot) {
    auto monitor = makeMonitor(loopbackSettings(), clocks_.clocks());
    feed(*monitor, ProbeEngine::TargetsEvent{satisfiedPath(), {hostA_, hostB_}});
    for (const auto& t : {hostA_, hostB_}) feed(*monitor, ProbeEngine::StatusEvent{t.role, TargetStatus::icmp});
    feed(*monitor, result(hostB_, ProbeResult::Reply{10}, 0));

    // Losses reported 2 s after sending: the first was sent at elapsed 1.
    for (int sent = 1; sent <= 4; ++sent) {
        clocks_.elapsed = sent + 2;
        feed(*monitor, result(hostA_, ProbeResult::Lost{}, 2));
        feed(*monitor, ProbeEngine::TickEvent{});
    }
    clocks_.elapsed = 6;
    feed(*monitor, ProbeEngine::TickEvent{});
    updates_.take();
    feed(*monitor, ProbeEngine::TickEvent{});
    auto updates = updates_.take();
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(std::get<Monitor::SnapshotUpdate>(updates[0]).snapshot.targets[0].outageSince,
              ManualClocks::wallStart + 1);

    clocks_.elapsed = 8;
    feed(*monitor, ProbeEngine::TargetsEvent{satisfiedPath(), {hostA_, hostB_}});
    updates = updates_.take();
    ASSERT_EQ(updates.size(), 2u);
    const auto& event = std::get<Monitor::EventUpdate>(updates[0]).event;
    EXPECT_EQ(event, (NetworkEvent{NetworkEvent::Kind::outage, hostA_.role, hostA_.host, hostA_.address,
                                   ManualClocks::wallStart + 1, ManualClocks::wallStart + 8, std::nullopt}));
    const auto& snapshot = std::get<Monitor::SnapshotUpdate>(updates[1]).snapshot;
    EXPECT_EQ(snapshot.verdict, Verdict::measuring);
    EXPECT_FALSE(snapshot.targets[0].outageSince);

    // Every published event leaves its line in the log, category "stats".
    const auto entries = LogStore::shared().entries(std::chrono::seconds(60), identifier);
    EXPECT_TRUE(std::any_of(entries.begin(), entries.end(), [](const LogEntry& entry) {
        return entry.category == "stats" && entry.message == "outage 127.0.0.2 127.0.0.2 7.0 s";
    }));
}

TEST_F(MonitorTest, SpikeAndOutageOfOneReplyArriveInThatOrderWithoutASnapshot) {
    auto monitor = makeMonitor(loopbackSettings(), clocks_.clocks());
    feed(*monitor, ProbeEngine::TargetsEvent{satisfiedPath(), {hostA_}});
    feed(*monitor, ProbeEngine::StatusEvent{hostA_.role, TargetStatus::icmp});
    for (int i = 0; i < 6; ++i) {
        clocks_.elapsed = i;
        feed(*monitor, result(hostA_, ProbeResult::Reply{5}, 0));
    }
    for (int i = 6; i < 9; ++i) {
        clocks_.elapsed = i;
        feed(*monitor, result(hostA_, ProbeResult::Reply{300}, 0));
    }
    for (int i = 9; i < 15; ++i) {
        clocks_.elapsed = i + 2;
        feed(*monitor, result(hostA_, ProbeResult::Lost{}, 2));
    }
    feed(*monitor, ProbeEngine::TickEvent{});
    updates_.take();

    clocks_.elapsed = 20;
    feed(*monitor, result(hostA_, ProbeResult::Reply{5}, 0));
    const auto updates = updates_.take();
    ASSERT_EQ(updates.size(), 2u);
    const auto& spike = std::get<Monitor::EventUpdate>(updates[0]).event;
    EXPECT_EQ(spike.kind, NetworkEvent::Kind::spike);
    EXPECT_EQ(spike.worstRTT, 300);
    EXPECT_EQ(spike.start, ManualClocks::wallStart + 6);
    EXPECT_EQ(std::get<Monitor::EventUpdate>(updates[1]).event.kind, NetworkEvent::Kind::outage);
}

TEST_F(MonitorTest, ProbesLoopbackOnItsQueueAndReleasesWarmUpRecordsWhenSettled) {
    // The engine's clock can be moved ahead; monitor time follows it.
    std::atomic<std::uint64_t> ahead{0};
    ClockSource clock{[&] { return MachClock::now() + ahead.load(); },
                      [&] { return MachClock::continuousNow() + ahead.load(); }};
    auto monitor = makeMonitor(loopbackSettings(), {}, clock);
    monitor->start();

    const auto first = updates_.waitForSnapshot([](const auto&) { return true; });
    ASSERT_TRUE(first);
    ASSERT_EQ(first->snapshot.targets.size(), 2u);  // no router on this path
    EXPECT_EQ(first->snapshot.targets[0].status, TargetStatus::warmingUp);
    EXPECT_EQ(first->snapshot.verdict, Verdict::measuring);

    // Warm-up replies are held back, but they are in the window.
    const auto warming = updates_.waitForSnapshot([](const Monitor::SnapshotUpdate& update) {
        return !update.snapshot.targets.empty() && update.snapshot.targets[1].metrics.sent >= 2;
    });
    ASSERT_TRUE(warming);
    EXPECT_TRUE(warming->probes.empty());
    EXPECT_EQ(warming->snapshot.verdict, Verdict::measuring);

    ahead += MachClock::ticks(10.5);
    const auto settled = updates_.waitForSnapshot([](const Monitor::SnapshotUpdate& update) {
        return !update.snapshot.targets.empty() && update.snapshot.targets[0].status == TargetStatus::icmp &&
               update.snapshot.targets[1].status == TargetStatus::icmp;
    });
    ASSERT_TRUE(settled);
    EXPECT_EQ(settled->snapshot.verdict, Verdict::good);
    EXPECT_GE(settled->probes.size(), 4u);
    const double wall = static_cast<double>(MachClock::realtimeNow()) / 1e9;
    for (const auto& probe : settled->probes) {
        EXPECT_TRUE(std::holds_alternative<ProbeResult::Reply>(probe.outcome));
        EXPECT_NEAR(probe.sentAt, wall, 20.0);
    }

    // New settings rebuild the targets; the monitor follows.
    auto settings = loopbackSettings();
    settings.internetHosts = {"127.0.0.4"};
    monitor->update(settings);
    const auto rebuilt = updates_.waitForSnapshot([](const Monitor::SnapshotUpdate& update) {
        return update.snapshot.targets.size() == 1;
    });
    ASSERT_TRUE(rebuilt);
    EXPECT_EQ(rebuilt->snapshot.targets[0].target.host, "127.0.0.4");

    // Once stop returns nothing more arrives.
    monitor->stop();
    const auto count = updates_.all().size();
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(updates_.all().size(), count);
    EXPECT_FALSE(updates_.offQueue());
}

}  // namespace
}  // namespace nerivane
