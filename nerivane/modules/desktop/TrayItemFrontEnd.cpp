#include "nerivane/modules/desktop/TrayItemFrontEnd.h"

namespace nerivane {

TrayItemFrontEnd::TrayItemFrontEnd(AppModel& model, Preferences& preferences, std::function<void()> quit,
                                   bool inWindow)
    : updater_(preferences, Updater::Options::fromBuild()), statusItem_(model, preferences, std::move(quit)) {
    statusItem_.setUpdater(&updater_);
    if (inWindow) statusItem_.useWindow();
    statusItem_.showFirstRunIfNeeded();
}

void TrayItemFrontEnd::hide() {
    statusItem_.hide();
}

void TrayItemFrontEnd::activate() {
    // The window is raised; a popup already open stays so.
    if (!statusItem_.isPopoverShown()) statusItem_.openPopover();
}

}  // namespace nerivane
