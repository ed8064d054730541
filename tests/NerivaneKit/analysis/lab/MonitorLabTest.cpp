// The whole monitor (engine, probers, path monitor, core) inside the lab's
// client namespace, probing the lab's router 10.77.0.1 and its internet hosts
// 1.1.1.1, 8.8.8.8 and 2606:4700:4700::1111, while the test changes how they
// answer. Each case starts a fresh monitor on a reset lab and checks the
// verdicts a user would see, in order, and how long each may take.
//
// Time budget of a change, probing once a second: a snapshot follows each
// round 0.25 s later; a loss is known once its probe has timed out (2 s) at
// the next round; an outage starts at the first round at which the first lost
// probe is 5 s old; the verdict filter then holds a new verdict for 10 s.
// Every bound adds some slack for a loaded machine.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "NerivaneKit/analysis/Monitor.h"
#include "NerivaneKit/platform/LogStore.h"
#include "support/LabAccess.h"

namespace nerivane {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

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

using labtest::environment;
using labtest::insideTheLab;
using labtest::lab;
using labtest::labCommand;
using labtest::labName;

double since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Keeps a target losing without ever going down: silent for `silent`
// seconds, answering for `answering`, over and over. Runs of losses stay
// shorter than the 5 s an outage needs, yet every window holds several.
class Flapper {
public:
    Flapper(std::string target, double silent = flapSilent, double answering = flapAnswering)
        : target_(std::move(target)), thread_([this, silent, answering] { run(silent, answering); }) {}
    ~Flapper() { stop(); }

    // Leaves the target answering.
    void stop() {
        {
            std::lock_guard lock(mutex_);
            stopped_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable()) thread_.join();
    }

private:
    void run(double silent, double answering) {
        std::unique_lock lock(mutex_);
        while (!stopped_) {
            lab("set " + target_ + " mode=silent");
            if (wake_.wait_for(lock, std::chrono::duration<double>(silent), [&] { return stopped_; })) break;
            lab("set " + target_ + " mode=answer");
            wake_.wait_for(lock, std::chrono::duration<double>(answering), [&] { return stopped_; });
        }
        lab("set " + target_ + " mode=answer");
    }

    std::string target_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopped_ = false;
    std::thread thread_;
};

// Everything the monitor publishes, with arrival times.
class Watch {
public:
    struct Snapshot {
        Clock::time_point at;
        MonitorSnapshot snapshot;
    };
    struct Event {
        Clock::time_point at;
        NetworkEvent event;
    };

    void operator()(const Monitor::Update& update) {
        std::lock_guard lock(mutex_);
        if (const auto* snapshot = std::get_if<Monitor::SnapshotUpdate>(&update))
            snapshots_.push_back({Clock::now(), snapshot->snapshot});
        else
            events_.push_back({Clock::now(), std::get<Monitor::EventUpdate>(update).event});
        changed_.notify_all();
    }

    // Where the next snapshot and event will go: the start of a step.
    std::pair<std::size_t, std::size_t> mark() {
        std::lock_guard lock(mutex_);
        return {snapshots_.size(), events_.size()};
    }

    // Seconds from `start` to the first snapshot after `mark` that satisfies
    // the predicate; none if it does not come within `limit` seconds of start.
    std::optional<double> waitFor(std::pair<std::size_t, std::size_t> mark, Clock::time_point start, double limit,
                                  const std::function<bool(const MonitorSnapshot&)>& predicate) {
        std::unique_lock lock(mutex_);
        std::optional<double> found;
        changed_.wait_until(lock, start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(limit)),
                            [&] {
                                for (std::size_t i = mark.first; i < snapshots_.size(); ++i) {
                                    if (predicate(snapshots_[i].snapshot)) {
                                        found = std::chrono::duration<double>(snapshots_[i].at - start).count();
                                        return true;
                                    }
                                }
                                return false;
                            });
        return found;
    }
    std::optional<double> waitForVerdict(std::pair<std::size_t, std::size_t> mark, Clock::time_point start,
                                         double limit, Verdict verdict) {
        return waitFor(mark, start, limit, [verdict](const MonitorSnapshot& s) { return s.verdict == verdict; });
    }

