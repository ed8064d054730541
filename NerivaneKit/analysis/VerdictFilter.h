// Holds the shown verdict steady: a change between two real verdicts must be
// seen without interruption for 10 seconds before it is shown, so a verdict
// that flickers does not reach the menu bar or notifications. Owned by the
// monitor core, on the probe queue; times are monitor time.
//
// Some changes are shown at once, because they rest on a hold of their own or
// on no reply at all, and a held headline would contradict the cards:
//   - going offline, coming back from offline, the first verdict after measuring;
//   - to or from a down verdict (internet, local or connection down): the
//     outage rule has waited already, and its end is a reply;
//   - failing name lookups coming and going over good (or slow lookups): they
//     hold themselves (two failed rounds) and clear on the first answer;
//   - a verdict the core marks urgent (every internet host silent, or the
//     trouble gone with the outage or spike that held it), and leaving a
//     verdict that was shown for that reason.
#pragma once

#include <optional>

#include "NerivaneKit/analysis/Verdict.h"
#include "NerivaneKit/platform/Clocks.h"

namespace nerivane {

struct VerdictFilter {
    struct Pending {
        Verdict verdict = Verdict::measuring;
        MonitorTime since;
        bool operator==(const Pending&) const = default;
    };

    static constexpr Seconds holdSeconds{10};

    Verdict shown = Verdict::measuring;
    // A different verdict waiting to be shown, and since when it has been seen.
    std::optional<Pending> pending;
    // The shown verdict was urgent when last seen: it goes as soon as its reason does.
    bool shownUrgent = false;

    bool operator==(const VerdictFilter&) const = default;

    // Feeds the raw verdict seen at now; returns the verdict to show.
    Verdict apply(Verdict verdict, MonitorTime now, bool urgent = false);
};

}  // namespace nerivane
