// Holds the shown verdict steady: a change between two real verdicts must be
// seen without interruption for 10 seconds before it is shown, so a verdict
// that flickers does not reach the menu bar or notifications. Going offline,
// coming back from offline, the first verdict after measuring, and failing
// name lookups coming and going over good (or slow lookups) switch at once. Owned by the monitor core, on the probe queue; times are monitor seconds.
#pragma once

#include <optional>

#include "NerivaneKit/analysis/Verdict.h"

namespace nerivane {

struct VerdictFilter {
    struct Pending {
        Verdict verdict = Verdict::measuring;
        double since = 0;
        bool operator==(const Pending&) const = default;
    };

    static constexpr double holdSeconds = 10;

    Verdict shown = Verdict::measuring;
    // A different verdict waiting to be shown, and since when it has been seen.
    std::optional<Pending> pending;

    bool operator==(const VerdictFilter&) const = default;

    // Feeds the raw verdict seen at now; returns the verdict to show.
    Verdict apply(Verdict verdict, double now);
};

}  // namespace nerivane
