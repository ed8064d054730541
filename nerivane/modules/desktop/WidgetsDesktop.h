// The desktop layer behind Desktop, in the module nerivane-desktop.so: the
// widgets application, the tray item and the readout's picture. Made by the
// module's entry point; main thread.
#pragma once

#include "nerivane/app/Desktop.h"

namespace nerivane {

class WidgetsDesktop : public Desktop {
public:
    bool displayAnswers(const std::string& display) override;
    std::unique_ptr<QCoreApplication> makeTrayApplication(int& argc, char** argv) override;
    bool waitForTray() override;
    std::unique_ptr<QCoreApplication> makePictureApplication(int& argc, char** argv) override;
    std::unique_ptr<TrayFrontEnd> makeTray(AppModel& model, Preferences& preferences,
                                           std::function<void()> quit, bool inWindow) override;
    void tellTerminalInstanceRuns() override;
    std::unique_ptr<QObject> makeReadoutPicture(AppModel& model, Preferences& preferences) override;
};

}  // namespace nerivane
