// What the link's load says about the verdict: how the target windows judge
// without the replies of busy seconds, and whether the link is busy now. A
// plain value the monitor core builds for each snapshot on the probe queue.
#pragma once

#include "NerivaneKit/analysis/Verdict.h"

namespace nerivane {

struct LoadEvidence {
    // The verdict of the target windows' replies sent while no direction was busy.
    Verdict idleVerdict = Verdict::measuring;
    // Some replies in the target windows were in flight while a direction was busy.
    bool busyInWindow = false;
    // A direction is busy now, or was a few seconds ago.
    bool busyNow = false;
    // A direction busy now has latency under load graded C or worse.
    bool bloatedNow = false;

    bool operator==(const LoadEvidence&) const = default;
};

}  // namespace nerivane
