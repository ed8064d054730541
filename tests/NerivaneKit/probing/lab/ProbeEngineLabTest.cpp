// The real engine in the lab's client namespace: the path comes from netlink,
// names resolve through the lab's hosts file, and the lab's responders answer
// every target the way a case asks (promptly, late, twice, corrupted, for
// someone else, or not at all). Each run carries several targets at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <tuple>

#include "NerivaneKit/platform/LogStore.h"
#include "NerivaneKit/platform/MachClock.h"
#include "NerivaneKit/probing/ProbeEngine.h"
#include "NerivaneKit/probing/lab/LabAccess.h"

namespace nerivane {
namespace {

using namespace std::chrono_literals;
using namespace labtest;
using Event = ProbeEngine::Event;

struct Recorded {
    Event event;
    std::uint64_t at = 0;        // monotonic ticks
    std::uint64_t realtime = 0;  // for lining up with the responders' logs
};

class Recorder {
public:
    void operator()(const Event& event) {
        std::lock_guard lock(mutex_);
        events_.push_back({event, MachClock::now(), MachClock::realtimeNow()});
        changed_.notify_all();
    }
    std::vector<Recorded> events() {
        std::lock_guard lock(mutex_);
        return events_;
    }
    template <class Predicate>
    bool waitFor(Predicate predicate, std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return predicate(events_); });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Recorded> events_;
};

// The events from one target list up to the next, with times in seconds
// since the list was reported.
struct Phase {
    ProbeEngine::TargetsEvent targets;
    std::uint64_t at = 0;
    std::uint64_t realtime = 0;
    std::vector<Recorded> events;

    double seconds(const Recorded& recorded) const { return MachClock::milliseconds(at, recorded.at) / 1000.0; }

    std::vector<std::pair<TargetStatus, double>> statuses(const TargetRole& role) const {
        std::vector<std::pair<TargetStatus, double>> found;
        for (const auto& recorded : events) {
            const auto* status = std::get_if<ProbeEngine::StatusEvent>(&recorded.event);
            if (status && status->role == role) found.emplace_back(status->status, seconds(recorded));
        }
        return found;
    }

    std::vector<std::pair<ProbeEngine::ResultEvent, double>> results(const TargetRole& role) const {
        std::vector<std::pair<ProbeEngine::ResultEvent, double>> found;
        for (const auto& recorded : events) {
            const auto* result = std::get_if<ProbeEngine::ResultEvent>(&recorded.event);
            if (result && result->role == role) found.emplace_back(*result, seconds(recorded));
        }
        return found;
    }

