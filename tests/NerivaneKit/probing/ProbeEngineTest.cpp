// The engine driven against loopback targets, with a fake path source and an
// injected clock: 127.0.0.1 stands in for the router and 127.0.0.2/3 for the
// internet hosts, so nothing leaves the machine.
#include <gtest/gtest.h>

#include <condition_variable>
#include <map>

#include <linux/capability.h>
#include <sys/syscall.h>

#include "support/LoopbackNetwork.h"
#include "NerivaneKit/path/PathSource.h"
#include "NerivaneKit/platform/SerialQueue.h"
#include "NerivaneKit/platform/LogStore.h"
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
    auto& raw = data[CAP_TO_INDEX(CAP_NET_RAW)];
    for (auto* set : {&raw.effective, &raw.permitted, &raw.inheritable}) *set &= ~CAP_TO_MASK(CAP_NET_RAW);
    return syscall(SYS_capset, &header, data) == 0;
}

auto is(std::size_t index) {
    return [index](const Event& e) { return e.index() == index; };
}

std::optional<TargetStatus> statusOf(const Events& events, const TargetRole& role) {
    std::optional<TargetStatus> last;
    for (const auto& e : events)
        if (auto* status = std::get_if<ProbeEngine::StatusEvent>(&e); status && status->role == role) last = status->status;
    return last;
}

class ProbeEngineTest : public ::testing::Test {
protected:
    void SetUp() override { LogStore::shared().setStderrOutput(LogStore::StderrOutput::never); }

    std::unique_ptr<ProbeEngine> start(TargetSettings settings, TargetPlan::Resolver resolve = {}) {
        ProbeEngine::Environment environment;
        environment.identifier = "org.nerivane.test";
        // A monotonic clock the test moves ahead, and a continuous one that
        // can also move alone, as a sleep would.
        environment.clock = ClockSource{[this] { return MachClock::now() + ahead.load(); }, [this] {
            return ContinuousClock::time_point{MachClock::now().time_since_epoch() + ahead.load() + slept.load()};
        }};
        environment.resolve = resolve ? resolve : [](const std::string&) { return std::vector<ProbeAddress>{}; };
        environment.makePathSource = [network = network] { return std::make_unique<FakePathSource>(network); };
        environment.tcpPort = tcpPort;
        auto engine = std::make_unique<ProbeEngine>(settings, Seconds{1.0}, std::ref(recorder), environment);
        engine->start();
        return engine;
    }
    std::size_t count(std::size_t index) { return recorder.countIf(is(index)); }
    bool waitForCount(std::size_t index, std::size_t atLeast) { return recorder.waitForCountIf(is(index), atLeast); }

    static TargetSettings loopbackSettings() {
        TargetSettings settings;
        settings.internetHosts = {"127.0.0.2", "127.0.0.3"};
        return settings;
    }

    std::shared_ptr<FakePathSource::Network> network = std::make_shared<FakePathSource::Network>();
    std::atomic<std::chrono::nanoseconds> ahead{}, slept{};
    std::uint16_t tcpPort = 443;
    test::Recorder<Event> recorder;
};

TEST_F(ProbeEngineTest, WarmsUpSettlesSlowsDownRebuildsOnWakeAndStops) {
    auto engine = start(loopbackSettings());
    const auto timerInterval = [&] { return engine->queue().syncResult([&] { return engine->timerInterval(); }); };
    const auto generation = [&] { return engine->queue().syncResult([&] { return engine->generation(); }); };
    ASSERT_TRUE(waitForCount(tickIndex, 1));
    engine->setInterval(Seconds{5.0});
    EXPECT_EQ(timerInterval(), Seconds{1.0}) << "fast while warming up";

    // The list, each target warming up, and the first round's replies read
    // within the 0.25 s window before the first tick.
    auto events = recorder.values();
    ASSERT_GE(events.size(), 8u);
    const auto& targets = std::get<ProbeEngine::TargetsEvent>(events[0]);
    const std::vector<TargetRole> order{TargetRole::router(), TargetRole::internet(0), TargetRole::internet(1)};
    ASSERT_EQ(targets.targets.size(), order.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        EXPECT_EQ(targets.targets[i].role, order[i]);
        EXPECT_EQ(std::get<ProbeEngine::StatusEvent>(events[1 + i]), (ProbeEngine::StatusEvent{order[i], TargetStatus::warmingUp}));
        const auto& result = std::get<ProbeEngine::ResultEvent>(events[4 + i]);
        EXPECT_EQ(result.probeProtocol, ProbeProtocol::icmp);
        EXPECT_LT(result.result.milliseconds().value_or(1e9), 50.0);
    }
    EXPECT_EQ(events[7].index(), tickIndex);

    // Ten seconds on, every target settles on the next tick and the timer slows.
    ahead = ahead.load() + MachClock::ticks(Seconds{10.5});
    ASSERT_TRUE(recorder.waitForCountIf([](const Event& e) {
        auto* status = std::get_if<ProbeEngine::StatusEvent>(&e);
        return status && status->status == TargetStatus::icmp;
    }, 3));
    ASSERT_TRUE(test::eventually([&] { return timerInterval() == Seconds{5.0}; }));
    // An interval beyond the timer's reach counts as an hour, a tiny one as
    // the shortest: neither becomes a busy loop.
    engine->setInterval(Seconds{1e10});
    EXPECT_EQ(timerInterval(), ProbeEngine::longestInterval);
    engine->setInterval(Seconds{1e-6});
    EXPECT_EQ(timerInterval(), ProbeEngine::shortestInterval);

    // Short sleeps add up; only more than a second in all is a wake, which
    // rebuilds the list and starts over with warm-up.
    slept = slept.load() + MachClock::ticks(Seconds{0.6});
    ASSERT_TRUE(waitForCount(tickIndex, count(tickIndex) + 2));
    EXPECT_EQ(count(targetsIndex), 1u);
    slept = slept.load() + MachClock::ticks(Seconds{0.6});
    ASSERT_TRUE(waitForCount(targetsIndex, 2));
    ASSERT_TRUE(waitForCount(statusIndex, 9));
    EXPECT_EQ(statusOf(recorder.values(), TargetRole::router()), TargetStatus::warmingUp);

    ASSERT_TRUE(waitForCount(tickIndex, count(tickIndex) + 1));
    // Stopping ends the generation: no timer, and its pending drain is dropped.
    const int running = generation();
    engine->stop();
    EXPECT_EQ(timerInterval(), std::nullopt);
    EXPECT_GT(generation(), running);
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
    // Answers the lookup of `host` made for the plan `round` (0 the first).
    void answer(const std::string& host, std::size_t round, const char* address) {
        std::lock_guard lock(mutex);
        for (std::size_t call = 0, seen = 0; call < asked.size(); ++call) {
            if (asked[call] == host && seen++ == round) answers.emplace(call, *ProbeAddress::parse(address));
        }
        changed.notify_all();
    }
};

