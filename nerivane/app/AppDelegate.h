// The program's delegate: creates the long-lived objects in their fixed
// order, starts monitoring once launching has finished, and at termination
// (a quit, SIGTERM, SIGINT or --exit-after) stops the monitor and writes the
// history before the process ends. One per process; main thread.
#pragma once

#include <QObject>
#include <memory>

#include "nerivane/app/CommandLine.h"
#include "nerivane/app/ConsoleReadout.h"
#include "nerivane/app/TerminationSignals.h"
#include "nerivane/core/AppModel.h"
#include "nerivane/core/Preferences.h"
#include "nerivane/metrics/MetricsExporter.h"

namespace nerivane {

class AppDelegate : public QObject {
    Q_OBJECT

public:
    explicit AppDelegate(CommandLine options, QObject* parent = nullptr);
    ~AppDelegate() override;

    // Created on first use from the preferences.
    AppModel& model();

    void applicationDidFinishLaunching();
    void applicationWillTerminate();

private:
    void handleTerminationSignal(int signal);

    CommandLine options_;
    Preferences preferences_;
    std::unique_ptr<TerminationSignals> terminationSource_;
    std::unique_ptr<AppModel> model_;
    std::unique_ptr<ConsoleReadout> readout_;
    std::unique_ptr<MetricsExporter> metrics_;
    bool terminated_ = false;
};

}  // namespace nerivane