    // Seconds since the list at which the responder log shows a TCP
    // connection from the client to `address`, within [from, to].
    std::vector<double> tcpConnections(const std::vector<LogLine>& log, const std::string& client,
                                       const std::string& address, double from, double to) const {
        const std::string needle = "tcp " + client + " -> " + address + " port 443";
        const double start = secondsOfDay(realtime);
        std::vector<double> found;
        for (const auto& line : log) {
            if (line.text.find(needle) == std::string::npos) continue;
            const double offset = dayDifference(start, line.secondsOfDay);
            if (offset >= from && offset <= to) found.push_back(offset);
        }
        return found;
    }
};

std::vector<Phase> phasesOf(const std::vector<Recorded>& events) {
    std::vector<Phase> phases;
    for (const auto& recorded : events) {
        if (const auto* targets = std::get_if<ProbeEngine::TargetsEvent>(&recorded.event)) {
            phases.push_back({*targets, recorded.at, recorded.realtime, {}});
        } else if (!phases.empty()) {
            phases.back().events.push_back(recorded);
        }
    }
    return phases;
}

std::string describe(const ProbeResult& result) {
    if (result.isReply()) return "reply";
    if (result.isLate()) return "late";
    return "lost";
}

// Each probe ends as one reply, one loss, or a loss followed by a late
// reply: a duplicate, corrupted or foreign answer never adds a result.
void expectOneOutcomePerProbe(const std::vector<Recorded>& events) {
    std::map<std::tuple<TargetRole, ProbeProtocol, std::uint16_t>, std::string> outcomes;
    for (const auto& recorded : events) {
        if (const auto* result = std::get_if<ProbeEngine::ResultEvent>(&recorded.event)) {
            auto& seen = outcomes[{result->role, result->probeProtocol, result->result.sequence}];
            if (!seen.empty()) seen += ",";
            seen += describe(result->result);
        }
    }
    for (const auto& [key, seen] : outcomes) {
        EXPECT_TRUE(seen == "reply" || seen == "lost" || seen == "lost,late")
            << std::get<0>(key).text() << " " << text(std::get<1>(key)) << " seq=" << std::get<2>(key) << ": " << seen;
    }
}

// Every target is reported warming up at once, in plan order.
void expectWarmUpFirst(const Phase& phase) {
    ASSERT_GE(phase.events.size(), phase.targets.targets.size());
    for (std::size_t i = 0; i < phase.targets.targets.size(); ++i) {
        const auto* status = std::get_if<ProbeEngine::StatusEvent>(&phase.events[i].event);
        ASSERT_NE(status, nullptr) << "event " << i << " after the target list";
        EXPECT_EQ(status->role, phase.targets.targets[i].role);
        EXPECT_EQ(text(status->status), text(TargetStatus::warmingUp));
    }
}

// The target left its warm-up for `status` once, on the first tick 10 s in.
void expectSettled(const Phase& phase, const TargetRole& role, TargetStatus status) {
    SCOPED_TRACE(role.text());
    const auto statuses = phase.statuses(role);
    ASSERT_EQ(statuses.size(), 2u);
    EXPECT_EQ(text(statuses[0].first), text(TargetStatus::warmingUp));
    EXPECT_EQ(text(statuses[1].first), text(status));
    EXPECT_GE(statuses[1].second, 9.95);
    EXPECT_LE(statuses[1].second, 11.5);
}

double settledAt(const Phase& phase, const TargetRole& role) {
    const auto statuses = phase.statuses(role);
    return statuses.size() >= 2 ? statuses[1].second : 1e9;
}

std::size_t countIf(const std::vector<std::pair<ProbeEngine::ResultEvent, double>>& results,
                    const std::function<bool(const ProbeEngine::ResultEvent&, double)>& predicate) {
    return static_cast<std::size_t>(std::count_if(results.begin(), results.end(),
                                                  [&](const auto& entry) { return predicate(entry.first, entry.second); }));
}

// The responder's log line about one echo request, or an empty text.
std::string requestLine(const std::vector<LogLine>& log, const std::string& address, std::uint16_t sequence) {
    const std::string needle = "-> " + address + " seq " + std::to_string(sequence) + ":";
    for (const auto& line : log) {
        if (line.text.find(needle) != std::string::npos) return line.text;
    }
    return "";
}

class ProbeEngineLab : public ::testing::Test {
protected:
    void SetUp() override {
        if (!insideTheLab()) GTEST_SKIP() << "not inside the client namespace of lab \"" << labName() << "\"";
        LogStore::shared().setStderrOutput(LogStore::StderrOutput::never);
        ASSERT_EQ(lab("vpn off"), 0);
        ASSERT_EQ(lab("link up"), 0);
        ASSERT_EQ(lab("reset"), 0);
    }

    void TearDown() override {
        engine_.reset();
        if (insideTheLab()) {
            lab("vpn off");
            lab("reset");
        }
    }

    // Starts the engine with its default environment: real path monitor,
    // real resolver, interval 1 s.
    void start(const TargetSettings& settings) {
        engine_ = std::make_unique<ProbeEngine>(settings, 1.0, std::ref(recorder_));
        engine_->start();
    }

