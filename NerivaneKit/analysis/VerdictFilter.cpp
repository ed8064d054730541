#include "NerivaneKit/analysis/VerdictFilter.h"

namespace nerivane {
namespace {

bool isDown(Verdict verdict) {
    return verdict == Verdict::internetDown || verdict == Verdict::localDown || verdict == Verdict::connectionDown;
}

}  // namespace

Verdict VerdictFilter::apply(Verdict verdict, double now, bool urgent) {
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
    const bool immediate = shown == Verdict::measuring || shown == Verdict::offline || verdict == Verdict::offline ||
                           isDown(verdict) || isDown(shown) || urgent || shownUrgent;
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
