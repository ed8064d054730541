// The real engine in the lab's client namespace: the path comes from netlink,
// names resolve through the lab's hosts file, and the lab's responders answer
// every target the way a case asks (promptly, late, twice, corrupted, for
// someone else, or not at all). Each run carries several targets at once.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#include "NerivaneKit/platform/LogStore.h"
#include "NerivaneKit/probing/ProbeEngine.h"
#include "support/LabAccess.h"
#include "support/Recorder.h"

namespace nerivane {
namespace {

using namespace std::chrono_literals;
using namespace labtest;
using Event = ProbeEngine::Event;
using Recorded = test::Recorder<Event>::Entry;
using Result = ProbeEngine::ResultEvent;

const TargetRole router = TargetRole::router(), internet0 = TargetRole::internet(0),
                 internet1 = TargetRole::internet(1), internetIPv6 = TargetRole::internetIPv6(),
                 custom0 = TargetRole::custom(0), custom1 = TargetRole::custom(1);

// The events from one target list up to the next, with times in seconds
// since the list was reported.
struct Phase {
    ProbeEngine::TargetsEvent targets;
    Recorded start;
    std::vector<Recorded> events;

    template <class T>
    std::vector<std::pair<T, double>> of(const TargetRole& role) const {
        std::vector<std::pair<T, double>> found;
        for (const auto& recorded : events) {
            const auto* event = std::get_if<T>(&recorded.value);
            if (event && event->role == role)
                found.emplace_back(*event, std::chrono::duration<double>(recorded.at - start.at).count());
        }
        return found;
    }
    // How many results of the role match, given each with its time.
    std::size_t count(const TargetRole& role, const std::function<bool(const Result&, double)>& predicate) const {
        std::size_t found = 0;
        for (const auto& [result, at] : of<Result>(role)) found += predicate(result, at);
        return found;
    }

    // Each listed target is reported warming up at once (names as soon as
    // they are answered) and then settles once, on the first tick 10 s in.
    void expectWarmUpThen(const std::vector<std::pair<TargetRole, TargetStatus>>& settled) const {
        for (const auto& [role, status] : settled) {
            SCOPED_TRACE(role.text());
            const auto statuses = of<ProbeEngine::StatusEvent>(role);
            ASSERT_EQ(statuses.size(), 2u);
            EXPECT_EQ(text(statuses[0].first.status), text(TargetStatus::warmingUp));
            EXPECT_LT(statuses[0].second, 1.0);
            EXPECT_EQ(text(statuses[1].first.status), text(status));
            EXPECT_GE(statuses[1].second, 9.95);
            EXPECT_LE(statuses[1].second, 11.5);
        }
    }
    double settledAt(const TargetRole& role) const {
        const auto statuses = of<ProbeEngine::StatusEvent>(role);
        return statuses.size() >= 2 ? statuses[1].second : 1e9;
    }
    std::size_t countAfter(const TargetRole& role, double after) const {
        return count(role, [&](const Result&, double at) { return at > after; });
    }
};

std::vector<Phase> phasesOf(const std::vector<Recorded>& events) {
    std::vector<Phase> phases;
    for (const auto& recorded : events) {
        const auto* targets = std::get_if<ProbeEngine::TargetsEvent>(&recorded.value);
        if (targets && targets->extendsPrevious && !phases.empty()) {
            phases.back().targets = *targets;  // names answered: the same phase goes on
        } else if (targets) {
            phases.push_back({*targets, recorded, {}});
        } else if (!phases.empty()) {
            phases.back().events.push_back(recorded);
        }
    }
    return phases;
}

// Each probe ends as one reply, one loss, or a loss followed by a late
// reply: a duplicate, corrupted or foreign answer never adds a result.
void expectOneOutcomePerProbe(const std::vector<Recorded>& events) {
    std::map<std::tuple<TargetRole, ProbeProtocol, std::uint16_t>, std::string> outcomes;
    for (const auto& recorded : events) {
        if (const auto* result = std::get_if<Result>(&recorded.value)) {
            const auto& r = result->result;
            auto& seen = outcomes[{result->role, result->probeProtocol, r.sequence}];
            seen += std::string(seen.empty() ? "" : ",") + (r.isReply() ? "reply" : r.isLate() ? "late" : "lost");
        }
    }
    for (const auto& [key, seen] : outcomes) {
        EXPECT_TRUE(seen == "reply" || seen == "lost" || seen == "lost,late")
            << std::get<0>(key).text() << " " << text(std::get<1>(key)) << " seq=" << std::get<2>(key) << ": " << seen;
    }
}

// How each target's probes were answered: every result of the role (late
// ones only, when `outcome` is late) is `outcome`, and the responder's log
// shows that the lab answered each of those probes in the way `mode` says.
struct Answered {
    TargetRole role;
    const char *responder, *address, *mode;
    bool (ProbeResult::*outcome)() const;
    std::size_t atLeast;
};

void expectAnsweredAs(const Phase& phase, const std::vector<Answered>& rows) {
    for (const auto& row : rows) {
        SCOPED_TRACE(row.role.text());
        const auto log = responderLog(row.responder);
        std::size_t seen = 0;
        for (const auto& [result, at] : phase.of<Result>(row.role)) {
            const auto sequence = result.result.sequence;
            if (row.outcome == &ProbeResult::isLate && !result.result.isLate()) continue;
            ++seen;
            EXPECT_TRUE((result.result.*row.outcome)()) << "seq " << sequence;
            const std::string needle = std::string("-> ") + row.address + " seq " + std::to_string(sequence) + ":";
            EXPECT_TRUE(std::any_of(log.begin(), log.end(), [&](const std::string& line) {
                return line.find(needle) != std::string::npos && line.find(row.mode) != std::string::npos;
            })) << "seq " << sequence << " was not answered " << row.mode << " by the lab";
        }
        EXPECT_GE(seen, row.atLeast);
    }
}

class ProbeEngineLab : public ::testing::Test {
protected:
    // Every lab test resets the lab to what it needs first.
    void SetUp() override {
        if (!insideTheLab()) GTEST_SKIP() << "not inside the client namespace of lab \"" << labName() << "\"";
        LogStore::shared().setStderrOutput(LogStore::StderrOutput::never);
        ASSERT_TRUE(lab("vpn off") && lab("link up") && lab("reset"));
    }