    std::optional<double> waitForEvent(std::pair<std::size_t, std::size_t> mark, Clock::time_point start,
                                       double limit, const std::function<bool(const NetworkEvent&)>& predicate) {
        std::unique_lock lock(mutex_);
        std::optional<double> found;
        changed_.wait_until(lock, start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(limit)),
                            [&] {
                                for (std::size_t i = mark.second; i < events_.size(); ++i) {
                                    if (predicate(events_[i].event)) {
                                        found = std::chrono::duration<double>(events_[i].at - start).count();
                                        return true;
                                    }
                                }
                                return false;
                            });
        return found;
    }

    // The shown verdicts from the one shown at the mark (if any) on, each
    // run of equal ones once.
    std::vector<Verdict> verdicts(std::pair<std::size_t, std::size_t> mark) {
        std::lock_guard lock(mutex_);
        std::vector<Verdict> sequence;
        for (std::size_t i = mark.first > 0 ? mark.first - 1 : 0; i < snapshots_.size(); ++i) {
            if (sequence.empty() || sequence.back() != snapshots_[i].snapshot.verdict)
                sequence.push_back(snapshots_[i].snapshot.verdict);
        }
        return sequence;
    }

    std::vector<NetworkEvent> events(std::pair<std::size_t, std::size_t> mark) {
        std::lock_guard lock(mutex_);
        std::vector<NetworkEvent> list;
        for (std::size_t i = mark.second; i < events_.size(); ++i) list.push_back(events_[i].event);
        return list;
    }

    MonitorSnapshot latest() {
        std::lock_guard lock(mutex_);
        return snapshots_.empty() ? MonitorSnapshot{} : snapshots_.back().snapshot;
    }

    // The history so far, for failure messages.
    std::string describe() {
        std::lock_guard lock(mutex_);
        if (snapshots_.empty()) return "no snapshots";
        std::ostringstream out;
        const auto origin = snapshots_.front().at;
        const auto seconds = [&](Clock::time_point at) { return std::chrono::duration<double>(at - origin).count(); };
        std::optional<Verdict> shown;
        for (const auto& entry : snapshots_) {
            if (shown == entry.snapshot.verdict) continue;
            shown = entry.snapshot.verdict;
            out << "\n  " << seconds(entry.at) << " s: " << text(*shown);
        }
        for (const auto& entry : events_)
            out << "\n  " << seconds(entry.at) << " s: event " << entry.event.logLine();
        return out.str();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Snapshot> snapshots_;
    std::vector<Event> events_;
};

// Just enough of a JSON parser to tell whether a line is one valid value.
class JsonCheck {
public:
    static bool isObject(const std::string& text) {
        JsonCheck check{text};
        check.space();
        if (check.peek() != '{' || !check.value()) return false;
        check.space();
        return check.at_ == text.size();
    }

private:
    explicit JsonCheck(const std::string& text) : text_(text) {}
    char peek() const { return at_ < text_.size() ? text_[at_] : '\0'; }
    void space() {
        while (at_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[at_]))) ++at_;
    }
    bool literal(const char* word) {
        const std::string w = word;
        if (text_.compare(at_, w.size(), w) != 0) return false;
        at_ += w.size();
        return true;
    }
    bool string() {
        if (peek() != '"') return false;
        for (++at_; at_ < text_.size(); ++at_) {
            const char c = text_[at_];
            if (c == '"') return ++at_, true;
            if (static_cast<unsigned char>(c) < 0x20) return false;
            if (c == '\\') {
                const char e = at_ + 1 < text_.size() ? text_[++at_] : '\0';
                if (e == 'u') {
                    for (int i = 0; i < 4; ++i)
                        if (++at_ >= text_.size() || !std::isxdigit(static_cast<unsigned char>(text_[at_]))) return false;
                } else if (std::string("\"\\/bfnrt").find(e) == std::string::npos || e == '\0') {
                    return false;
                }
            }
        }
        return false;
    }
    bool number() {
        const std::size_t start = at_;
        if (peek() == '-') ++at_;
        while (std::isdigit(static_cast<unsigned char>(peek())) || peek() == '.' || peek() == 'e' || peek() == 'E' ||
               peek() == '+' || peek() == '-')
            ++at_;
        return at_ > start && std::isdigit(static_cast<unsigned char>(text_[at_ - 1]));
    }
    bool value() {
        space();
        switch (peek()) {
        case '{': return members('}', true);
        case '[': return members(']', false);
        case '"': return string();
        case 't': return literal("true");
        case 'f': return literal("false");
        case 'n': return literal("null");
        default: return number();
        }
    }
    bool members(char close, bool keyed) {
        ++at_;
        space();
        if (peek() == close) return ++at_, true;
        for (;;) {
            space();
            if (keyed) {
                if (!string()) return false;
                space();
                if (peek() != ':') return false;
                ++at_;
            }
            if (!value()) return false;
            space();
            if (peek() == close) return ++at_, true;
            if (peek() != ',') return false;
            ++at_;
        }
    }

    const std::string& text_;
    std::size_t at_ = 0;
};

