// The program's delegate: creates the long-lived objects in their fixed
// order, starts monitoring once launching has finished and shows the chosen
// front end (the tray item, or the terminal readout), and at termination (the
// menu's quit, SIGTERM, SIGINT, SIGHUP, a closed output or --exit-after)
// stops the monitor and writes the history before the process ends. One per
// process; main thread.
#pragma once

#include <QObject>
#include <memory>

#include "nerivane/app/CommandLine.h"
#include "nerivane/app/ConsoleReadout.h"
#include "nerivane/app/Desktop.h"
#include "nerivane/app/MetricsModule.h"
#include "nerivane/app/SingleInstance.h"
#include "nerivane/app/TerminationSignals.h"
#include "nerivane/app/TrayFrontEnd.h"
#include "nerivane/core/AppModel.h"
#include "nerivane/core/Preferences.h"

namespace nerivane {

class DevChecks;

class AppDelegate : public QObject {
    Q_OBJECT

public:
    // window: the tray item's popup in a window, where no tray host runs.
    enum class FrontEnd { tray, window, console };
    // What a second launch is told (SingleInstance::Activate).
    static QString name(FrontEnd frontEnd);

    // instance: the session-bus name this run owns, if any;
    // desktop: the desktop layer where it made the application object (the
    // tray needs it, the terminal readout draws its picture with it).
    AppDelegate(CommandLine options, FrontEnd frontEnd, std::unique_ptr<SingleInstance> instance = nullptr,
                Desktop* desktop = nullptr, QObject* parent = nullptr);
    ~AppDelegate() override;

    // Created on first use from the preferences.
    AppModel& model();

    void applicationDidFinishLaunching();
    void applicationWillTerminate();

    // The one way to end: the event loop returns and main calls applicationWillTerminate.
    static void quit();

    Preferences& preferences() { return preferences_; }

private:
    void handleTerminationSignal(int signal);
    void handleActivationRequested();
    // (Re)starts the endpoint of the stored setting; one it cannot serve is logged, not fatal.
    void serveStoredMetrics();

    CommandLine options_;
    FrontEnd frontEnd_;
    Desktop* desktop_;
    Preferences preferences_;
    std::unique_ptr<SingleInstance> instance_;
    std::unique_ptr<TerminationSignals> terminationSource_;
    std::unique_ptr<AppModel> model_;
    std::unique_ptr<ConsoleReadout> readout_;
    MetricsModule metricsModule_;
    std::unique_ptr<MetricsEndpoint> metrics_;
    std::unique_ptr<QObject> readoutPicture_;
    std::unique_ptr<TrayFrontEnd> tray_;
    // Present while NERIVANE_DEV_LOG names a file.
    std::unique_ptr<DevChecks> devChecks_;
    bool terminated_ = false;
};

}  // namespace nerivane
