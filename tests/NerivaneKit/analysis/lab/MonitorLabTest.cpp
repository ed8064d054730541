// The whole monitor (engine, probers, path monitor, core) inside the lab's
// client namespace, probing the lab's router 10.77.0.1 and its internet hosts
// 1.1.1.1, 8.8.8.8 and 2606:4700:4700::1111, while the test changes how they
// answer. Each case starts a monitor on a reset lab and checks the verdicts a
// user would see, in order, and how long each may take; a change of path
// (link, VPN) starts it over, so one monitor tells several stories.
//
// Time budget of a change, probing once a second: a snapshot follows each
// round 0.25 s later; a loss is known once its probe has timed out (2 s) at
// the next round; an outage starts at the first round at which the first lost
// probe is 5 s old; the verdict filter then holds a new verdict for 10 s,
// except for a down verdict (the outage rule has waited already), the way
// out of one, and a silence of every internet host, which all show at once.
// Every bound adds some slack for a loaded machine.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <ranges>
#include <sstream>
#include <string>
#include <thread>

#include "NerivaneKit/analysis/Monitor.h"
#include "NerivaneKit/platform/LogStore.h"
#include "support/LabAccess.h"
#include "support/Printers.h"
#include "support/Recorder.h"

namespace nerivane {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using labtest::environment;
using labtest::insideTheLab;
using labtest::lab;
using labtest::labName;

// The verdict filter's hold time, and when a held verdict is shown at the
// latest: the hold is checked on snapshots, one a round.
constexpr double filterHold = 10.0;
constexpr double filterShown = filterHold + 1.0;
// Room for a loaded two-core machine, added to every bound.
constexpr double slack = 5.0;
// The next round and the snapshot after it.
constexpr double roundAndSnapshot = 1.0 + 0.25;
// A lost probe is seen this long after it was sent.
constexpr double lossSeen = 2.0 + roundAndSnapshot;
// A silence that begins now is an outage this much later: its first lost
// probe goes out within a second and must be 5 s old.
constexpr double outageSeen = 1.0 + 5.0 + 0.25;
// From a fresh start: path, planning, 10 s warm-up, the settling round and its snapshot.
constexpr double firstVerdictBound = 1.0 + 10.0 + roundAndSnapshot + slack;
// The flapping used for "losing heavily": two or three lost probes in every
// four seconds, never five seconds without a reply.
constexpr double flapSilent = 2.5, flapAnswering = 1.5;
// A change of path: the path monitor's 0.5 s debounce, then a fresh start.
constexpr double newPathBound = 0.5 + firstVerdictBound;

double since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Keeps a target losing without ever going down: silent for flapSilent
// seconds, answering for flapAnswering, over and over, until destroyed.
class Flapper {
public:
    explicit Flapper(std::string target) : target_(std::move(target)), thread_([this] { run(); }) {}
    ~Flapper() {
        {
            std::lock_guard lock(mutex_);
            stopped_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }

private:
    void run() {
        std::unique_lock lock(mutex_);
        for (bool silent = true; !stopped_; silent = !silent) {
            lab("set " + target_ + (silent ? " mode=silent" : " mode=answer"));
            wake_.wait_for(lock, std::chrono::duration<double>(silent ? flapSilent : flapAnswering), [&] { return stopped_; });
        }
        lab("set " + target_ + " mode=answer");
    }
    std::string target_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopped_ = false;
    std::thread thread_;
};

const MonitorSnapshot* snapshotOf(const Monitor::Update& update) {
    const auto* snapshot = std::get_if<Monitor::SnapshotUpdate>(&update);
    return snapshot ? &snapshot->snapshot : nullptr;
}
const NetworkEvent* eventOf(const Monitor::Update& update) {
    const auto* event = std::get_if<Monitor::EventUpdate>(&update);
    return event ? &event->event : nullptr;
}

using Updates = std::vector<Monitor::Update>;
using Predicate = std::function<bool(const Monitor::Update&)>;
Predicate showing(std::function<bool(const MonitorSnapshot&)> predicate) {
    return [predicate](const Monitor::Update& u) { return snapshotOf(u) && predicate(*snapshotOf(u)); };
}
Predicate event(std::function<bool(const NetworkEvent&)> predicate) {
    return [predicate](const Monitor::Update& u) { return eventOf(u) && predicate(*eventOf(u)); };
}

// Everything the monitor publishes, with arrival times; a mark is where a step begins.
struct Watch : test::Recorder<Monitor::Update> {
    // Seconds from `start` to the first update from `mark` on that satisfies
    // the predicate; none if it does not come within `limit` seconds of start.
    std::optional<double> waitFor(std::size_t mark, Clock::time_point start, double limit, const Predicate& predicate) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(start + std::chrono::duration<double>(limit) - Clock::now());
        Recorder::waitFor([&](const Updates& updates) { return std::any_of(updates.begin() + mark, updates.end(), predicate); }, std::max(left, 0ms));
        const auto list = entries();
        const auto found = std::find_if(list.begin() + mark, list.end(), [&](const Entry& e) { return predicate(e.value); });
        return found == list.end() ? std::nullopt : std::optional(std::chrono::duration<double>(found->at - start).count());
    }
    // The shown verdicts from the one shown at the mark (if any) on, each run of equal ones once.
    std::vector<Verdict> verdicts(std::size_t mark) const {
        std::vector<Verdict> sequence;
        const auto list = values();
        for (std::size_t i = 0; i < list.size(); ++i) {
            const auto* snapshot = snapshotOf(list[i]);
            if (!snapshot) continue;
            if (i < mark) sequence.assign(1, snapshot->verdict);
            else if (sequence.empty() || sequence.back() != snapshot->verdict) sequence.push_back(snapshot->verdict);
        }
        return sequence;
    }
    std::vector<NetworkEvent> events(std::size_t mark, NetworkEvent::Kind kind) const {
        std::vector<NetworkEvent> list;
        for (const auto& update : values() | std::views::drop(mark))
            if (const auto* e = eventOf(update); e && e->kind == kind) list.push_back(*e);
        return list;
    }
    MonitorSnapshot latest() const {
        const auto list = values();
        for (auto i = list.rbegin(); i != list.rend(); ++i)
            if (const auto* snapshot = snapshotOf(*i)) return *snapshot;
        return {};
    }
    std::size_t mark() const { return values().size(); }
};

const TargetSnapshot* find(const MonitorSnapshot& snapshot, const TargetRole& role) {
    for (const auto& target : snapshot.targets)
        if (target.target.role == role) return &target;
    return nullptr;
}

class MonitorLab : public ::testing::Test {
protected:
    void SetUp() override {
        if (!insideTheLab()) GTEST_SKIP() << "not inside the client namespace of lab \"" << labName() << "\"";
        LogStore::shared().setStderrOutput(LogStore::StderrOutput::never);
        // The internet lies a little further away than the router; with no
        // delay at all its hosts can answer as fast as the router, and would
        // count as answered on the local network.
        ASSERT_TRUE(lab("vpn off") && lab("link up") && lab("reset") && lab("set internet delay=2"));
    }
    void TearDown() override {
        if (monitor_) monitor_->stop();
        monitor_.reset();
        if (insideTheLab()) lab("vpn off"), lab("link up"), lab("reset");
    }
    void start() {
        monitor_ = std::make_unique<Monitor>(TargetSettings{}, LookupSettings{}, Seconds{1.0}, std::ref(watch_));
        monitor_->start();
    }
    // A step: where its updates begin, and when.
    struct Step {
        std::size_t mark;
        Clock::time_point at;
    };
    Step step() { return Step{watch_.mark(), Clock::now()}; }
    // Begins a step with the lab's changes: what they bring about may come
    // before the last command has returned.
    Step after(std::initializer_list<std::string> commands) {
        const Step begun = step();
        for (const auto& command : commands) EXPECT_TRUE(lab(command)) << command;
        return begun;
    }