const TargetSnapshot* find(const MonitorSnapshot& snapshot, const TargetRole& role) {
    for (const auto& target : snapshot.targets) {
        if (target.target.role == role) return &target;
    }
    return nullptr;
}

std::string names(const std::vector<Verdict>& verdicts) {
    std::string list;
    for (const auto verdict : verdicts) list += (list.empty() ? "" : " -> ") + std::string(text(verdict));
    return list;
}

class MonitorLab : public ::testing::Test {
protected:
    void SetUp() override {
        if (!insideTheLab()) GTEST_SKIP() << "not inside the client namespace of lab \"" << labName() << "\"";
        ASSERT_FALSE(labCommand().empty());
        LogStore::shared().setStderrOutput(LogStore::StderrOutput::never);
        ASSERT_TRUE(lab("vpn off"));
        ASSERT_TRUE(lab("link up"));
        ASSERT_TRUE(lab("reset"));
        // The internet lies a little further away than the router; with no
        // delay at all its hosts can answer as fast as the router, and would
        // count as answered on the local network.
        ASSERT_TRUE(lab("set internet delay=2"));
    }

    void TearDown() override {
        if (monitor_) monitor_->stop();
        monitor_.reset();
        if (insideTheLab()) {
            lab("vpn off");
            lab("link up");
            lab("reset");
        }
    }

    void start() {
        monitor_ = std::make_unique<Monitor>(TargetSettings{}, 1.0, std::ref(watch_));
        monitor_->start();
    }

    // Starts a step: the mark and the moment the lab's change took effect.
    struct Step {
        std::pair<std::size_t, std::size_t> mark;
        Clock::time_point at;
    };
    Step step() { return Step{watch_.mark(), Clock::now()}; }

    // Waits for the shown verdict, checks it took at most `bound` seconds
    // (and, for a change the filter holds back, at least its hold time), and
    // that the verdicts seen from the step on were exactly `sequence`.
    void expectVerdict(const Step& step, Verdict verdict, double bound, const std::vector<Verdict>& sequence,
                       bool held = false) {
        const auto took = watch_.waitForVerdict(step.mark, step.at, bound, verdict);
        ASSERT_TRUE(took) << text(verdict) << " not shown within " << bound << " s; seen:" << watch_.describe();
        std::printf("  %s after %.1f s (bound %.1f s)\n", std::string(text(verdict)).c_str(), *took, bound);
        EXPECT_LE(*took, bound);
        if (held) {
            EXPECT_GE(*took, filterHold - 0.2) << text(verdict) << " shown before the filter's hold time";
        }
        EXPECT_EQ(names(watch_.verdicts(step.mark)), names(sequence)) << watch_.describe();
    }

    Watch watch_;
    std::unique_ptr<Monitor> monitor_;
};

