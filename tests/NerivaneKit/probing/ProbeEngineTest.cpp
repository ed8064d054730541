// The engine driven against loopback targets, with a fake path source and an
// injected clock: 127.0.0.1 stands in for the router and 127.0.0.2/3 for the
// internet hosts, so nothing leaves the machine.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <chrono>
#include <mutex>
#include <thread>

#include <linux/capability.h>
#include <sys/syscall.h>

#include "support/LoopbackNetwork.h"
#include "NerivaneKit/path/PathSource.h"
#include "NerivaneKit/platform/LogStore.h"
#include "NerivaneKit/platform/MachClock.h"
#include "NerivaneKit/platform/SerialQueue.h"
#include "NerivaneKit/probing/ProbeEngine.h"
#include "support/Recorder.h"

namespace nerivane {
namespace {

using namespace std::chrono_literals;
using Event = ProbeEngine::Event;
using Events = std::vector<Event>;

constexpr std::size_t targetsIndex = 0, statusIndex = 1, resultIndex = 2, tickIndex = 3;

StoreSnapshot loopbackSnapshot(const std::string& router = "127.0.0.1") {
    StoreSnapshot snapshot;
    snapshot.primaryInterface = "lo";
    snapshot.routerIPv4 = router;
    return snapshot;
}

// Delivers the snapshot the test chose, and tells the engine when it changes.
class FakePathSource : public PathSource {
public:
    struct Network {
        std::mutex mutex;
        StoreSnapshot snapshot = loopbackSnapshot();
        Handlers handlers;
        SerialQueue* queue = nullptr;
    };

    explicit FakePathSource(std::shared_ptr<Network> network) : network_(std::move(network)) {}
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

    static void change(const std::shared_ptr<Network>& network, StoreSnapshot next) {
        std::lock_guard lock(network->mutex);
        network->snapshot = std::move(next);
        network->queue->async([network] { network->handlers.configurationChanged(); });
    }

private:
    std::shared_ptr<Network> network_;
};

// Takes CAP_NET_RAW from the calling thread and the threads it starts from
// now on: together with a closed ping_group_range, a user who may not ping.
bool dropRawSockets() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (syscall(SYS_capget, &header, data) != 0) return false;
    data[CAP_TO_INDEX(CAP_NET_RAW)].effective &= ~CAP_TO_MASK(CAP_NET_RAW);
    data[CAP_TO_INDEX(CAP_NET_RAW)].permitted &= ~CAP_TO_MASK(CAP_NET_RAW);
    data[CAP_TO_INDEX(CAP_NET_RAW)].inheritable &= ~CAP_TO_MASK(CAP_NET_RAW);
    return syscall(SYS_capset, &header, data) == 0;
}

auto countOf(std::size_t index, std::size_t atLeast) {
    return [=](const Events& events) {
        return std::count_if(events.begin(), events.end(), [&](const Event& e) { return e.index() == index; }) >=
               static_cast<std::ptrdiff_t>(atLeast);
    };
}

class ProbeEngineTest : public ::testing::Test {
protected:
    void SetUp() override { LogStore::shared().setStderrOutput(LogStore::StderrOutput::never); }

    std::unique_ptr<ProbeEngine> start(TargetSettings settings, TargetPlan::Resolver resolve = {}) {
        ProbeEngine::Environment environment;
        environment.identifier = "org.nerivane.test";
        // A monotonic clock the test moves ahead, and a continuous one that
        // can also move alone, as a sleep would.
        environment.clock = ClockSource{[this] { return MachClock::now() + ahead.load(); },
                                        [this] { return MachClock::now() + ahead.load() + slept.load(); }};
        environment.resolve = resolve ? resolve : [](const std::string&) { return std::vector<ProbeAddress>{}; };
        environment.makePathSource = [network = network] { return std::make_unique<FakePathSource>(network); };
        environment.tcpPort = tcpPort;
        auto engine = std::make_unique<ProbeEngine>(settings, 1.0, std::ref(recorder), environment);
        engine->start();
        return engine;
    }
    std::size_t count(std::size_t index) {
        return recorder.countIf([index](const Event& e) { return e.index() == index; });
    }