    // Waits for the shown verdict, checks it took at most `bound` seconds
    // (and, for a change the filter holds back, at least its hold time), and
    // that the verdicts seen from the step on were exactly `sequence`; an
    // empty sequence allows any back and forth between the verdict shown at
    // the step and this one.
    void expectVerdict(const Step& step, Verdict verdict, double bound, const std::vector<Verdict>& sequence,
                       bool held = false) {
        const auto took = watch_.waitFor(step.mark, step.at, bound, showing([verdict](auto& s) { return s.verdict == verdict; }));
        ASSERT_TRUE(took) << text(verdict) << " not shown within " << bound << " s; seen "
                          << testing::PrintToString(watch_.verdicts(step.mark));
        std::printf("  %s after %.1f s (bound %.1f s)\n", std::string(text(verdict)).c_str(), *took, bound);
        if (held) { EXPECT_GE(*took, filterHold - 0.2) << text(verdict) << " shown before the filter's hold time"; }
        const auto seen = watch_.verdicts(step.mark);
        if (!sequence.empty()) {
            EXPECT_EQ(seen, sequence);
            return;
        }
        for (const Verdict other : seen) EXPECT_TRUE(other == seen.front() || other == verdict) << testing::PrintToString(seen);
    }

    Watch watch_;
    std::unique_ptr<Monitor> monitor_;
};

// nerivane-probe runs beside the monitor for its first 14 s and must print
// the same view as JSON lines.
std::vector<std::string> probeToolLines() {
    const std::string tool = environment("NERIVANE_BIN_DIR") + "/nerivane-probe";
    if (environment("NERIVANE_BIN_DIR").empty() || ::access(tool.c_str(), X_OK) != 0) return {};
    std::istringstream output(labtest::output(tool + " --monitor --json --seconds 14").value_or("exit status not 0\n"));
    std::vector<std::string> lines;
    for (std::string line; std::getline(output, line);) lines.push_back(line);
    return lines;
}

void expectProbeToolLines(const std::vector<std::string>& lines) {
    if (lines.empty()) return std::printf("  nerivane-probe is not built: its lines are not checked\n"), void();
    ASSERT_GE(lines.size(), 10u);
    EXPECT_NE(lines.front().find("\"verdict\":\"measuring\""), std::string::npos) << lines.front();
    const auto& last = lines.back();
    EXPECT_NE(last.find("\"verdict\":\"good\""), std::string::npos) << last;
    EXPECT_NE(last.find("\"internet\":\"ok\",\"ipv6Problem\":false"), std::string::npos) << last;
    EXPECT_NE(last.find("\"address\":\"2606:4700:4700::1111\",\"status\":\"icmp\",\"state\":\"ok\""), std::string::npos)
        << last;
}

TEST_F(MonitorLab, VerdictsFollowTheInternetThroughItsTroublesToOfflineAndBackToHostsAnsweredLocally) {
    // All answering: good once the targets have warmed up.
    auto s = step();
    std::vector<std::string> toolLines;
    std::thread tool([&] { toolLines = probeToolLines(); });
    start();
    expectVerdict(s, Verdict::good, firstVerdictBound, {Verdict::measuring, Verdict::good});
    tool.join();
    expectProbeToolLines(toolLines);
    auto snapshot = watch_.latest();
    ASSERT_EQ(snapshot.targets.size(), 5u);
    EXPECT_EQ(snapshot.targets[0].target.address.text(), "10.77.0.1");
    EXPECT_EQ(snapshot.targets[1].target.address.text(), "100.64.0.1");  // the provider's hop, found by the sweep
    EXPECT_EQ(snapshot.targets[4].target.address.text(), "2606:4700:4700::1111");
    for (const auto& target : snapshot.targets) EXPECT_EQ(target.status, TargetStatus::icmp) << target.target.host;

    // The IPv6 partner silent: still good, with the IPv6 flag as soon as two
    // of its probes are known lost (not held by the filter).
    s = after({"set 2606:4700:4700::1111 mode=silent"});
    const double ipv6Bound = 2.0 + lossSeen + slack;  // its second lost probe
    EXPECT_TRUE(watch_.waitFor(s.mark, s.at, ipv6Bound, showing([](auto& x) { return x.ipv6Problem; })))
        << "no IPv6 problem within " << ipv6Bound << " s";
    EXPECT_EQ(watch_.verdicts(s.mark), std::vector{Verdict::good});
    ASSERT_TRUE(lab("set 2606:4700:4700::1111 mode=answer"));

    // 300 ms spikes for 5 s on one host: one spike event, ended by the first
    // normal reply, with its worst time; the other host keeps the verdict good.
    s = after({"set 8.8.8.8 delay=300"});
    const auto slow = Clock::now();  // the spike lasts from one command's effect to the next one's
    std::this_thread::sleep_for(5s);
    ASSERT_TRUE(lab("set 8.8.8.8 delay=2"));
    const double spikeLength = since(slow);
    const auto isSpike = [](auto& e) { return e.kind == NetworkEvent::Kind::spike; };
    ASSERT_TRUE(watch_.waitFor(s.mark, s.at, since(s.at) + roundAndSnapshot + slack, event(isSpike)));
    std::this_thread::sleep_for(2s);  // time for a second, wrong one to show
    // (The IPv6 partner's short silence may end an outage of its own in this time.)
    const auto spikes = watch_.events(s.mark, NetworkEvent::Kind::spike);
    ASSERT_EQ(spikes.size(), 1u);
    EXPECT_EQ(spikes[0].host, "8.8.8.8");
    EXPECT_TRUE(spikes[0].worstRTT >= 300.0 && spikes[0].worstRTT < 400.0) << spikes[0].logLine();
    EXPECT_NEAR(spikes[0].duration(), spikeLength, 1.5);
    EXPECT_EQ(watch_.verdicts(s.mark), std::vector{Verdict::good});

    // Internet hosts losing heavily, never long enough to be down: a problem,
    // at once while every host is silent, and held by the filter in between.
    {
        s = step();
        Flapper losing("internet");
        expectVerdict(s, Verdict::internetProblem, flapSilent + lossSeen + filterShown + slack, {});
        std::this_thread::sleep_for(std::chrono::duration<double>(filterShown));
        EXPECT_EQ(watch_.latest().verdict, Verdict::internetProblem);
    }
    std::this_thread::sleep_for(1500ms);  // a reply ends every run of losses

    // Internet hosts silent while the router answers: down as soon as both
    // outages have begun.
    s = after({"set internet mode=silent"});
    expectVerdict(s, Verdict::internetDown, outageSeen + slack, {Verdict::internetProblem, Verdict::internetDown});

    // Answers again: each host's outage ends with an event that spans the
    // silence, and the headline leaves down with the first reply.
    const double silence = since(s.at);
    s = after({"reset", "set internet delay=2"});
    EXPECT_TRUE(watch_.waitFor(s.mark, s.at, roundAndSnapshot + slack,
                               showing([](auto& x) { return x.verdict != Verdict::internetDown; })));
    for (const std::string host : {"1.1.1.1", "8.8.8.8"}) {
        EXPECT_TRUE(watch_.waitFor(s.mark, s.at, roundAndSnapshot + slack, event([&](auto& e) {
            return e.kind == NetworkEvent::Kind::outage && e.host == host && e.role.kind == TargetRole::Kind::internet;
        }))) << "no outage event for " << host;
    }
    for (const auto& outage : watch_.events(s.mark, NetworkEvent::Kind::outage))
        EXPECT_NEAR(outage.duration(), silence, 2.0) << outage.logLine();
    EXPECT_TRUE(watch_.events(s.mark, NetworkEvent::Kind::spike).empty());

    // Link down: offline at once (the path monitor's 0.5 s debounce).
    s = after({"link down"});
    expectVerdict(s, Verdict::offline, 0.5 + 0.5 + slack, {});
    EXPECT_TRUE(watch_.latest().targets.empty());

    // Link up with a router that takes 8 ms and hosts that take 2: a fresh
    // start, and something on the local network answers for the hosts, so
    // nothing measures the internet. Known once the router and the hosts
    // have 5 replies each, before they settle; still so once they have.
    s = after({"set router delay=8", "link up"});
    expectVerdict(s, Verdict::internetUnmeasured, 0.5 + 1.0 + 5.0 + roundAndSnapshot + slack,
                  {Verdict::offline, Verdict::measuring, Verdict::internetUnmeasured});
    ASSERT_TRUE(watch_.waitFor(s.mark, s.at, newPathBound, showing([](auto& x) {
        return !x.targets.empty() && std::all_of(x.targets.begin(), x.targets.end(), [](auto& t) { return t.status == TargetStatus::icmp; });
    })));
    snapshot = watch_.latest();
    EXPECT_EQ(snapshot.verdict, Verdict::internetUnmeasured);
    EXPECT_EQ(snapshot.internet, std::nullopt);
    EXPECT_TRUE(find(snapshot, TargetRole::internet(0))->answeredLocally);
    EXPECT_TRUE(find(snapshot, TargetRole::internet(1))->answeredLocally);
    EXPECT_FALSE(find(snapshot, TargetRole::router())->answeredLocally);
}

TEST_F(MonitorLab, WithoutAMeasurableRouterTroubleIsTheConnectionsAndWithOneItIsLocal) {
    // Router and internet silent from the start: the router settles as not
    // answering ping and counts as absent, so the verdict is connectionDown,
    // shown as soon as the targets have settled.
    auto s = after({"set router mode=silent", "set internet mode=silent"});
    start();
    expectVerdict(s, Verdict::connectionDown, firstVerdictBound, {Verdict::measuring, Verdict::connectionDown});
    auto snapshot = watch_.latest();
    EXPECT_EQ(find(snapshot, TargetRole::router())->status, TargetStatus::doesntAnswerPing);

    // The internet answers again: good at once, the losses still in its
    // window being the outage's (the router still cannot be measured).
    s = after({"set internet mode=answer"});
    expectVerdict(s, Verdict::good, roundAndSnapshot + slack, {Verdict::connectionDown, Verdict::good});

    // A VPN with the router still silent: a new path, the router unreachable
    // through the VPN and left out, the internet answering through the tunnel.
    s = after({"vpn on"});
    ASSERT_TRUE(watch_.waitFor(s.mark, s.at, 1.0 + firstVerdictBound,
                               showing([](auto& x) { return x.path.isVPN && x.verdict == Verdict::good; })));
    EXPECT_EQ(watch_.verdicts(s.mark), (std::vector{Verdict::good, Verdict::measuring, Verdict::good}));
    snapshot = watch_.latest();
    EXPECT_TRUE(snapshot.path.isVPN);
    ASSERT_TRUE(find(snapshot, TargetRole::router()));
    EXPECT_EQ(find(snapshot, TargetRole::router())->status, TargetStatus::unreachableVPN);

    // The internet silent behind the VPN: with no router to blame it is the
    // connection that is down, not the local network; a problem as soon as
    // every host has left a probe unanswered.
    s = after({"set internet mode=silent"});
    expectVerdict(s, Verdict::connectionDown, outageSeen + slack,
                  {Verdict::good, Verdict::connectionProblem, Verdict::connectionDown});

    // The VPN off and the router answering: a fresh start on a path whose
    // router is measured, so a silent internet is the internet's own.
    s = after({"set router mode=answer", "vpn off"});
    expectVerdict(s, Verdict::internetDown, newPathBound + 1.0, {Verdict::connectionDown, Verdict::measuring, Verdict::internetDown});
    EXPECT_EQ(find(watch_.latest(), TargetRole::router())->status, TargetStatus::icmp);

    // The router starts losing (never long enough to be down): the trouble
    // is local, shown as soon as it is known (a down verdict is left at once).
    s = step();
    Flapper losing("router");
    expectVerdict(s, Verdict::localProblem, flapSilent + lossSeen + roundAndSnapshot + slack,
                  {Verdict::internetDown, Verdict::localProblem});
    const auto router = find(watch_.latest(), TargetRole::router());
    ASSERT_TRUE(router);
    EXPECT_EQ(router->state, TargetState::bad(Problems::loss()));
}

}  // namespace
}  // namespace nerivane
