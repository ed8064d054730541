// The rules that turn DNS probe outcomes into the lookups' health: every
// server failing two rounds in a row (or the system's own lookup failing
// twice) is "failing", the first answer clears it, a median over a second
// within five minutes is "slow"; and the rounds come every few seconds while
// anything fails, so a silent server shows within seconds. How that weighs
// against the other verdicts: analysis/VerdictTest.
#include <gtest/gtest.h>

#include "NerivaneKit/lookup/LookupTally.h"
#include "NerivaneKit/lookup/NameLookups.h"

namespace nerivane {
namespace {

const ResolverServer first{"192.0.2.53", 53, ""};
const ResolverServer second{"192.0.2.54", 53, ""};

LookupOutcome answered(const ResolverServer& server, double seconds) { return {server, seconds, std::nullopt}; }
LookupOutcome failed(const ResolverServer& server, LookupFailure failure) { return {server, std::nullopt, failure}; }
MonitorTime at(double seconds) { return MonitorTime{Seconds{seconds}}; }

TEST(LookupTally, FailingSlowAndFineFromTheRoundsOfFiveMinutes) {
    using Health = LookupSnapshot::Health;
    struct Case {
        const char* name;
        // Rounds at 0, 60, 120, ... seconds; the snapshot is taken just after the last.
        std::vector<std::vector<LookupOutcome>> rounds;
        Health health;
        int failuresLastMinute;  // of the first server
    };
    const auto timeout = [](const ResolverServer& server) { return failed(server, LookupFailure::timeout); };
    const Case cases[] = {
        {"no round yet", {}, Health::unknown, 0},
        {"no server known", {{}}, Health::unknown, 0},
        {"answered", {{answered(first, 0.02)}}, Health::ok, 0},
        {"one failed round is no alarm yet", {{answered(first, 0.02)}, {timeout(first)}}, Health::ok, 1},
        {"two failed rounds in a row are", {{answered(first, 0.02)}, {timeout(first)}, {timeout(first)}}, Health::failing, 1},
        {"an answer between two failures clears the count",
         {{timeout(first)}, {answered(first, 0.02)}, {timeout(first)}}, Health::ok, 1},
        {"every server fails, in its own way",
         {{failed(first, LookupFailure::servfail), failed(second, LookupFailure::refused)},
          {failed(first, LookupFailure::noAddress), failed(second, LookupFailure::refused)}},
         Health::failing, 1},
        {"one of two still answers", {{timeout(first), answered(second, 0.03)}, {timeout(first), answered(second, 0.03)}},
         Health::ok, 1},
        {"one slow answer among fast ones is not slow",
         {{answered(first, 0.02)}, {answered(first, 0.02)}, {answered(first, 1.5)}}, Health::ok, 0},
        {"a median over a second is slow",
         {{answered(first, 0.02)}, {answered(first, 1.5)}, {answered(first, 1.5)}}, Health::slow, 0},
        {"slow answers older than five minutes are forgotten",
         {{answered(first, 1.5)}, {answered(first, 1.5)}, {answered(first, 1.5)}, {answered(first, 0.02)},
          {answered(first, 0.02)}, {answered(first, 0.02)}, {answered(first, 0.02)}},
         Health::ok, 0},
        {"a server no longer named is forgotten",
         {{timeout(first), timeout(second)}, {timeout(first), timeout(second)}, {answered(second, 0.02)}}, Health::ok, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LookupTally tally;
        double time = 0;
        for (const auto& round : c.rounds) {
            tally.record(at(time), round);
            time += 60;
        }
        const auto snapshot = tally.snapshot(at(time - 59));
        EXPECT_EQ(snapshot.health, c.health);
        if (!snapshot.servers.empty()) {
            EXPECT_EQ(snapshot.servers.front().failuresLastMinute, c.failuresLastMinute);
        }
    }
}

TEST(LookupTally, NamesTheFailingServerItsLastAnswerAndCountsOnlyTheLastMinute) {
    LookupTally tally;
    tally.record(at(0), {answered(first, 0.01), failed(second, LookupFailure::timeout)});
    tally.record(at(30), {failed(first, LookupFailure::nxdomain), failed(second, LookupFailure::timeout)});
    tally.record(at(40), {failed(first, LookupFailure::nxdomain), failed(second, LookupFailure::timeout)});
    const auto snapshot = tally.snapshot(at(70));
    ASSERT_EQ(snapshot.health, LookupSnapshot::Health::failing);
    EXPECT_EQ(snapshot.namedServer()->server, first);
    EXPECT_EQ(snapshot.namedServer()->latestFailure, LookupFailure::nxdomain);
    // Beside a failure the row shows how long ago the server last answered.
    EXPECT_EQ(snapshot.namedServer()->lastAnswerAge, 70);
    EXPECT_EQ(snapshot.servers[1].lastAnswerAge, std::nullopt);
    EXPECT_EQ(snapshot.servers[1].failuresLastMinute, 2);  // the one at 0 is past the minute
    EXPECT_EQ(snapshot.servers[0].medianSeconds, 0.01);
}

// What applications see counts: the system's lookup failing twice while the
// servers answer directly is failing too (a broken local resolver); its
// first success clears it. A chosen name the servers deny is shown, not failed.
TEST(LookupTally, TheSystemLookupTakesPartAndAMissingChosenNameIsNoFailure) {
    LookupTally tally;
    tally.record(at(0), {answered(first, 0.01)});
    tally.recordSystem(std::nullopt);
    EXPECT_EQ(tally.snapshot(at(1)).health, LookupSnapshot::Health::ok);
    tally.recordSystem(std::nullopt);
    EXPECT_EQ(tally.snapshot(at(2)).health, LookupSnapshot::Health::failing);
    tally.recordSystem(Seconds{0.02});
    EXPECT_EQ(tally.snapshot(at(3)).health, LookupSnapshot::Health::ok);

    LookupOutcome typo = answered(first, 0.01);
    typo.missingName = "exmaple.com";
    tally.record(at(10), {typo});
    tally.record(at(20), {typo});
    const auto snapshot = tally.snapshot(at(21));
    EXPECT_EQ(snapshot.health, LookupSnapshot::Health::ok);
    EXPECT_EQ(snapshot.missingName, "exmaple.com");
}

// A server that answers, goes silent and answers again, asked on the
// schedule NameLookups keeps (a silent round lasts its time-out), for
// silences starting at every second of the round interval: failing shows
// within 30 s of the silence (with room for the verdict's tick), and never
// after a single silent round; the first answer clears it.
TEST(LookupTally, SilenceShowsWithinSecondsAndTheFirstAnswerClearsIt) {
    const NameLookups::Settings settings;
    const double timeout = std::chrono::duration<double>(settings.timeout).count();
    const double interval = std::chrono::duration<double>(settings.interval).count();
    for (double silence = 100; silence < 100 + interval; silence += 1) {
        SCOPED_TRACE("silent from " + std::to_string(silence) + " s");
        const double back = silence + 50;
        LookupTally tally;
        std::optional<double> failingAt, clearedAt;
        int silentRounds = 0;
        for (double start = 0; start < back + 60;) {
            const bool silent = start >= silence && start < back;
            const auto outcomes = std::vector{silent ? failed(first, LookupFailure::timeout) : answered(first, 0.01)};
            const double end = start + (silent ? timeout : 0.01);
            tally.record(at(end), outcomes);
            silentRounds = silent ? silentRounds + 1 : 0;
            const bool failing = tally.snapshot(at(end)).health == LookupSnapshot::Health::failing;
            EXPECT_EQ(failing, silentRounds >= 2) << "round at " << start;
            if (failing && !failingAt) failingAt = end;
            if (!failing && start >= back && !clearedAt) clearedAt = end;
            start = end + std::chrono::duration<double>(NameLookups::nextRound(settings, outcomes, false)).count();
        }
        ASSERT_TRUE(failingAt && clearedAt);
        EXPECT_LE(*failingAt - silence, 28);
        EXPECT_LE(*clearedAt - back, 10);
    }
}

}  // namespace
}  // namespace nerivane
