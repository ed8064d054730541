#include "NerivaneKit/analysis/VerdictFilter.h"

namespace nerivane {

Verdict VerdictFilter::apply(Verdict verdict, double now) {
    // Once something has been shown, a momentary return to measuring does not replace it.
    if (verdict == Verdict::measuring || verdict == shown) {
        pending.reset();
        return shown;
    }
    const bool immediate = shown == Verdict::measuring || shown == Verdict::offline || verdict == Verdict::offline;
    if (!immediate) {
        if (!pending || pending->verdict != verdict) {
            pending = Pending{verdict, now};
            return shown;
        }
        if (now - pending->since < holdSeconds) return shown;
    }
    shown = verdict;
    pending.reset();
    return shown;
}

}  // namespace nerivane