    static TargetSettings loopbackSettings() {
        TargetSettings settings;
        settings.internetHosts = {"127.0.0.2", "127.0.0.3"};
        return settings;
    }

    std::shared_ptr<FakePathSource::Network> network = std::make_shared<FakePathSource::Network>();
    std::atomic<std::uint64_t> ahead{0}, slept{0};
    std::uint16_t tcpPort = 443;
    test::Recorder<Event> recorder;
};

TEST_F(ProbeEngineTest, ReportsTargetsThenWarmUpThenResultsBeforeTheirTick) {
    auto engine = start(loopbackSettings());
    ASSERT_TRUE(recorder.waitFor(countOf(tickIndex, 2)));
    engine->stop();

    const auto events = recorder.values();
    ASSERT_GE(events.size(), 5u);
    const auto& targets = std::get<ProbeEngine::TargetsEvent>(events[0]);
    ASSERT_EQ(targets.targets.size(), 3u);
    EXPECT_EQ(targets.targets[0].address, *ProbeAddress::parse("127.0.0.1"));
    EXPECT_EQ(targets.path.primaryInterface, "lo");
    const std::vector<TargetRole> order{TargetRole::router(), TargetRole::internet(0), TargetRole::internet(1)};
    for (std::size_t i = 0; i < order.size(); ++i) {
        EXPECT_EQ(targets.targets[i].role, order[i]);
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
    auto engine = start(loopbackSettings());
    const auto onQueue = [&](auto read) { return engine->queue().syncResult([&] { return read(*engine); }); };
    const auto timerInterval = [](ProbeEngine& e) { return e.timerInterval(); };
    ASSERT_TRUE(recorder.waitFor(countOf(tickIndex, 1)));
    engine->setInterval(5.0);
    EXPECT_EQ(onQueue(timerInterval), 1.0);

    // Ten seconds pass on the engine clock: every target settles on the next tick.
    ahead += MachClock::ticks(10.5);
    ASSERT_TRUE(recorder.waitFor([](const Events& events) {
        return std::count_if(events.begin(), events.end(), [](const Event& e) {
                   auto* status = std::get_if<ProbeEngine::StatusEvent>(&e);
                   return status && status->status == TargetStatus::icmp;
               }) == 3;
    }));
    ASSERT_TRUE(recorder.waitFor(countOf(tickIndex, 3)));
    EXPECT_EQ(onQueue(timerInterval), 5.0);
    const int generation = onQueue([](ProbeEngine& e) { return e.generation(); });

    // The same effective period again keeps the timer as it is.
    engine->setInterval(5.0);
    EXPECT_EQ(onQueue(timerInterval), 5.0);
    EXPECT_EQ(onQueue([](ProbeEngine& e) { return e.generation(); }), generation);

    // An interval beyond the timer's reach counts as an hour, a tiny one as
    // the shortest: neither becomes a busy loop.
    engine->setInterval(1e10);
    EXPECT_EQ(onQueue(timerInterval), ProbeEngine::longestInterval);
    engine->setInterval(1e-6);
    EXPECT_EQ(onQueue(timerInterval), ProbeEngine::shortestInterval);
    engine->stop();
}

TEST_F(ProbeEngineTest, EqualSettingsAreIgnoredAChangeRebuildsAndStopEndsTheTicks) {
    auto engine = start(loopbackSettings());
    ASSERT_TRUE(recorder.waitFor(countOf(tickIndex, 1)));
    engine->setSettings(loopbackSettings());
    std::this_thread::sleep_for(600ms);
    EXPECT_EQ(count(targetsIndex), 1u);

    auto changed = loopbackSettings();
    changed.probeIPv6 = false;
    engine->setSettings(changed);
    EXPECT_TRUE(recorder.waitFor(countOf(targetsIndex, 2)));

    // Stopping ends the generation: no tick or result follows.
    engine->stop();
    const auto ticks = count(tickIndex);
    const auto results = count(resultIndex);
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(count(tickIndex), ticks);
    EXPECT_EQ(count(resultIndex), results);
}

TEST_F(ProbeEngineTest, AWakeFromSleepRebuildsTheTargetsWithoutProbing) {
    auto engine = start(loopbackSettings());
    ASSERT_TRUE(recorder.waitFor(countOf(tickIndex, 1)));

    // Short sleeps add up; only more than a second in all counts as a wake.
    slept += MachClock::ticks(0.6);
    std::this_thread::sleep_for(1200ms);
    EXPECT_EQ(count(targetsIndex), 1u);
    slept += MachClock::ticks(0.6);
    ASSERT_TRUE(recorder.waitFor(countOf(targetsIndex, 2)));
    engine->stop();

    // The rebuilt list starts over with warm-up statuses.
    const auto events = recorder.values();
    auto second = std::find_if(events.begin() + 1, events.end(), [](const Event& e) { return e.index() == targetsIndex; });
    ASSERT_NE(second, events.end());
    ASSERT_GE(events.end() - second, 4);
    EXPECT_EQ(std::get<ProbeEngine::StatusEvent>(*(second + 1)).status, TargetStatus::warmingUp);
}

// A resolver whose lookups hang until the test answers them, one by one. It
// is shared with the lookup threads, which may outlive the test's engine.
struct HangingResolver {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> asked;
    std::map<std::size_t, ProbeAddress> answers;

    static TargetPlan::Resolver resolver(const std::shared_ptr<HangingResolver>& self) {
        return [self](const std::string& host) {
            std::unique_lock lock(self->mutex);
            const std::size_t call = self->asked.size();
            self->asked.push_back(host);
            self->changed.notify_all();
            self->changed.wait(lock, [&] { return self->answers.contains(call); });
            return std::vector<ProbeAddress>{self->answers.at(call)};
        };
    }
    bool waitForCalls(std::size_t count) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), [&] { return asked.size() >= count; });
    }
    void answer(std::size_t call, const char* address) {
        std::lock_guard lock(mutex);
        answers.emplace(call, *ProbeAddress::parse(address));
        changed.notify_all();
    }
};

