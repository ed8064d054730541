// The menu-bar readout as data: the wide layout in characters and as a
// label for every style and target, and the compact readout's digits, traces,
// router state and mark, from one snapshot with its variations.
#include <gtest/gtest.h>

#include "nerivane/core/CompactReadout.h"
#include "nerivane/core/MenuBarLayout.h"

namespace nerivane {
namespace {

using D = DisplayStyle;
using M = MenuBarTarget;
using Values = std::vector<std::optional<double>>;

TargetSnapshot target(TargetRole role, double latest, TargetStatus status, TargetState state) {
    TargetSnapshot snapshot;
    snapshot.target = {role, "host", ProbeAddress::v4({192, 0, 2, 1})};
    snapshot.status = status;
    snapshot.state = state;
    snapshot.metrics.latest = latest;
    return snapshot;
}

// The internet at internet ms over ping (or TCP), the router at 0.42 ms in routerState.
MonitorSnapshot reading(double internet, Verdict verdict = Verdict::good, TargetStatus status = TargetStatus::icmp,
                        TargetState routerState = TargetState::ok()) {
    MonitorSnapshot snapshot;
    snapshot.verdict = verdict;
    snapshot.targets = {target(TargetRole::internet(0), internet, status, TargetState::ok()),
                        target(TargetRole::router(), 0.42, TargetStatus::icmp, routerState)};
    return snapshot;
}

TEST(MenuBarLayout, TextAndLabelForEveryStyleAndTarget) {
    const Values internet{5.0, std::nullopt, 20.0}, router{0.5, 4.0};
    const struct {
        MonitorSnapshot snapshot;
        D style;
        M target;
        bool paused;
        const char* text;
        const char* label;
    } cases[] = {
        {reading(12.4), D::text, M::internet, false, "RTT  12ms", "12ms"},
        {reading(12.4, Verdict::good, TargetStatus::tcp), D::text, M::internet, false, "TCP  12ms", "12ms"},
        {reading(1234, Verdict::internetProblem), D::text, M::internet, false, "RTT  1.2s !", "1.2s !"},
        {reading(12.4), D::text, M::internet, true, "RTT  12ms \u2016", "12ms \u2016"},
        // A target down shows the dash, unpadded.
        {reading(12.4, Verdict::localDown, TargetStatus::icmp, TargetState::down()), D::text, M::router, false,
         "RTT \u2014 \u00d7", "\u2014 \u00d7"},
        {reading(12.4), D::textAndTrace, M::internet, false, "\u2583\u00b7\u2588 RTT  12ms", "12ms"},
        // Over its floor of 2 ms the router's 4 ms is the top; 0.5 is an eighth.
        {reading(12.4), D::trace, M::router, false, "\u2582\u2588", ""},
        {reading(12.4, Verdict::internetProblem), D::text, M::both, false, "R 0.4ms I  12ms !", "R 0.4ms \u00b7 I 12ms !"},
        {reading(12.4), D::textAndTrace, M::both, false, "R \u2582\u2588 I \u2583\u00b7\u2588 R 0.4ms I  12ms",
         "R 0.4ms \u00b7 I 12ms"},
    };
    for (const auto& c : cases) {
        const auto layout = MenuBarLayout::make(c.snapshot, internet, router, c.style, c.target, c.paused);
        EXPECT_EQ(layout.text(), c.text) << "case " << (&c - cases);
        EXPECT_EQ(layout.label(), c.label) << "case " << (&c - cases);
    }
}

TEST(CompactReadout, DigitsWithoutMillisecondsTracesRouterStateAndMark) {
    using R = CompactReadout::Router;
    using Mark = MenuBarLayout::Mark;
    const Values internet{5.0, 20.0}, router{1.0};
    const struct {
        MonitorSnapshot snapshot;
        D style;
        M target;
        bool paused;
        const char* digits;
        const char* routerDigits;
        R router;
        Mark mark;
    } cases[] = {
        {reading(12.4), D::textAndTrace, M::internet, false, "12", "", R::none, Mark::none},
        {reading(3.44, Verdict::internetProblem), D::text, M::internet, false, "3.4", "", R::none, Mark::problem},
        {reading(1234), D::text, M::internet, true, "1.2s", "", R::none, Mark::paused},
        {reading(12.4), D::text, M::router, false, "0.4", "", R::none, Mark::none},
        {reading(12.4), D::text, M::both, false, "12", "0.4", R::ok, Mark::none},
        {reading(12.4, Verdict::localProblem, TargetStatus::icmp, TargetState::bad(Problems::loss())), D::trace, M::both,
         false, "", "", R::problem, Mark::problem},
        {reading(12.4, Verdict::localDown, TargetStatus::icmp, TargetState::down()), D::text, M::both, false, "12",
         "\u2014", R::down, Mark::down},
    };
    for (const auto& c : cases) {
        const auto readout = CompactReadout::make(c.snapshot, internet, router, c.style, c.target, c.paused);
        const auto at = testing::Message() << "case " << (&c - cases);
        EXPECT_EQ(readout.digits, c.digits) << at;
        EXPECT_EQ(readout.routerDigits, c.routerDigits) << at;
        EXPECT_EQ(readout.router, c.router) << at;
        EXPECT_EQ(readout.mark, c.mark) << at;
        EXPECT_EQ(readout.dimmed, c.paused) << at;
        // Scaled with the shown target's floor: 2 ms for a router, 10 for the internet.
        const bool traced = c.style != D::text, ofRouter = c.target == M::router;
        const auto levels = MenuBarLayout::levels(ofRouter ? router : internet, ofRouter ? 2 : 10);
        EXPECT_EQ(readout.trace, traced ? levels : MenuBarLayout::Levels{}) << at;
        EXPECT_EQ(readout.routerTrace.empty(), !traced || c.target != M::both) << at;
    }
}

}  // namespace
}  // namespace nerivane