    // Waits until `seconds` after the most recent target list.
    void runFor(double seconds) {
        ASSERT_TRUE(recorder_.waitFor(
            [](const std::vector<Recorded>& events) {
                return std::any_of(events.begin(), events.end(),
                                   [](const Recorded& r) { return r.event.index() == 0; });
            },
            10s))
            << "no target list within 10 s";
        const auto phases = phasesOf(recorder_.events());
        const std::uint64_t until = phases.back().at + MachClock::ticks(seconds);
        const std::uint64_t now = MachClock::now();
        if (until > now) std::this_thread::sleep_for(std::chrono::nanoseconds(until - now));
    }

    std::vector<LogLine> internetLog() {
        const auto path = responderLogPath("internet");
        EXPECT_TRUE(path) << "lab status names no internet responder log";
        return path ? readLog(*path) : std::vector<LogLine>{};
    }

    Recorder recorder_;
    std::unique_ptr<ProbeEngine> engine_;
};

const TargetRole router = TargetRole::router();
const TargetRole internet0 = TargetRole::internet(0);
const TargetRole internet1 = TargetRole::internet(1);
const TargetRole internetIPv6 = TargetRole::internetIPv6();
const TargetRole custom0 = TargetRole::custom(0);
const TargetRole custom1 = TargetRole::custom(1);

// Router answering. internet[0] tcp-only.lab (and its IPv6 address as the
// partner) answers only TCP on 443; internet[1] 1.1.1.1 answers every ping
// twice; custom[0] silent.lab answers nothing; custom[1] 9.9.9.9 answers
// every ping 2.5 s late.
TEST_F(ProbeEngineLab, TargetsSettleOnWhatTheyAnswerWithTheRouterAnswering) {
    ASSERT_EQ(lab("set 1.1.1.1 mode=duplicate"), 0);
    ASSERT_EQ(lab("set 9.9.9.9 mode=late"), 0);
    TargetSettings settings;
    settings.internetHosts = {"tcp-only.lab", "1.1.1.1"};
    settings.customHosts = {"silent.lab", "9.9.9.9"};
    start(settings);
    runFor(14.5);
    engine_->stop();

    const auto events = recorder_.events();
    const auto phases = phasesOf(events);
    ASSERT_EQ(phases.size(), 1u) << "the path changed during the run";
    const auto& phase = phases[0];
    EXPECT_EQ(phase.targets.path.primaryInterface, "eth0");
    EXPECT_FALSE(phase.targets.path.isVPN);

    // Names come from the lab's hosts file; the partner of a named first
    // host is that name's IPv6 address.
    const std::vector<std::pair<TargetRole, std::string>> planned{
        {router, "10.77.0.1"},        {internet0, "203.0.113.10"},   {internet1, "1.1.1.1"},
        {internetIPv6, "2001:db8:77::10"}, {custom0, "203.0.113.20"}, {custom1, "9.9.9.9"}};
    ASSERT_EQ(phase.targets.targets.size(), planned.size());
    for (std::size_t i = 0; i < planned.size(); ++i) {
        EXPECT_EQ(phase.targets.targets[i].role, planned[i].first);
        EXPECT_EQ(phase.targets.targets[i].address.text(), planned[i].second);
    }
    expectWarmUpFirst(phase);
    expectOneOutcomePerProbe(events);

    expectSettled(phase, router, TargetStatus::icmp);
    expectSettled(phase, internet0, TargetStatus::tcp);
    expectSettled(phase, internet1, TargetStatus::icmp);
    expectSettled(phase, internetIPv6, TargetStatus::tcp);
    expectSettled(phase, custom0, TargetStatus::icmp);
    expectSettled(phase, custom1, TargetStatus::icmp);

    const auto isReply = [](const ProbeEngine::ResultEvent& r, double) { return r.result.isReply(); };
    const auto router_ = phase.results(router);
    EXPECT_GE(router_.size(), 12u);
    EXPECT_EQ(countIf(router_, isReply), router_.size());

    // The TCP-only host: its warm-up TCP attempts start on the first tick 3 s
    // in (the router answers) and are checks, so none is reported; once on
    // tcp, its TCP connections are the measurements.
    const auto log = internetLog();
    for (const auto& [role, address, client] :
         {std::tuple{internet0, std::string("203.0.113.10"), std::string("10.77.0.2")},
          std::tuple{internetIPv6, std::string("2001:db8:77::10"), std::string("fd77::2")}}) {
        SCOPED_TRACE(role.text());
        const auto connections = phase.tcpConnections(log, client, address, -1, 14.5);
        ASSERT_FALSE(connections.empty()) << "the lab saw no TCP connection to " << address;
        EXPECT_GE(connections.front(), 2.99);
        EXPECT_LE(connections.front(), 4.8);
        EXPECT_GE(std::count_if(connections.begin(), connections.end(), [](double at) { return at < 9.9; }), 4);
        const double settled = settledAt(phase, role);
        const auto results = phase.results(role);
        EXPECT_EQ(countIf(results, [&](const auto& r, double at) { return r.probeProtocol == ProbeProtocol::tcp && at < settled; }), 0u);
        EXPECT_EQ(countIf(results, [&](const auto& r, double at) { return r.probeProtocol == ProbeProtocol::icmp && !r.result.isLost() && at < settled; }), 0u);
        EXPECT_GE(countIf(results, [&](const auto& r, double at) { return r.probeProtocol == ProbeProtocol::tcp && r.result.isReply() && at >= settled; }), 3u);
        EXPECT_EQ(countIf(results, [&](const auto& r, double at) { return r.probeProtocol == ProbeProtocol::icmp && at > settled + 0.1; }), 0u);
    }

    // Duplicated replies: one reply per probe and nothing else, although the
    // lab really sent each reply twice.
    const auto doubled = phase.results(internet1);
    EXPECT_GE(doubled.size(), 12u);
    EXPECT_EQ(countIf(doubled, isReply), doubled.size());
    for (const auto& [result, at] : doubled) {
        EXPECT_NE(requestLine(log, "1.1.1.1", result.result.sequence).find("(twice)"), std::string::npos)
            << "seq " << result.result.sequence << " was not answered twice by the lab";
    }

    // A host that answers nothing is measured as losing, also after warm-up.
    const auto silent = phase.results(custom0);
    EXPECT_GE(silent.size(), 10u);
    EXPECT_EQ(countIf(silent, [](const auto& r, double) { return r.result.isLost(); }), silent.size());
    EXPECT_GE(countIf(silent, [&](const auto&, double at) { return at > settledAt(phase, custom0); }), 1u);

    // Late answers: each probe is lost first, then late by about 2.5 s.
    const auto late = phase.results(custom1);
    EXPECT_EQ(countIf(late, isReply), 0u);
    std::size_t lateCount = 0;
    for (const auto& [result, at] : late) {
        if (!result.result.isLate()) continue;
        ++lateCount;
        EXPECT_GE(*result.result.milliseconds(), 2450.0);
        EXPECT_LE(*result.result.milliseconds(), 3200.0);
        EXPECT_NE(requestLine(log, "9.9.9.9", result.result.sequence).find("late"), std::string::npos);
    }
    EXPECT_GE(lateCount, 8u);
}

// Router silent. tcp-only.lab gets no TCP attempts without a router answer
// and settles on ICMP; corrupted (IPv4 and IPv6) and foreign answers count
// as losses. Then the VPN comes on: the path changes, every target warms up
// again, and the silent router is now unreachable through the VPN.
TEST_F(ProbeEngineLab, ASilentRouterIsMarkedAndCorruptOrForeignAnswersAreLosses) {
    ASSERT_EQ(lab("set router mode=silent"), 0);
    ASSERT_EQ(lab("set 8.8.8.8 mode=corrupt"), 0);
    ASSERT_EQ(lab("set 9.9.9.9 mode=foreign"), 0);
    ASSERT_EQ(lab("set 2001:4860:4860::8888 mode=corrupt"), 0);
    TargetSettings settings;
    settings.internetHosts = {"tcp-only.lab", "8.8.8.8"};
    settings.customHosts = {"9.9.9.9", "2001:4860:4860::8888"};
    start(settings);
    runFor(11.5);

    ASSERT_EQ(lab("vpn on"), 0);
    ASSERT_TRUE(recorder_.waitFor(
        [](const std::vector<Recorded>& events) {
            return std::any_of(events.begin(), events.end(), [](const Recorded& r) {
                const auto* status = std::get_if<ProbeEngine::StatusEvent>(&r.event);
                return status && status->status == TargetStatus::unreachableVPN;
            });
        },
        20s))
        << "the router never became unreachableVPN";
    std::this_thread::sleep_for(300ms);
    engine_->stop();

    const auto events = recorder_.events();
    expectOneOutcomePerProbe(events);
    const auto phases = phasesOf(events);
    ASSERT_GE(phases.size(), 2u);
    const auto& plain = phases.front();
    EXPECT_FALSE(plain.targets.path.isVPN);
    ASSERT_EQ(plain.targets.targets.size(), 6u);
    expectWarmUpFirst(plain);

    expectSettled(plain, router, TargetStatus::doesntAnswerPing);
    expectSettled(plain, internet0, TargetStatus::icmp);
    expectSettled(plain, internetIPv6, TargetStatus::icmp);
    expectSettled(plain, internet1, TargetStatus::icmp);
    expectSettled(plain, custom0, TargetStatus::icmp);
    expectSettled(plain, custom1, TargetStatus::icmp);

    const auto log = internetLog();
    const auto routerLogPath = responderLogPath("router");
    ASSERT_TRUE(routerLogPath) << "lab status names no router responder log";
    const auto routerLog = readLog(*routerLogPath);
    EXPECT_TRUE(plain.tcpConnections(log, "10.77.0.2", "203.0.113.10", -1, 11.5).empty());
    EXPECT_TRUE(plain.tcpConnections(log, "fd77::2", "2001:db8:77::10", -1, 11.5).empty());

    // Every measurement of these targets is a loss, although the lab did
    // answer each probe, in the way asked for.
    for (const auto& [role, address, mode] :
         {std::tuple{router, std::string("10.77.0.1"), std::string("silent")},
          std::tuple{internet1, std::string("8.8.8.8"), std::string("corrupt")},
          std::tuple{custom0, std::string("9.9.9.9"), std::string("foreign")},
          std::tuple{custom1, std::string("2001:4860:4860::8888"), std::string("corrupt")}}) {
        SCOPED_TRACE(role.text());
        const auto results = plain.results(role);
        EXPECT_GE(results.size(), 7u);
        EXPECT_EQ(countIf(results, [](const auto& r, double) { return r.result.isLost(); }), results.size());
        const auto& logLines = role == router ? routerLog : log;
        for (const auto& [result, at] : results) {
            EXPECT_NE(requestLine(logLines, address, result.result.sequence).find(mode), std::string::npos)
                << "seq " << result.result.sequence << " was not answered " << mode << " by the lab";
        }
    }
    // The router stops being measured once marked.
    EXPECT_EQ(countIf(plain.results(router), [&](const auto&, double at) { return at > settledAt(plain, router) + 0.1; }), 0u);

    const auto& vpn = phases.back();
    EXPECT_TRUE(vpn.targets.path.isVPN);
    EXPECT_EQ(vpn.targets.path.primaryInterface, "tun0");
    ASSERT_EQ(vpn.targets.targets.size(), 6u);
    EXPECT_EQ(vpn.targets.targets[0].address.text(), "10.77.0.1");
    expectWarmUpFirst(vpn);
    expectSettled(vpn, router, TargetStatus::unreachableVPN);
}

}  // namespace
}  // namespace nerivane
