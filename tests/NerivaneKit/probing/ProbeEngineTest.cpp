// The engine driven against loopback targets, with a fake path source and an
// injected clock: 127.0.0.1 stands in for the router and 127.0.0.2/3 for the
// internet hosts, so nothing leaves the machine.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "NerivaneKit/path/PathSource.h"
#include "NerivaneKit/platform/LogStore.h"
#include "NerivaneKit/platform/MachClock.h"
#include "NerivaneKit/platform/SerialQueue.h"
#include "NerivaneKit/probing/ProbeEngine.h"

namespace nerivane {
namespace {

using namespace std::chrono_literals;
using Event = ProbeEngine::Event;

// Delivers chosen store snapshots; shared with the test, which changes them.
struct FakeNetwork {
    std::mutex mutex;
    StoreSnapshot snapshot;
    PathSource::Handlers handlers;
    SerialQueue* queue = nullptr;

    void change(StoreSnapshot next) {
        SerialQueue* target;
        {
            std::lock_guard lock(mutex);
            snapshot = std::move(next);
            target = queue;
        }
        target->async([this] { handlers.configurationChanged(); });
    }
};

class FakePathSource : public PathSource {
public:
    explicit FakePathSource(std::shared_ptr<FakeNetwork> network) : network_(std::move(network)) {}
    bool start(SerialQueue& queue, Handlers handlers) override {
        std::lock_guard lock(network_->mutex);
        network_->queue = &queue;
        network_->handlers = handlers;
        queue.async([handlers] { handlers.factsDelivered(PathFacts{true, false, false, {{"lo", PathFacts::InterfaceType::other}}}); });
        return true;
    }
    void stop() override {}
    std::optional<StoreSnapshot> readSnapshot() override {
        std::lock_guard lock(network_->mutex);
        return network_->snapshot;
    }

private:
    std::shared_ptr<FakeNetwork> network_;
};

StoreSnapshot loopbackSnapshot(const std::string& router = "127.0.0.1") {
    StoreSnapshot snapshot;
    snapshot.primaryInterface = "lo";
    snapshot.routerIPv4 = router;
    return snapshot;
}

// A monotonic clock that the test can move ahead, and a continuous clock that
// can additionally be moved ahead alone, as a sleep would.
struct FakeClock {
    std::atomic<std::uint64_t> ahead{0};
    std::atomic<std::uint64_t> slept{0};
    ClockSource source() {
        return ClockSource{[this] { return MachClock::now() + ahead.load(); },
                           [this] { return MachClock::now() + ahead.load() + slept.load(); }};
    }
};

class Recorder {
public:
    void operator()(const Event& event) {
        std::lock_guard lock(mutex_);
        events_.push_back(event);
        changed_.notify_all();
    }
    std::vector<Event> events() {
        std::lock_guard lock(mutex_);
        return events_;
    }
    // Waits until the predicate holds over the events so far.
    template <class Predicate>
    bool waitFor(Predicate predicate, std::chrono::milliseconds limit = 10s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return predicate(events_); });
    }
    std::size_t count(std::size_t index) {
        std::lock_guard lock(mutex_);
        return static_cast<std::size_t>(
            std::count_if(events_.begin(), events_.end(), [index](const Event& e) { return e.index() == index; }));
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Event> events_;
};

constexpr std::size_t targetsIndex = 0, statusIndex = 1, resultIndex = 2, tickIndex = 3;

auto countOf(std::size_t index, std::size_t atLeast) {
    return [=](const std::vector<Event>& events) {
        return static_cast<std::size_t>(std::count_if(events.begin(), events.end(),
                                                      [&](const Event& e) { return e.index() == index; })) >= atLeast;
    };
}

class ProbeEngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        LogStore::shared().setStderrOutput(LogStore::StderrOutput::never);
        network_->snapshot = loopbackSnapshot();
    }

    std::unique_ptr<ProbeEngine> makeEngine(TargetSettings settings, double interval = 1.0,
                                            TargetPlan::Resolver resolve = {}) {
        ProbeEngine::Environment environment;
        environment.identifier = "org.nerivane.test";
        environment.clock = clock_.source();
        environment.resolve = resolve ? resolve : [](const std::string&) { return std::vector<ProbeAddress>{}; };
        environment.makePathSource = [network = network_] { return std::make_unique<FakePathSource>(network); };
        return std::make_unique<ProbeEngine>(settings, interval, std::ref(recorder_), environment);
    }

    static TargetSettings loopbackSettings() {
        TargetSettings settings;
        settings.internetHosts = {"127.0.0.2", "127.0.0.3"};
        return settings;
    }

    std::shared_ptr<FakeNetwork> network_ = std::make_shared<FakeNetwork>();
    FakeClock clock_;
    Recorder recorder_;
};