TEST_F(ProbeEngineTest, AHangingLookupHoldsUpNoOtherTargetNorStopAndAStaleAnswerIsDropped) {
    const auto failure = test::runInPrivateNetwork({}, [&] {
        const auto lookups = std::make_shared<HangingResolver>();
        auto settings = loopbackSettings();
        settings.customHosts = {"nas.local", "printer.local"};
        auto engine = start(settings, HangingResolver::resolver(lookups));
        const auto inFlight = [&] { return engine->queue().syncResult([&] { return engine->lookupsInFlight(); }); };

        // The router and the numeric hosts are probed while the lookups hang.
        ASSERT_TRUE(lookups->waitForCalls(2));
        ASSERT_TRUE(waitForCount(tickIndex, 2));
        EXPECT_EQ(std::get<ProbeEngine::TargetsEvent>(recorder.values()[0]).targets.size(), 3u);
        EXPECT_GE(count(resultIndex), 3u);

        // A new plan asks again; answers for the old one come in between
        // and must not count.
        FakePathSource::change(network, loopbackSnapshot("127.0.0.5"));
        ASSERT_TRUE(lookups->waitForCalls(4));
        lookups->answer("nas.local", 1, "127.0.0.4");
        ASSERT_TRUE(waitForCount(targetsIndex, 3));
        lookups->answer("nas.local", 0, "127.0.0.9");
        ASSERT_TRUE(test::eventually([&] { return inFlight() == 2; }));
        lookups->answer("printer.local", 1, "127.0.0.6");
        ASSERT_TRUE(waitForCount(targetsIndex, 4));
        lookups->answer("printer.local", 0, "127.0.0.8");
        ASSERT_TRUE(test::eventually([&] { return inFlight() == 0; }));
        ASSERT_TRUE(waitForCount(tickIndex, count(tickIndex) + 1));

        std::vector<ProbeEngine::TargetsEvent> lists;
        for (const auto& e : recorder.values())
            if (auto* list = std::get_if<ProbeEngine::TargetsEvent>(&e)) lists.push_back(*list);
        ASSERT_EQ(lists.size(), 4u) << "a stale answer must not change the plan";
        ASSERT_EQ(lists[3].targets.size(), 5u);
        EXPECT_EQ(lists[3].targets[0].address, *ProbeAddress::parse("127.0.0.5"));
        EXPECT_EQ(lists[3].targets[3], (Target{TargetRole::custom(0), "nas.local", *ProbeAddress::parse("127.0.0.4")}));
        EXPECT_EQ(lists[3].targets[4], (Target{TargetRole::custom(1), "printer.local", *ProbeAddress::parse("127.0.0.6")}));

        // Stopping and going away do not wait for a lookup that hangs.
        auto hanging = loopbackSettings();
        hanging.customHosts = {"nas.local"};
        engine->setSettings(hanging);
        ASSERT_TRUE(lookups->waitForCalls(5));
        engine->stop();
        engine.reset();
        lookups->answer("nas.local", 2, "127.0.0.6");
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
        ASSERT_TRUE(waitForCount(tickIndex, 3));
        EXPECT_EQ(statusOf(recorder.values(), TargetRole::router()), TargetStatus::pingNotPermitted);
        EXPECT_EQ(statusOf(recorder.values(), TargetRole::custom(0)), TargetStatus::pingNotPermitted);
        EXPECT_EQ(statusOf(recorder.values(), TargetRole::internet(0)), TargetStatus::warmingUp);

        // Past the warm-up the host that took TCP is measured over it.
        ahead = ahead.load() + MachClock::ticks(Seconds{10.5});
        ASSERT_TRUE(recorder.waitForCountIf([](const Event& e) {
            auto* result = std::get_if<ProbeEngine::ResultEvent>(&e);
            return result && result->probeProtocol == ProbeProtocol::tcp && result->result.isReply();
        }));
        engine->stop();

        EXPECT_EQ(statusOf(recorder.values(), TargetRole::internet(0)), TargetStatus::tcp);
        EXPECT_EQ(statusOf(recorder.values(), TargetRole::internet(1)), TargetStatus::pingNotPermitted);
        EXPECT_EQ(recorder.countIf([](const Event& e) {
                      auto* result = std::get_if<ProbeEngine::ResultEvent>(&e);
                      return result && (result->role != TargetRole::internet(0) || result->probeProtocol != ProbeProtocol::tcp);
                  }), 0u) << "only TCP measurements, and no losses";
    });
    if (failure) GTEST_SKIP() << *failure;
}

}  // namespace
}  // namespace nerivane
