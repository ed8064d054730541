// The terminal front end's picture (NERIVANE_SNAPSHOT): the wide readout
// written again whenever the model, the display style or the shown target
// changes. Made by the desktop module, owned by the application delegate;
// main thread.
#pragma once

#include <QObject>

#include "nerivane/core/AppModel.h"
#include "nerivane/core/Preferences.h"
#include "nerivane/ui/menubar/MenuBarSnapshot.h"

namespace nerivane {

class ReadoutPicture : public QObject {
public:
    ReadoutPicture(AppModel& model, Preferences& preferences, QString path);

private:
    void write();

    AppModel& model_;
    MenuBarSnapshot snapshot_;
};

}  // namespace nerivane