TEST_F(ProbeEngineTest, AHangingLookupHoldsUpNoOtherTargetNorStopAndAStaleAnswerIsDropped) {
    const auto failure = test::runInPrivateNetwork({}, [&] {
        const auto lookups = std::make_shared<HangingResolver>();
        auto settings = loopbackSettings();
        settings.customHosts = {"nas.local"};
        auto engine = start(settings, HangingResolver::resolver(lookups));
        const auto inFlight = [&] { return engine->queue().syncResult([&] { return engine->lookupsInFlight(); }); };

        // The router and the numeric hosts are probed while the lookup hangs.
        ASSERT_TRUE(lookups->waitForCalls(1));
        ASSERT_TRUE(recorder.waitFor(countOf(tickIndex, 2)));
        EXPECT_EQ(std::get<ProbeEngine::TargetsEvent>(recorder.values()[0]).targets.size(), 3u);
        EXPECT_GE(count(resultIndex), 3u);

        // A new plan asks again; the first answer belongs to the old one.
        FakePathSource::change(network, loopbackSnapshot("127.0.0.5"));
        ASSERT_TRUE(lookups->waitForCalls(2));
        lookups->answer(0, "127.0.0.9");
        ASSERT_TRUE(test::eventually([&] { return inFlight() == 1; }));
        lookups->answer(1, "127.0.0.4");
        ASSERT_TRUE(recorder.waitFor(countOf(targetsIndex, 3)));
        ASSERT_TRUE(test::eventually([&] { return inFlight() == 0; }));
        ASSERT_TRUE(recorder.waitFor(countOf(tickIndex, count(tickIndex) + 1)));

        auto events = recorder.values();
        std::vector<ProbeEngine::TargetsEvent> lists;
        std::vector<ProbeEngine::StatusEvent> afterAnswer;
        for (const auto& e : events) {
            if (auto* list = std::get_if<ProbeEngine::TargetsEvent>(&e)) lists.push_back(*list);
            if (auto* status = std::get_if<ProbeEngine::StatusEvent>(&e); status && lists.size() == 3)
                afterAnswer.push_back(*status);
        }
        ASSERT_EQ(lists.size(), 3u) << "the stale answer must not change the plan";
        EXPECT_FALSE(lists[1].extendsPrevious);
        EXPECT_EQ(lists[1].targets.size(), 3u);
        EXPECT_TRUE(lists[2].extendsPrevious);
        ASSERT_EQ(lists[2].targets.size(), 4u);
        EXPECT_EQ(lists[2].targets[0].address, *ProbeAddress::parse("127.0.0.5"));
        EXPECT_EQ(lists[2].targets[3].role, TargetRole::custom(0));
        EXPECT_EQ(lists[2].targets[3].address, *ProbeAddress::parse("127.0.0.4"));
        // Only the added target starts warming up; the others go on.
        EXPECT_EQ(afterAnswer, (std::vector<ProbeEngine::StatusEvent>{{TargetRole::custom(0), TargetStatus::warmingUp}}));

        // Stopping and going away do not wait for a lookup that hangs.
        engine->setSettings(loopbackSettings());
        auto hanging = settings;
        hanging.customHosts = {"printer.local"};
        engine->setSettings(hanging);
        ASSERT_TRUE(lookups->waitForCalls(3));
        engine->stop();
        engine.reset();
        lookups->answer(2, "127.0.0.6");
    });
    if (failure) GTEST_SKIP() << *failure;
}