    // Runs the engine with its default environment (real path monitor, real
    // resolver, interval 1 s) until `seconds` after its first target list.
    void run(const TargetSettings& settings, double seconds) {
        engine_ = std::make_unique<ProbeEngine>(settings, Seconds{1.0}, std::ref(recorder_));
        engine_->start();
        ASSERT_TRUE(recorder_.waitForCount(1, 10s)) << "no target list within 10 s";
        std::this_thread::sleep_until(recorder_.entries()[0].at + std::chrono::duration_cast<test::SteadyClock::duration>(
                                                                      std::chrono::duration<double>(seconds)));
    }

    test::Recorder<Event> recorder_;
    std::unique_ptr<ProbeEngine> engine_;
};

// Router answering. internet[0] tcp-only.lab (and its IPv6 address as the
// partner) answers only TCP on 443; internet[1] 1.1.1.1 answers every ping
// twice; custom[0] silent.lab answers nothing; custom[1] 9.9.9.9 answers
// every ping 2.5 s late.
TEST_F(ProbeEngineLab, TargetsSettleOnWhatTheyAnswerWithTheRouterAnswering) {
    ASSERT_TRUE(lab("set 1.1.1.1 mode=duplicate") && lab("set 9.9.9.9 mode=late"));
    TargetSettings settings;
    settings.internetHosts = {"tcp-only.lab", "1.1.1.1"};
    settings.customHosts = {"silent.lab", "9.9.9.9"};
    run(settings, 14.5);
    engine_->stop();

    const auto events = recorder_.entries();
    const auto phases = phasesOf(events);
    ASSERT_EQ(phases.size(), 1u) << "the path changed during the run";
    const auto& phase = phases[0];
    EXPECT_EQ(phase.targets.path.primaryInterface, "eth0");
    EXPECT_FALSE(phase.targets.path.isVPN);

    // Names come from the lab's hosts file; the partner of a named first
    // host is that name's IPv6 address. The sweep finds the lab's provider hop.
    std::string planned;
    for (const auto& target : phase.targets.targets) planned += target.role.text() + "=" + target.address.text() + " ";
    EXPECT_EQ(planned, "router=10.77.0.1 provider=100.64.0.1 internet[0]=203.0.113.10 internet[1]=1.1.1.1 internet-ipv6=2001:db8:77::10 "
                       "custom[0]=203.0.113.20 custom[1]=9.9.9.9 ");
    expectOneOutcomePerProbe(events);
    phase.expectWarmUpThen({{router, TargetStatus::icmp}, {internet0, TargetStatus::tcp},
                            {internet1, TargetStatus::icmp}, {internetIPv6, TargetStatus::tcp},
                            {custom0, TargetStatus::icmp}, {custom1, TargetStatus::icmp}});
    const auto isReply = [](const Result& r, double) { return r.result.isReply(); };
    EXPECT_GE(phase.of<Result>(router).size(), 12u);
    EXPECT_EQ(phase.count(router, isReply), phase.of<Result>(router).size());

    // The TCP-only host and its partner: TCP attempts during warm-up are
    // checks, never reported; once settled TCP measures, every attempt answered.
    for (const auto& role : {internet0, internetIPv6}) {
        const double settled = phase.settledAt(role);
        EXPECT_EQ(phase.count(role, [&](const Result& r, double at) {
                      return at < settled ? r.probeProtocol == ProbeProtocol::tcp
                                          : at > settled + 0.1 && (r.probeProtocol == ProbeProtocol::icmp || !r.result.isReply());
                  }), 0u) << role.text();
        EXPECT_GE(phase.countAfter(role, settled), 3u) << role.text();
    }

    // Duplicated replies are one reply a probe, although the lab really sent
    // each twice; late answers: each probe is lost first, then late by about
    // 2.5 s; a host that answers nothing is measured as losing, also after
    // warm-up.
    expectAnsweredAs(phase, {{internet1, "internet", "1.1.1.1", "(twice)", &ProbeResult::isReply, 12},
                             {custom1, "internet", "9.9.9.9", "late", &ProbeResult::isLate, 8}});
    EXPECT_EQ(phase.count(custom1, isReply), 0u);
    EXPECT_EQ(phase.count(custom1, [](const Result& r, double) {
                  return r.result.isLate() && (*r.result.milliseconds() < 2450.0 || *r.result.milliseconds() > 3200.0);
              }), 0u);
    EXPECT_GE(phase.of<Result>(custom0).size(), 10u);
    EXPECT_EQ(phase.count(custom0, [](const Result& r, double) { return r.result.isLost(); }), phase.of<Result>(custom0).size());
    EXPECT_GE(phase.countAfter(custom0, phase.settledAt(custom0)), 1u);
}

// Router silent. tcp-only.lab gets no TCP attempts without a router answer
// and settles on ICMP; corrupted (IPv4 and IPv6) and foreign answers count
// as losses. Then the VPN comes on: the path changes, every target warms up
// again, and the silent router is now unreachable through the VPN.
TEST_F(ProbeEngineLab, ASilentRouterIsMarkedAndCorruptOrForeignAnswersAreLosses) {
    ASSERT_TRUE(lab("set router mode=silent") && lab("set 8.8.8.8 mode=corrupt") && lab("set 9.9.9.9 mode=foreign") &&
                lab("set 2001:4860:4860::8888 mode=corrupt"));
    TargetSettings settings;
    settings.internetHosts = {"tcp-only.lab", "8.8.8.8"};
    settings.customHosts = {"9.9.9.9", "2001:4860:4860::8888"};
    run(settings, 11.5);

    ASSERT_TRUE(lab("vpn on"));
    ASSERT_TRUE(recorder_.waitForCountIf([](const Event& e) {
        const auto* status = std::get_if<ProbeEngine::StatusEvent>(&e);
        return status && status->status == TargetStatus::unreachableVPN;
    }, 1, 20s)) << "the router never became unreachableVPN";
    std::this_thread::sleep_for(300ms);
    engine_->stop();

    const auto events = recorder_.entries();
    expectOneOutcomePerProbe(events);
    const auto phases = phasesOf(events);
    ASSERT_GE(phases.size(), 2u);
    const auto& plain = phases.front();
    EXPECT_FALSE(plain.targets.path.isVPN);
    ASSERT_EQ(plain.targets.targets.size(), 7u);  // with the provider's hop
    plain.expectWarmUpThen({{router, TargetStatus::doesntAnswerPing}, {internet0, TargetStatus::icmp},
                            {internetIPv6, TargetStatus::icmp}, {internet1, TargetStatus::icmp},
                            {custom0, TargetStatus::icmp}, {custom1, TargetStatus::icmp}});

    // Every measurement of these targets is a loss, although the lab did
    // answer each probe, in the way asked for.
    expectAnsweredAs(plain, {{router, "router", "10.77.0.1", "silent", &ProbeResult::isLost, 7},
                             {internet1, "internet", "8.8.8.8", "corrupt", &ProbeResult::isLost, 7},
                             {custom0, "internet", "9.9.9.9", "foreign", &ProbeResult::isLost, 7},
                             {custom1, "internet", "2001:4860:4860::8888", "corrupt", &ProbeResult::isLost, 7}});
    EXPECT_EQ(plain.countAfter(router, plain.settledAt(router) + 0.1), 0u) << "measured after it was marked";

    const auto& vpn = phases.back();
    EXPECT_TRUE(vpn.targets.path.isVPN);
    EXPECT_EQ(vpn.targets.path.primaryInterface, "tun0");
    ASSERT_EQ(vpn.targets.targets.size(), 6u);
    vpn.expectWarmUpThen({{router, TargetStatus::unreachableVPN}});
}

// A custom name that the lab's hosts file does not know at first (DNS not up
// at login): it is reported as being looked up, then not found, and once the
// hosts file learns it, the next retry adds it and it is probed.
TEST_F(ProbeEngineLab, ANameNotFoundAtFirstIsAskedAgainAndProbedOnceItResolves) {
    // The client namespace's /etc/hosts is this file, bind-mounted: edit it
    // in place and put it back afterwards for the other cases.
    const std::string hostsPath = "/etc/netns/" + labName() + "-c/hosts";
    std::stringstream original;
    original << std::ifstream(hostsPath).rdbuf();
    struct Restore {
        std::string path, text;
        ~Restore() { std::ofstream(path, std::ios::trunc) << text; }
    } restore{hostsPath, original.str()};

    TargetSettings settings;
    settings.internetHosts = {"1.1.1.1"};
    settings.customHosts = {"late-dns.lab"};
    engine_ = std::make_unique<ProbeEngine>(settings, Seconds{1.0}, std::ref(recorder_));
    engine_->start();
    const auto lookupsOf = [](const std::vector<Event>& events) {
        std::vector<std::string> seen;
        for (const auto& event : events) {
            if (const auto* list = std::get_if<ProbeEngine::LookupsEvent>(&event)) {
                std::string line;
                for (const auto& lookup : list->lookups) line += lookup.role.text() + " " + lookup.shownText() + ";";
                seen.push_back(line);
            }
        }
        return seen;
    };
    ASSERT_TRUE(recorder_.waitFor([&](const auto& events) { return lookupsOf(events).size() >= 2; }, 10s))
        << "the failed lookup was never reported";
    const auto failedAt = std::chrono::steady_clock::now();
    EXPECT_EQ(lookupsOf(recorder_.values()),
              (std::vector<std::string>{"custom[0] Looking up late-dns.lab\u2026;", "custom[0] late-dns.lab not found;"}));

    std::ofstream(hostsPath, std::ios::app) << "9.9.9.9 late-dns.lab\n";
    // The first retry comes 5 s after the failure.
    ASSERT_TRUE(recorder_.waitForCountIf([](const Event& e) {
        const auto* result = std::get_if<Result>(&e);
        return result && result->role == custom0 && result->result.isReply();
    })) << "late-dns.lab was never probed";
    EXPECT_LT(std::chrono::steady_clock::now() - failedAt, 8s);
    engine_->stop();

    const auto lookups = lookupsOf(recorder_.values());
    EXPECT_EQ(lookups.back(), "") << "still reported as a name after it resolved";
    const auto phases = phasesOf(recorder_.entries());
    ASSERT_EQ(phases.size(), 1u) << "the path changed during the run";
    ASSERT_FALSE(phases[0].targets.targets.empty());
    EXPECT_EQ(phases[0].targets.targets.back().role, custom0);
    EXPECT_EQ(phases[0].targets.targets.back().address.text(), "9.9.9.9");
}

}  // namespace
}  // namespace nerivane
