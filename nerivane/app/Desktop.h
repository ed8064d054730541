// What the program asks of the desktop layer (widgets, the tray item, X), which
// lives in a module of its own (nerivane-desktop.so, built from
// nerivane/modules/desktop/) so that the terminal readout and the metrics service
// never load Qt Gui, Widgets or the X libraries. DesktopModule loads it only
// when a window could be shown or a picture is asked for. One per process,
// kept until the end; main thread.
#pragma once

#include <QCoreApplication>
#include <QObject>
#include <functional>
#include <memory>
#include <string>

#include "nerivane/app/TrayFrontEnd.h"

namespace nerivane {

class AppModel;
class Preferences;

class Desktop {
public:
    virtual ~Desktop() = default;

    // Whether the X display of that name accepts a connection. Asked before
    // Qt, which ends the process when its display does not answer.
    virtual bool displayAnswers(const std::string& display) = 0;
    // The tray's widgets application: no window, nothing in the taskbar, and
    // closing the popup or a dialog does not end it. argc outlives it.
    virtual std::unique_ptr<QCoreApplication> makeTrayApplication(int& argc, char** argv) = 0;
    // Waits a moment for a tray host; false when none appeared (the window
    // front end then moves to one that appears later).
    virtual bool waitForTray() = 0;
    // A GUI application for the readout's picture, which needs fonts and a
    // painter, not a display (the caller chooses the offscreen platform).
    virtual std::unique_ptr<QCoreApplication> makePictureApplication(int& argc, char** argv) = 0;

    // The tray item over the model, its first-run popup and the update
    // checker; quit is the program's one way to end. inWindow: no tray host
    // runs, so the popup's content shows in a window until one appears.
    virtual std::unique_ptr<TrayFrontEnd> makeTray(AppModel& model, Preferences& preferences,
                                                   std::function<void()> quit, bool inWindow) = 0;
    // A desktop launch found a terminal instance (--console) running: says
    // so in a message window and returns once it is closed.
    virtual void tellTerminalInstanceRuns() = 0;
    // The terminal front end's picture (NERIVANE_SNAPSHOT), rewritten while
    // the object lives whenever what it shows changes; none when not asked for.
    virtual std::unique_ptr<QObject> makeReadoutPicture(AppModel& model, Preferences& preferences) = 0;
};

}  // namespace nerivane
