#include "nerivane/modules/desktop/WidgetsDesktop.h"

#include <xcb/xcb.h>

#include <QApplication>
#include <QDeadlineTimer>
#include <QMessageBox>
#include <QSystemTrayIcon>
#include <QThread>

#include "NerivaneKit/platform/ApplicationId.h"
#include "nerivane/app/DesktopModule.h"
#include "nerivane/modules/desktop/ReadoutPicture.h"
#include "nerivane/modules/desktop/TrayItemFrontEnd.h"
#include "nerivane/ui/menubar/MenuBarSnapshot.h"

namespace nerivane {
namespace {

// How long a tray host may take to appear after the session starts; one
// that comes later still gets the item, from the window shown meanwhile.
constexpr int trayWaitMilliseconds = 2000;

// The desktop entry's name: Wayland's app id, the notifications' desktop-entry
// hint and the portals all name the program by it.
void setDesktopFileName() {
    QGuiApplication::setDesktopFileName(
        QString::fromLatin1(applicationId.data(), static_cast<qsizetype>(applicationId.size())));
}

}  // namespace

bool WidgetsDesktop::displayAnswers(const std::string& display) {
    xcb_connection_t* connection = xcb_connect(display.c_str(), nullptr);
    const bool failed = xcb_connection_has_error(connection) != 0;
    xcb_disconnect(connection);
    return !failed;
}

std::unique_ptr<QCoreApplication> WidgetsDesktop::makeTrayApplication(int& argc, char** argv) {
    auto application = std::make_unique<QApplication>(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    setDesktopFileName();
    return application;
}

bool WidgetsDesktop::waitForTray() {
    QDeadlineTimer deadline(trayWaitMilliseconds);
    while (!QSystemTrayIcon::isSystemTrayAvailable()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
        QThread::msleep(100);
    }
    return true;
}

std::unique_ptr<QCoreApplication> WidgetsDesktop::makePictureApplication(int& argc, char** argv) {
    auto application = std::make_unique<QGuiApplication>(argc, argv);
    setDesktopFileName();
    return application;
}

std::unique_ptr<TrayFrontEnd> WidgetsDesktop::makeTray(AppModel& model, Preferences& preferences,
                                                       std::function<void()> quit, bool inWindow) {
    return std::make_unique<TrayItemFrontEnd>(model, preferences, std::move(quit), inWindow);
}

void WidgetsDesktop::tellTerminalInstanceRuns() {
    QMessageBox box(QMessageBox::Information, QStringLiteral("nerivane"),
                    QObject::tr("nerivane is already running in a terminal (started with --console), so this launch "
                                "does not start a second monitor."),
                    QMessageBox::Ok);
    box.setInformativeText(QObject::tr("Quit it in its terminal (Ctrl+C), then start nerivane again for the "
                                       "panel item or its window."));
    box.exec();
}

std::unique_ptr<QObject> WidgetsDesktop::makeReadoutPicture(AppModel& model, Preferences& preferences) {
    // It needs a GUI application: not so where the display did not answer and no picture was asked for.
    const auto path = MenuBarSnapshot::pathFromEnvironment();
    if (!path || qGuiApp == nullptr) return nullptr;
    return std::make_unique<ReadoutPicture>(model, preferences, *path);
}

}  // namespace nerivane

// The module's one entry point (DesktopModule::entryPoint), found by name.
extern "C" __attribute__((visibility("default"))) std::unique_ptr<nerivane::Desktop> nerivane_make_desktop() {
    return std::make_unique<nerivane::WidgetsDesktop>();
}