TEST_F(ProbeEngineTest, ReportsTargetsThenWarmUpThenResultsBeforeTheirTick) {
    auto engine = makeEngine(loopbackSettings());
    engine->start();
    ASSERT_TRUE(recorder_.waitFor(countOf(tickIndex, 2)));
    engine->stop();

    const auto events = recorder_.events();
    ASSERT_GE(events.size(), 5u);
    const auto& targets = std::get<ProbeEngine::TargetsEvent>(events[0]);
    ASSERT_EQ(targets.targets.size(), 3u);
    EXPECT_EQ(targets.targets[0].role, TargetRole::router());
    EXPECT_EQ(targets.targets[0].address, *ProbeAddress::parse("127.0.0.1"));
    EXPECT_EQ(targets.path.primaryInterface, "lo");
    const std::vector<TargetRole> order{TargetRole::router(), TargetRole::internet(0), TargetRole::internet(1)};
    for (std::size_t i = 0; i < order.size(); ++i) {
        EXPECT_EQ(std::get<ProbeEngine::StatusEvent>(events[1 + i]), (ProbeEngine::StatusEvent{order[i], TargetStatus::warmingUp}));
    }
    // Loopback answers within the 0.25 s window: the first round's three
    // replies come before the first tick.
    std::size_t firstTick = 0;
    while (events[firstTick].index() != tickIndex) ++firstTick;
    EXPECT_EQ(firstTick, 7u);
    for (std::size_t i = 4; i < firstTick; ++i) {
        const auto& result = std::get<ProbeEngine::ResultEvent>(events[i]);
        EXPECT_EQ(result.probeProtocol, ProbeProtocol::icmp);
        ASSERT_TRUE(result.result.isReply());
        EXPECT_LT(*result.result.milliseconds(), 50.0);
    }
}

TEST_F(ProbeEngineTest, KeepsTheTimerFastWhileWarmingUpAndSlowsOnceSettled) {
    auto engine = makeEngine(loopbackSettings());
    engine->start();
    ASSERT_TRUE(recorder_.waitFor(countOf(tickIndex, 1)));
    engine->setInterval(5.0);
    EXPECT_EQ(engine->queue().syncResult([&] { return engine->timerInterval(); }), 1.0);

    // Ten seconds pass on the engine clock: every target settles on the next tick.
    clock_.ahead += MachClock::ticks(10.5);
    ASSERT_TRUE(recorder_.waitFor([](const std::vector<Event>& events) {
        return std::count_if(events.begin(), events.end(), [](const Event& e) {
                   auto* status = std::get_if<ProbeEngine::StatusEvent>(&e);
                   return status && status->status == TargetStatus::icmp;
               }) == 3;
    }));
    ASSERT_TRUE(recorder_.waitFor(countOf(tickIndex, 3)));
    EXPECT_EQ(engine->queue().syncResult([&] { return engine->timerInterval(); }), 5.0);
    const int generation = engine->queue().syncResult([&] { return engine->generation(); });

    // The same effective period again keeps the timer as it is.
    engine->setInterval(5.0);
    EXPECT_EQ(engine->queue().syncResult([&] { return engine->timerInterval(); }), 5.0);
    EXPECT_EQ(engine->queue().syncResult([&] { return engine->generation(); }), generation);
    engine->stop();
}

