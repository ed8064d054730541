// The rules that turn DNS probe outcomes into the lookups' health: every
// server failing is "failing", a median over a second within five minutes is
// "slow". How that weighs against the other verdicts: analysis/VerdictTest.
#include <gtest/gtest.h>

#include "NerivaneKit/lookup/LookupTally.h"

namespace nerivane {
namespace {

const ResolverServer first{"192.0.2.53", 53, ""};
const ResolverServer second{"192.0.2.54", 53, ""};

LookupOutcome answered(const ResolverServer& server, double seconds) { return {server, seconds, std::nullopt}; }
LookupOutcome failed(const ResolverServer& server, LookupFailure failure) { return {server, std::nullopt, failure}; }

TEST(LookupTally, FailingSlowAndFineFromTheRoundsOfFiveMinutes) {
    using Health = LookupSnapshot::Health;
    struct Case {
        const char* name;
        // Rounds at 0, 60, 120, ... seconds; the snapshot is taken just after the last.
        std::vector<std::vector<LookupOutcome>> rounds;
        Health health;
        int failuresLastMinute;  // of the first server
    };
    const Case cases[] = {
        {"no round yet", {}, Health::unknown, 0},
        {"no server known", {{}}, Health::unknown, 0},
        {"answered", {{answered(first, 0.02)}}, Health::ok, 0},
        {"the only server times out", {{answered(first, 0.02)}, {failed(first, LookupFailure::timeout)}}, Health::failing, 1},
        {"every server fails, in its own way",
         {{failed(first, LookupFailure::servfail), failed(second, LookupFailure::refused)}}, Health::failing, 1},
        {"one of two still answers", {{failed(first, LookupFailure::timeout), answered(second, 0.03)}}, Health::ok, 1},
        {"one slow answer among fast ones is not slow",
         {{answered(first, 0.02)}, {answered(first, 0.02)}, {answered(first, 1.5)}}, Health::ok, 0},
        {"a median over a second is slow",
         {{answered(first, 0.02)}, {answered(first, 1.5)}, {answered(first, 1.5)}}, Health::slow, 0},
        {"slow answers older than five minutes are forgotten",
         {{answered(first, 1.5)}, {answered(first, 1.5)}, {answered(first, 1.5)}, {answered(first, 0.02)},
          {answered(first, 0.02)}, {answered(first, 0.02)}, {answered(first, 0.02)}},
         Health::ok, 0},
        {"a server no longer named is forgotten",
         {{failed(first, LookupFailure::timeout), failed(second, LookupFailure::timeout)}, {answered(second, 0.02)}},
         Health::ok, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LookupTally tally;
        double time = 0;
        for (const auto& round : c.rounds) {
            tally.record(time, round);
            time += 60;
        }
        const auto snapshot = tally.snapshot(time - 59);
        EXPECT_EQ(snapshot.health, c.health);
        if (!snapshot.servers.empty()) {
            EXPECT_EQ(snapshot.servers.front().failuresLastMinute, c.failuresLastMinute);
        }
    }
}

TEST(LookupTally, NamesTheFailingServerAndCountsOnlyTheLastMinute) {
    LookupTally tally;
    tally.record(0, {answered(first, 0.01), failed(second, LookupFailure::timeout)});
    tally.record(30, {failed(first, LookupFailure::nxdomain), failed(second, LookupFailure::timeout)});
    const auto snapshot = tally.snapshot(70);
    ASSERT_EQ(snapshot.health, LookupSnapshot::Health::failing);
    EXPECT_EQ(snapshot.namedServer()->server, first);
    EXPECT_EQ(snapshot.namedServer()->latestFailure, LookupFailure::nxdomain);
    EXPECT_EQ(snapshot.servers[1].failuresLastMinute, 1);  // the one at 0 is past the minute
    EXPECT_EQ(snapshot.servers[0].medianSeconds, 0.01);
}

}  // namespace
}  // namespace nerivane
