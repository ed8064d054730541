#include <gtest/gtest.h>

#include <vector>

#include "Printers.h"
#include "NerivaneKit/analysis/ProblemSummary.h"
#include "NerivaneKit/analysis/Verdict.h"
#include "NerivaneKit/analysis/VerdictFilter.h"

namespace nerivane {
namespace {

using S = TargetState;
using V = Verdict;

TEST(Verdict, TextsRoundTrip) {
    for (int i = 0; i <= static_cast<int>(V::offline); ++i) {
        const auto verdict = static_cast<V>(i);
        EXPECT_EQ(parseVerdict(text(verdict)), verdict);
    }
    EXPECT_EQ(text(V::internetUnmeasured), "internetUnmeasured");
    EXPECT_EQ(parseVerdict("internet_problem"), std::nullopt);
    EXPECT_EQ(parseVerdict(""), std::nullopt);
}

TEST(VerdictDecide, FullTable) {
    const auto bad = S::bad(Problems::latency());
    const std::optional<S> none;
    struct Row {
        bool satisfied;
        std::optional<S> internet;
        std::optional<S> router;
        V expected;
    };
    const std::vector<Row> rows{
        {false, S::ok(), S::ok(), V::offline},
        {false, none, none, V::offline},
        {true, none, S::ok(), V::internetUnmeasured},
        {true, S::measuring(), S::down(), V::measuring},
        {true, S::ok(), S::down(), V::good},
        {true, S::ok(), bad, V::good},  // a poor router with healthy hosts is still good
        {true, S::ok(), none, V::good},
        {true, S::down(), none, V::connectionDown},
        {true, bad, none, V::connectionProblem},
        {true, bad, bad, V::localProblem},
        {true, S::down(), bad, V::localProblem},
        {true, bad, S::measuring(), V::measuring},
        {true, S::down(), S::measuring(), V::measuring},
        {true, bad, S::ok(), V::internetProblem},
        {true, S::down(), S::ok(), V::internetDown},
        {true, bad, S::down(), V::localProblem},
        {true, S::down(), S::down(), V::localDown},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(decideVerdict(row.satisfied, row.router, row.internet), row.expected)
            << "expected " << text(row.expected);
    }
}

TEST(VerdictFilter, ChangesMustHoldTenSecondsInEitherDirection) {
    VerdictFilter filter;
    EXPECT_EQ(filter.apply(V::good, 0), V::good);  // first verdict after measuring: at once

    EXPECT_EQ(filter.apply(V::internetProblem, 100), V::good);
    EXPECT_EQ(filter.apply(V::internetProblem, 105), V::good);
    EXPECT_EQ(filter.apply(V::internetProblem, 109.9), V::good);
    EXPECT_EQ(filter.apply(V::internetProblem, 110), V::internetProblem);
    EXPECT_EQ(filter.pending, std::nullopt);

    // Getting better waits just as long.
    EXPECT_EQ(filter.apply(V::good, 200), V::internetProblem);
    EXPECT_EQ(filter.apply(V::good, 209.9), V::internetProblem);
    EXPECT_EQ(filter.apply(V::good, 210), V::good);
}

TEST(VerdictFilter, InterruptionsRestartTheHold) {
    VerdictFilter filter;
    filter.apply(V::good, 0);
    filter.apply(V::internetProblem, 10);
    filter.apply(V::good, 14);  // back to shown clears pending
    filter.apply(V::internetProblem, 15);
    EXPECT_EQ(filter.apply(V::internetProblem, 24.9), V::good);
    EXPECT_EQ(filter.apply(V::internetProblem, 25), V::internetProblem);

    // Two new values alternating faster than the hold never show.
    for (int t = 100; t < 200; t += 5)
        EXPECT_EQ(filter.apply(t % 10 == 0 ? V::localProblem : V::connectionProblem, t), V::internetProblem);

    // A different pending verdict restarts the clock.
    filter.apply(V::localProblem, 300);
    filter.apply(V::localDown, 308);
    EXPECT_EQ(filter.apply(V::localDown, 317), V::internetProblem);
    EXPECT_EQ(filter.apply(V::localDown, 318), V::localDown);
}

TEST(VerdictFilter, MeasuringNeverReplacesAndOfflineSwitchesAtOnce) {
    VerdictFilter filter;
    EXPECT_EQ(filter.apply(V::measuring, 0), V::measuring);
    EXPECT_EQ(filter.apply(V::internetDown, 1), V::internetDown);

    filter.apply(V::good, 2);
    EXPECT_EQ(filter.apply(V::measuring, 5), V::internetDown);  // measuring clears pending...
    EXPECT_EQ(filter.apply(V::good, 11), V::internetDown);      // ...so the hold restarts at 11
    EXPECT_EQ(filter.apply(V::good, 20.9), V::internetDown);
    EXPECT_EQ(filter.apply(V::good, 21), V::good);

    EXPECT_EQ(filter.apply(V::offline, 30), V::offline);
    EXPECT_EQ(filter.apply(V::good, 31), V::good);
    EXPECT_EQ(filter.apply(V::offline, 32), V::offline);
    EXPECT_EQ(filter.apply(V::localProblem, 33), V::localProblem);  // from offline: at once
}

TargetSnapshot target(std::string host, TargetState state, Metrics metrics = {}) {
    TargetSnapshot snapshot;
    snapshot.target.host = std::move(host);
    snapshot.state = state;
    snapshot.metrics = metrics;
    return snapshot;
}

Metrics figures(int sent, int lost, std::optional<double> p95, std::optional<double> jitter) {
    Metrics metrics;
    metrics.sent = sent;
    metrics.lost = lost;
    metrics.p95 = p95;
    metrics.jitter = jitter;
    return metrics;
}

TEST(ProblemSummary, LossBeforeLatencyBeforeJitter) {
    EXPECT_EQ(ProblemSummary::of({}), std::nullopt);
    const std::vector<TargetSnapshot> fine{target("a", S::ok()), target("b", S::down()), target("c", S::measuring())};
    EXPECT_EQ(ProblemSummary::of(fine), std::nullopt);

    const std::vector<TargetSnapshot> mixed{
        target("a", S::bad(Problems::jitter()), figures(20, 0, 20, 40)),
        target("b", S::bad(Problems::loss() | Problems::latency()), figures(20, 5, 300, 1)),
        target("c", S::down(), figures(20, 20, std::nullopt, std::nullopt)),
    };
    EXPECT_EQ(ProblemSummary::of(mixed), (ProblemSummary{ProblemSummary::Kind::loss, 25, {"b"}}));

    const std::vector<TargetSnapshot> latency{
        target("a", S::bad(Problems::latency()), figures(20, 0, 180, 1)),
        target("b", S::bad(Problems::latency() | Problems::jitter()), figures(20, 0, 240, 50)),
    };
    EXPECT_EQ(ProblemSummary::of(latency), (ProblemSummary{ProblemSummary::Kind::latency, 240, {"a", "b"}}));

    const std::vector<TargetSnapshot> jitter{
        target("a", S::bad(Problems::jitter()), figures(20, 0, 10, 35)),
        target("b", S::bad(Problems::jitter()), figures(20, 0, 10, std::nullopt)),
    };
    EXPECT_EQ(ProblemSummary::of(jitter), (ProblemSummary{ProblemSummary::Kind::jitter, 35, {"a", "b"}}));
}

TEST(ProblemSummary, MissingFiguresGiveZero) {
    const std::vector<TargetSnapshot> targets{
        target("a", S::bad(Problems::loss()), figures(0, 0, std::nullopt, std::nullopt)),
        target("b", S::bad(Problems::latency()), figures(10, 0, std::nullopt, std::nullopt)),
    };
    EXPECT_EQ(ProblemSummary::of(targets), (ProblemSummary{ProblemSummary::Kind::loss, 0, {"a"}}));
    const std::vector<TargetSnapshot> latency{targets[1]};
    EXPECT_EQ(ProblemSummary::of(latency), (ProblemSummary{ProblemSummary::Kind::latency, 0, {"b"}}));
}

}  // namespace
}  // namespace nerivane