TEST_F(MonitorLab, VerdictsFollowTheInternetFromGoodThroughItsTroublesToOfflineAndBack) {
    // All answering: good once the targets have warmed up.
    auto s = step();
    start();
    expectVerdict(s, Verdict::good, firstVerdictBound, {Verdict::measuring, Verdict::good});
    auto snapshot = watch_.latest();
    EXPECT_EQ(snapshot.internet, TargetState::ok());
    EXPECT_FALSE(snapshot.ipv6Problem);
    ASSERT_EQ(snapshot.targets.size(), 4u);
    EXPECT_EQ(snapshot.targets[0].target.address.text(), "10.77.0.1");
    EXPECT_EQ(snapshot.targets[3].target.address.text(), "2606:4700:4700::1111");
    for (const auto& target : snapshot.targets) EXPECT_EQ(target.status, TargetStatus::icmp) << target.target.host;

    // The IPv6 partner silent: still good, with the IPv6 flag as soon as two
    // of its probes are known lost (not held by the filter).
    ASSERT_TRUE(lab("set 2606:4700:4700::1111 mode=silent"));
    s = step();
    const double ipv6Bound = 2.0 + lossSeen + slack;  // its second lost probe
    const auto flagged = watch_.waitFor(s.mark, s.at, ipv6Bound, [](const MonitorSnapshot& x) { return x.ipv6Problem; });
    ASSERT_TRUE(flagged) << "no IPv6 problem within " << ipv6Bound << " s";
    EXPECT_EQ(names(watch_.verdicts(s.mark)), names({Verdict::good}));
    ASSERT_TRUE(lab("set 2606:4700:4700::1111 mode=answer"));

    // 300 ms spikes for 5 s on one host: one spike event, ended by the first
    // normal reply, with its worst time; the other host keeps the verdict good.
    ASSERT_TRUE(lab("set 8.8.8.8 delay=300"));
    s = step();
    std::this_thread::sleep_for(5s);
    ASSERT_TRUE(lab("set 8.8.8.8 delay=2"));
    const double spikeLength = since(s.at);
    const double spikeBound = spikeLength + roundAndSnapshot + slack;
    const auto spiked = watch_.waitForEvent(s.mark, s.at, spikeBound,
                                            [](const NetworkEvent& e) { return e.kind == NetworkEvent::Kind::spike; });
    ASSERT_TRUE(spiked) << "no spike event within " << spikeBound << " s" << watch_.describe();
    std::this_thread::sleep_for(2s);  // time for a second, wrong one to show
    // (The IPv6 partner's short silence may end an outage of its own in this time.)
    auto events = watch_.events(s.mark);
    std::erase_if(events, [](const NetworkEvent& e) { return e.kind != NetworkEvent::Kind::spike; });
    ASSERT_EQ(events.size(), 1u) << watch_.describe();
    EXPECT_EQ(events[0].role, TargetRole::internet(1));
    EXPECT_EQ(events[0].host, "8.8.8.8");
    ASSERT_TRUE(events[0].worstRTT);
    EXPECT_GE(*events[0].worstRTT, 300.0);
    EXPECT_LT(*events[0].worstRTT, 400.0);
    EXPECT_NEAR(events[0].duration(), spikeLength, 1.5);
    EXPECT_EQ(names(watch_.verdicts(s.mark)), names({Verdict::good}));

    // Internet hosts losing heavily, never long enough to be down: a problem,
    // shown once it has lasted the filter's hold time.
    {
        s = step();
        Flapper losing("internet");
        // Two losses within the first silent spell.
        expectVerdict(s, Verdict::internetProblem, flapSilent + lossSeen + filterShown + slack,
                      {Verdict::good, Verdict::internetProblem}, true);
    }
    std::this_thread::sleep_for(1500ms);  // a reply ends every run of losses

    // Internet hosts silent while the router answers: down, once both
    // outages have begun and the filter has held it.
    ASSERT_TRUE(lab("set internet mode=silent"));
    s = step();
    expectVerdict(s, Verdict::internetDown, outageSeen + filterShown + slack,
                  {Verdict::internetProblem, Verdict::internetDown}, true);
    snapshot = watch_.latest();
    EXPECT_EQ(snapshot.internet, TargetState::down());
    EXPECT_EQ(find(snapshot, TargetRole::router())->state, TargetState::ok());

    // Answers again: each host's outage ends with an event that spans the silence.
    const double silence = since(s.at);
    ASSERT_TRUE(lab("reset"));
    ASSERT_TRUE(lab("set internet delay=2"));
    s = step();
    for (const auto& host : {"1.1.1.1", "8.8.8.8"}) {
        const auto ended = watch_.waitForEvent(s.mark, s.at, roundAndSnapshot + slack, [&](const NetworkEvent& e) {
            return e.kind == NetworkEvent::Kind::outage && e.host == host && e.role.kind == TargetRole::Kind::internet;
        });
        ASSERT_TRUE(ended) << "no outage event for " << host << watch_.describe();
    }
    for (const auto& event : watch_.events(s.mark)) {
        EXPECT_EQ(event.kind, NetworkEvent::Kind::outage);
        EXPECT_NEAR(event.duration(), silence, 2.0) << event.logLine();
        EXPECT_FALSE(event.worstRTT);
    }

    // Link down: offline at once (the path monitor's 0.5 s debounce).
    ASSERT_TRUE(lab("link down"));
    s = step();
    expectVerdict(s, Verdict::offline, 0.5 + 0.5 + slack, {Verdict::internetDown, Verdict::offline});
    snapshot = watch_.latest();
    EXPECT_FALSE(snapshot.path.isSatisfied);
    EXPECT_TRUE(snapshot.targets.empty());

    // Link up: a fresh start, measuring until the new targets have warmed up.
    ASSERT_TRUE(lab("link up"));
    s = step();
    expectVerdict(s, Verdict::good, 0.5 + firstVerdictBound,
                  {Verdict::offline, Verdict::measuring, Verdict::good});
}