TEST_F(ProbeEngineTest, EqualSettingsAreIgnoredAndAnyChangeRebuildsTheTargets) {
    auto engine = makeEngine(loopbackSettings());
    engine->start();
    ASSERT_TRUE(recorder_.waitFor(countOf(tickIndex, 1)));
    engine->setSettings(loopbackSettings());
    std::this_thread::sleep_for(600ms);
    EXPECT_EQ(recorder_.count(targetsIndex), 1u);

    auto changed = loopbackSettings();
    changed.probeIPv6 = false;
    engine->setSettings(changed);
    EXPECT_TRUE(recorder_.waitFor(countOf(targetsIndex, 2)));
    engine->stop();
}

TEST_F(ProbeEngineTest, AWakeFromSleepRebuildsTheTargetsWithoutProbing) {
    auto engine = makeEngine(loopbackSettings());
    engine->start();
    ASSERT_TRUE(recorder_.waitFor(countOf(tickIndex, 1)));

    // Short sleeps add up; only more than a second in all counts as a wake.
    clock_.slept += MachClock::ticks(0.6);
    std::this_thread::sleep_for(1200ms);
    EXPECT_EQ(recorder_.count(targetsIndex), 1u);
    clock_.slept += MachClock::ticks(0.6);
    ASSERT_TRUE(recorder_.waitFor(countOf(targetsIndex, 2)));
    engine->stop();

    // The rebuilt list starts over with warm-up statuses.
    const auto events = recorder_.events();
    auto second = std::find_if(events.begin() + 1, events.end(), [](const Event& e) { return e.index() == targetsIndex; });
    ASSERT_NE(second, events.end());
    ASSERT_GE(events.end() - second, 4);
    EXPECT_EQ(std::get<ProbeEngine::StatusEvent>(*(second + 1)).status, TargetStatus::warmingUp);
}

TEST_F(ProbeEngineTest, DropsTheTargetsOfAnEarlierPathWhoseResolutionFinishedLate) {
    std::atomic<int> calls{0};
    auto slowFirst = [&calls](const std::string&) {
        if (calls++ == 0) std::this_thread::sleep_for(1500ms);
        return std::vector<ProbeAddress>{*ProbeAddress::parse("127.0.0.4")};
    };
    auto settings = loopbackSettings();
    settings.customHosts = {"custom.test"};
    auto engine = makeEngine(settings, 1.0, slowFirst);
    engine->start();
    std::this_thread::sleep_for(700ms);  // the first path is reported and its planning hangs
    network_->change(loopbackSnapshot("127.0.0.5"));
    ASSERT_TRUE(recorder_.waitFor(countOf(tickIndex, 1)));
    std::this_thread::sleep_for(1500ms);
    engine->stop();

    const auto events = recorder_.events();
    ASSERT_EQ(recorder_.count(targetsIndex), 1u);
    const auto& targets = std::get<ProbeEngine::TargetsEvent>(events[0]);
    EXPECT_EQ(targets.targets[0].address, *ProbeAddress::parse("127.0.0.5"));
    EXPECT_EQ(targets.targets.back().role, TargetRole::custom(0));
}

TEST_F(ProbeEngineTest, StopEndsTheGenerationSoNoTickFollows) {
    auto engine = makeEngine(loopbackSettings());
    engine->start();
    ASSERT_TRUE(recorder_.waitFor(countOf(tickIndex, 1)));
    engine->stop();
    const auto ticks = recorder_.count(tickIndex);
    const auto results = recorder_.count(resultIndex);
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(recorder_.count(tickIndex), ticks);
    EXPECT_EQ(recorder_.count(resultIndex), results);
}

TEST_F(ProbeEngineTest, AnUnsatisfiedPathHasNoTargetsAndNoTicks) {
    network_->snapshot = StoreSnapshot{};
    auto engine = makeEngine(loopbackSettings());
    engine->start();
    ASSERT_TRUE(recorder_.waitFor(countOf(targetsIndex, 1)));
    std::this_thread::sleep_for(1500ms);
    engine->stop();
    EXPECT_TRUE(std::get<ProbeEngine::TargetsEvent>(recorder_.events()[0]).targets.empty());
    EXPECT_EQ(recorder_.count(tickIndex), 0u);
}

}  // namespace
}  // namespace nerivane
