#include "NerivaneKit/analysis/VerdictFilter.h"

namespace nerivane {
namespace {

bool isDown(Verdict verdict) {
    return verdict == Verdict::internetDown || verdict == Verdict::localDown || verdict == Verdict::connectionDown;
}

}  // namespace

Verdict VerdictFilter::apply(Verdict verdict, MonitorTime now, bool urgent) {
    // Once something has been shown, a momentary return to measuring does not replace it.
    if (verdict == Verdict::measuring) {
        pending.reset();
        return shown;
    }
    if (verdict == shown) {
        pending.reset();
        shownUrgent = urgent;
        return shown;
    }
    // Failing lookups hold themselves (two failed rounds a few seconds apart)
    // and clear on the first answer: a second hold here would only delay them.
    const auto quiet = [](Verdict other) { return other == Verdict::good || other == Verdict::lookupsSlow; };
    const bool lookups = (quiet(shown) && verdict == Verdict::lookupsFailing) ||
                         (shown == Verdict::lookupsFailing && quiet(verdict));
    const bool immediate = shown == Verdict::measuring || shown == Verdict::offline || verdict == Verdict::offline ||
                           isDown(verdict) || isDown(shown) || urgent || shownUrgent || lookups;
    if (!immediate) {
        if (!pending || pending->verdict != verdict) {
            pending = Pending{verdict, now};
            return shown;
        }
        if (now - pending->since < holdSeconds) return shown;
    }
    shown = verdict;
    shownUrgent = urgent;
    pending.reset();
    return shown;
}

}  // namespace nerivane