TEST_F(MonitorLab, WithoutAMeasurableRouterTroubleIsTheConnectionsAndAVPNLeavesTheRouterOut) {
    // Router and internet silent from the start: the router settles as not
    // answering ping and counts as absent, so the verdict is connectionDown,
    // shown as soon as the targets have settled.
    ASSERT_TRUE(lab("set router mode=silent"));
    ASSERT_TRUE(lab("set internet mode=silent"));
    auto s = step();
    start();
    expectVerdict(s, Verdict::connectionDown, firstVerdictBound, {Verdict::measuring, Verdict::connectionDown});
    auto snapshot = watch_.latest();
    EXPECT_EQ(find(snapshot, TargetRole::router())->status, TargetStatus::doesntAnswerPing);
    EXPECT_EQ(snapshot.internet, TargetState::down());

    // The internet answers again; the losses still in its window make it a
    // connection problem (the router still cannot be measured).
    ASSERT_TRUE(lab("set internet mode=answer"));
    s = step();
    expectVerdict(s, Verdict::connectionProblem, roundAndSnapshot + filterShown + slack,
                  {Verdict::connectionDown, Verdict::connectionProblem}, true);

    // A VPN with the router still silent: a new path, the router unreachable
    // through the VPN and left out, the internet answering through the tunnel.
    ASSERT_TRUE(lab("vpn on"));
    s = step();
    expectVerdict(s, Verdict::good, 1.0 + firstVerdictBound,
                  {Verdict::connectionProblem, Verdict::measuring, Verdict::good});
    snapshot = watch_.latest();
    EXPECT_TRUE(snapshot.path.isVPN);
    ASSERT_TRUE(find(snapshot, TargetRole::router()));
    EXPECT_EQ(find(snapshot, TargetRole::router())->status, TargetStatus::unreachableVPN);

    // The internet silent behind the VPN: with no router to blame it is the
    // connection that is down, not the local network.
    ASSERT_TRUE(lab("set internet mode=silent"));
    s = step();
    expectVerdict(s, Verdict::connectionDown, outageSeen + filterShown + slack,
                  {Verdict::good, Verdict::connectionDown}, true);
}

