// The tray front end in the desktop module (the item, or its window where no
// tray host runs): the update checker and the tray item's controller, made in that order and gone in the reverse. Owned by the
// application delegate through TrayFrontEnd; main thread.
#pragma once

#include <functional>

#include "nerivane/app/TrayFrontEnd.h"
#include "nerivane/ui/menubar/StatusItemController.h"
#include "nerivane/updates/Updater.h"

namespace nerivane {

class TrayItemFrontEnd : public TrayFrontEnd {
public:
    TrayItemFrontEnd(AppModel& model, Preferences& preferences, std::function<void()> quit, bool inWindow);

    void hide() override;
    void activate() override;

private:
    Updater updater_;
    StatusItemController statusItem_;
};

}  // namespace nerivane