TEST_F(ProbeEngineTest, WithoutLeaveToPingTargetsAreNotPermittedNotLostAndTCPStillMeasures) {
    const auto failure = test::runInPrivateNetwork({.pingSocketsAllowed = false}, [&] {
        ASSERT_TRUE(dropRawSockets());
        ASSERT_FALSE(UniqueFd(::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP))) << "CAP_NET_RAW still held";
        // internet(0) shares the router's address and answers TCP; internet(1) refuses it.
        const test::Listener https(IPFamily::v4, 64);
        tcpPort = https.port;
        TargetSettings settings;
        settings.internetHosts = {"127.0.0.1", "127.0.0.3"};
        settings.customHosts = {"127.0.0.4"};
        auto engine = start(settings);
        const auto statusOf = [](const Events& events, const TargetRole& role) {
            std::optional<TargetStatus> last;
            for (const auto& e : events) {
                if (auto* status = std::get_if<ProbeEngine::StatusEvent>(&e); status && status->role == role)
                    last = status->status;
            }
            return last;
        };
        ASSERT_TRUE(recorder.waitFor(countOf(tickIndex, 3)));
        EXPECT_EQ(statusOf(recorder.values(), TargetRole::router()), TargetStatus::pingNotPermitted);
        EXPECT_EQ(statusOf(recorder.values(), TargetRole::custom(0)), TargetStatus::pingNotPermitted);
        EXPECT_EQ(statusOf(recorder.values(), TargetRole::internet(0)), TargetStatus::warmingUp);

        // Past the warm-up the host that took TCP is measured over it.
        ahead += MachClock::ticks(10.5);
        ASSERT_TRUE(recorder.waitFor([&](const Events& events) {
            return std::any_of(events.begin(), events.end(), [](const Event& e) {
                auto* result = std::get_if<ProbeEngine::ResultEvent>(&e);
                return result && result->probeProtocol == ProbeProtocol::tcp && result->result.isReply();
            });
        }));
        engine->stop();

        const auto events = recorder.values();
        EXPECT_EQ(statusOf(events, TargetRole::internet(0)), TargetStatus::tcp);
        EXPECT_EQ(statusOf(events, TargetRole::internet(1)), TargetStatus::pingNotPermitted);
        for (const auto& e : events) {
            if (auto* result = std::get_if<ProbeEngine::ResultEvent>(&e)) {
                EXPECT_EQ(result->role, TargetRole::internet(0)) << "only TCP measurements, and no losses";
                EXPECT_EQ(result->probeProtocol, ProbeProtocol::tcp);
            }
        }
    });
    if (failure) GTEST_SKIP() << *failure;
}

TEST_F(ProbeEngineTest, AnUnsatisfiedPathHasNoTargetsAndNoTicks) {
    network->snapshot = StoreSnapshot{};
    auto engine = start(loopbackSettings());
    ASSERT_TRUE(recorder.waitFor(countOf(targetsIndex, 1)));
    std::this_thread::sleep_for(1500ms);
    engine->stop();
    EXPECT_TRUE(std::get<ProbeEngine::TargetsEvent>(recorder.values()[0]).targets.empty());
    EXPECT_EQ(count(tickIndex), 0u);
}

}  // namespace
}  // namespace nerivane