TEST_F(MonitorLab, ALosingRouterWithTheInternetSilentIsALocalProblem) {
    // The internet silent, the router fine: internetDown once settled.
    ASSERT_TRUE(lab("set internet mode=silent"));
    auto s = step();
    start();
    expectVerdict(s, Verdict::internetDown, firstVerdictBound, {Verdict::measuring, Verdict::internetDown});
    EXPECT_EQ(find(watch_.latest(), TargetRole::router())->status, TargetStatus::icmp);

    // The router starts losing (never long enough to be down): the trouble is local.
    s = step();
    Flapper losing("router");
    expectVerdict(s, Verdict::localProblem, flapSilent + lossSeen + filterShown + slack,
                  {Verdict::internetDown, Verdict::localProblem}, true);
    const auto router = find(watch_.latest(), TargetRole::router());
    ASSERT_TRUE(router);
    EXPECT_EQ(router->state, TargetState::bad(Problems::loss()));
}

TEST_F(MonitorLab, InternetHostsFasterThanTheRouterAreAnsweredLocally) {
    // A router that takes 8 ms, hosts that take 2: something on the local
    // network answers for them, so nothing measures the internet. Known once
    // the router and the hosts have 5 replies each, before they settle.
    ASSERT_TRUE(lab("set router delay=8"));
    auto s = step();
    start();
    expectVerdict(s, Verdict::internetUnmeasured, 1.0 + 5.0 + roundAndSnapshot + slack,
                  {Verdict::measuring, Verdict::internetUnmeasured});
    // Still so once everything has settled.
    const auto settled = watch_.waitFor(s.mark, s.at, firstVerdictBound, [](const MonitorSnapshot& x) {
        return !x.targets.empty() && std::all_of(x.targets.begin(), x.targets.end(), [](const TargetSnapshot& t) {
            return t.status == TargetStatus::icmp;
        });
    });
    ASSERT_TRUE(settled);
    const auto snapshot = watch_.latest();
    EXPECT_EQ(snapshot.verdict, Verdict::internetUnmeasured);
    EXPECT_EQ(snapshot.internet, std::nullopt);
    EXPECT_TRUE(find(snapshot, TargetRole::internet(0))->answeredLocally);
    EXPECT_TRUE(find(snapshot, TargetRole::internet(1))->answeredLocally);
    EXPECT_FALSE(find(snapshot, TargetRole::router())->answeredLocally);
    EXPECT_EQ(names(watch_.verdicts(s.mark)), names({Verdict::measuring, Verdict::internetUnmeasured}));
}

}  // namespace
}  // namespace nerivane

namespace nerivane {
namespace {

TEST_F(MonitorLab, TheProbeToolPrintsTheMonitorsViewAsJSONLines) {
    const std::string tool = environment("NERIVANE_BIN_DIR") + "/nerivane-probe";
    if (environment("NERIVANE_BIN_DIR").empty() || ::access(tool.c_str(), X_OK) != 0)
        GTEST_SKIP() << "nerivane-probe is not built";
    std::FILE* output = ::popen((tool + " --monitor --json --seconds 14").c_str(), "r");
    ASSERT_NE(output, nullptr);
    std::vector<std::string> lines;
    char buffer[16384];
    while (std::fgets(buffer, sizeof buffer, output)) lines.emplace_back(buffer);
    ASSERT_EQ(::pclose(output), 0);

    ASSERT_GE(lines.size(), 10u);
    for (const auto& line : lines) {
        EXPECT_TRUE(JsonCheck::isObject(line)) << line;
        EXPECT_NE(line.find("\"type\":\"snapshot\""), std::string::npos) << line;
    }
    EXPECT_NE(lines.front().find("\"verdict\":\"measuring\""), std::string::npos) << lines.front();
    const auto& last = lines.back();
    EXPECT_NE(last.find("\"verdict\":\"good\""), std::string::npos) << last;
    EXPECT_NE(last.find("\"internet\":\"ok\",\"ipv6Problem\":false"), std::string::npos) << last;
    for (const auto* role : {"router", "internet[0]", "internet[1]", "internet-ipv6"})
        EXPECT_NE(last.find("\"role\":\"" + std::string(role) + "\""), std::string::npos) << role;
    EXPECT_NE(last.find("\"address\":\"2606:4700:4700::1111\",\"status\":\"icmp\",\"state\":\"ok\""),
              std::string::npos)
        << last;
}

}  // namespace
}  // namespace nerivane
