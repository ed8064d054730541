#include <gtest/gtest.h>

#include <vector>

#include "Printers.h"
#include "NerivaneKit/analysis/TargetState.h"

namespace nerivane {
namespace {

Metrics window(int lost, std::optional<double> jitter, std::optional<double> p95) {
    Metrics metrics;
    metrics.sent = 20;
    metrics.lost = lost;
    metrics.jitter = jitter;
    metrics.p95 = p95;
    return metrics;
}

TargetState evaluateAs(TargetRole role, const Metrics& metrics) {
    return TargetState::evaluate(TargetStatus::icmp, false, metrics, Thresholds::forRole(role));
}

TEST(Thresholds, RouterIsTighterThanEveryOtherRole) {
    EXPECT_EQ(Thresholds::forRole(TargetRole::router()), (Thresholds{2, 10, 30}));
    EXPECT_EQ(Thresholds::forRole(TargetRole::internet(0)), (Thresholds{2, 30, 150}));
    EXPECT_EQ(Thresholds::forRole(TargetRole::internetIPv6()), Thresholds::internet());
    EXPECT_EQ(Thresholds::forRole(TargetRole::custom(1)), Thresholds::internet());
}

TEST(TargetStateEvaluate, LossCountsFromTwoLostProbes) {
    EXPECT_EQ(evaluateAs(TargetRole::internet(0), window(1, 1, 20)), TargetState::ok());
    EXPECT_EQ(evaluateAs(TargetRole::internet(0), window(2, 1, 20)), TargetState::bad(Problems::loss()));
}

TEST(TargetStateEvaluate, JitterAndLatencyAreProblemsOnlyStrictlyAboveTheThreshold) {
    const auto router = TargetRole::router();
    EXPECT_EQ(evaluateAs(router, window(0, 10, 30)), TargetState::ok());
    EXPECT_EQ(evaluateAs(router, window(0, 10.1, 30)), TargetState::bad(Problems::jitter()));
    EXPECT_EQ(evaluateAs(router, window(0, 10, 30.1)), TargetState::bad(Problems::latency()));

    const auto host = TargetRole::internet(1);
    EXPECT_EQ(evaluateAs(host, window(0, 30, 150)), TargetState::ok());
    EXPECT_EQ(evaluateAs(host, window(0, 5, 151)), TargetState::bad(Problems::latency()));
    // The router's limits are not applied to an internet host.
    EXPECT_EQ(evaluateAs(host, window(0, 20, 100)), TargetState::ok());

    // Absent figures are no problem.
    EXPECT_EQ(evaluateAs(router, window(0, std::nullopt, std::nullopt)), TargetState::ok());

    EXPECT_EQ(evaluateAs(router, window(3, 11, 31)),
              TargetState::bad(Problems::loss() | Problems::jitter() | Problems::latency()));
}

TEST(TargetStateEvaluate, WarmingUpBeatsOutageBeatsEmptyWindow) {
    const Metrics empty;
    const Metrics lossy = window(10, std::nullopt, std::nullopt);
    const auto thresholds = Thresholds::internet();
    EXPECT_EQ(TargetState::evaluate(TargetStatus::warmingUp, true, lossy, thresholds), TargetState::measuring());
    EXPECT_EQ(TargetState::evaluate(TargetStatus::tcp, true, empty, thresholds), TargetState::down());
    EXPECT_EQ(TargetState::evaluate(TargetStatus::icmp, false, empty, thresholds), TargetState::measuring());
    EXPECT_EQ(TargetState::evaluate(TargetStatus::tcp, false, lossy, thresholds), TargetState::bad(Problems::loss()));
}

TEST(TargetState, EqualityAndProblemPredicate) {
    EXPECT_NE(TargetState::bad(Problems::loss()), TargetState::bad(Problems::jitter()));
    EXPECT_NE(TargetState::bad(Problems{}), TargetState::ok());
    EXPECT_TRUE(TargetState::bad(Problems::loss()).isProblem());
    EXPECT_TRUE(TargetState::down().isProblem());
    EXPECT_FALSE(TargetState::ok().isProblem());
    EXPECT_FALSE(TargetState::measuring().isProblem());
}

TEST(TargetStateCombine, OneGoodHostIsEnough) {
    using S = TargetState;
    auto combine = [](std::vector<S> states) { return S::combine(states); };
    const auto loss = Problems::loss();
    const auto latency = Problems::latency();

    EXPECT_EQ(combine({}), std::nullopt);
    EXPECT_EQ(combine({S::bad(Problems::jitter()), S::ok()}), S::ok());
    EXPECT_EQ(combine({S::down(), S::measuring(), S::ok()}), S::ok());
    EXPECT_EQ(combine({S::down(), S::down()}), S::down());
    EXPECT_EQ(combine({S::down()}), S::down());
    EXPECT_EQ(combine({S::down(), S::measuring()}), S::measuring());
    EXPECT_EQ(combine({S::bad(loss), S::measuring()}), S::measuring());
    EXPECT_EQ(combine({S::down(), S::bad(loss)}), S::bad(loss));
    EXPECT_EQ(combine({S::bad(loss), S::bad(latency), S::down()}), S::bad(loss | latency));
}

}  // namespace
}  // namespace nerivane
