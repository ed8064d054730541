// Fills the popup's places with the real widgets: the history card bound both
// ways to the popup state's range and target, the settings page, and the
// launch-at-login switch of the first-run card. Used by the status item and
// the snapshot renderer; main thread.
#pragma once

#include "nerivane/ui/popover/PopoverView.h"

namespace nerivane {

class AppModel;
class PopoverState;
class Updater;

class PopoverPlaces {
public:
    // The model, the state and the updater must outlive every view built
    // with the result; the settings page shows updates for an enabled updater.
    // now gives the history card's Unix seconds (the wall clock's when empty).
    static PopoverView::Places make(AppModel& model, PopoverState& state, Updater* updater = nullptr,
                                    std::function<double()> now = {});
};

}  // namespace nerivane
