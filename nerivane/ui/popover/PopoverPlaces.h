// Fills the popup's places with the real widgets: the history card bound both
// ways to the popup state's range and target, the settings page, and the
// launch-at-login switch of the first-run card. Used by the status item and
// the snapshot renderer; main thread.
#pragma once

#include "nerivane/ui/popover/PopoverView.h"

namespace nerivane {

class AppModel;
class PopoverState;

class PopoverPlaces {
public:
    // The model and the state must outlive every view built with the result.
    static PopoverView::Places make(AppModel& model, PopoverState& state);
};

}  // namespace nerivane
