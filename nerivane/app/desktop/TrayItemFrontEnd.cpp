#include "nerivane/app/desktop/TrayItemFrontEnd.h"

namespace nerivane {

TrayItemFrontEnd::TrayItemFrontEnd(AppModel& model, Preferences& preferences, std::function<void()> quit)
    : updater_(preferences, Updater::Options::fromBuild()), statusItem_(model, preferences, std::move(quit)) {
    statusItem_.setUpdater(&updater_);
    statusItem_.showFirstRunIfNeeded();
}

void TrayItemFrontEnd::hide() {
    statusItem_.hide();
}

void TrayItemFrontEnd::activate() {
    if (!statusItem_.isPopoverShown()) statusItem_.openPopover();
}

}  // namespace nerivane
