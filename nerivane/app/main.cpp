// nerivane: the network-quality monitor. Parses the command line, chooses
// the front end (the tray item where a display and a tray host are, else the
// terminal readout, saying why), keeps to one tray instance per session, then
// runs the application delegate on Qt's event loop until the one quit path
// (the menu's quit, SIGTERM, SIGINT, SIGHUP, a closed output, --exit-after)
// and shuts monitoring and history down before returning.

#include <xcb/xcb.h>

#include <QApplication>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDeadlineTimer>
#include <QGuiApplication>
#include <QSystemTrayIcon>
#include <QThread>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "NerivaneKit/platform/ApplicationId.h"
#include "NerivaneKit/platform/LogStore.h"
#include "nerivane/app/AppDelegate.h"
#include "nerivane/app/CommandLine.h"
#include "nerivane/app/SingleInstance.h"
#include "nerivane/app/TerminationSignals.h"
#include "nerivane/export/DiagnosticsClient.h"

namespace {

// How long a tray host may take to appear after the session starts.
constexpr int trayWaitMilliseconds = 5000;

std::string variable(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

// Why no window can be shown here; none when a display answers. Checked
// before Qt, which ends the process when its display does not answer.
std::optional<std::string> displayMissing() {
    const std::string platform = variable("QT_QPA_PLATFORM");
    if (platform == "offscreen" || platform == "minimal") return "the " + platform + " platform has no system tray";
    if (!variable("WAYLAND_DISPLAY").empty()) return std::nullopt;
    const std::string display = variable("DISPLAY");
    if (display.empty()) return std::string("no display (DISPLAY and WAYLAND_DISPLAY are unset)");
    xcb_connection_t* connection = xcb_connect(display.c_str(), nullptr);
    const bool failed = xcb_connection_has_error(connection) != 0;
    xcb_disconnect(connection);
    if (failed) return "the display " + display + " does not answer";
    return std::nullopt;
}

void setIdentity() {
    QCoreApplication::setApplicationName(QStringLiteral("nerivane"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("nerivane.org"));
    QCoreApplication::setApplicationVersion(QStringLiteral(NERIVANE_VERSION));
    // The desktop entry's name: Wayland's app id, the notifications' desktop-entry
    // hint and the portals all name the program by it.
    QGuiApplication::setDesktopFileName(
        QString::fromLatin1(nerivane::applicationId.data(), static_cast<qsizetype>(nerivane::applicationId.size())));
}

bool waitForTray() {
    QDeadlineTimer deadline(trayWaitMilliseconds);
    while (!QSystemTrayIcon::isSystemTrayAvailable()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
        QThread::msleep(100);
    }
    return true;
}

void sayWhy(const std::string& reason) {
    std::fprintf(stderr, "nerivane: %s; the readout goes to this terminal\n", reason.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    // Before any thread exists, so that every thread inherits the mask.
    nerivane::TerminationSignals::blockInThisThread();

    const std::vector<std::string> arguments(argv + 1, argv + argc);
    const auto parsed = nerivane::CommandLine::parse(arguments);
    if (const auto* error = std::get_if<std::string>(&parsed)) {
        std::fprintf(stderr, "nerivane: %s\nTry \"nerivane --help\".\n", error->c_str());
        return 2;
    }
    const auto& options = std::get<nerivane::CommandLine>(parsed);
    if (options.help) {
        std::fputs(nerivane::CommandLine::usage().c_str(), stdout);
        return 0;
    }
    if (options.version) {
        std::printf("nerivane %s\n", NERIVANE_VERSION);
        return 0;
    }
    if (options.diagnostics) {
        // Before anything that probes: this process only asks and reads.
        QCoreApplication core(argc, argv);
        setIdentity();
        return nerivane::DiagnosticsClient::run(std::cout);
    }
    if (options.log) nerivane::LogStore::shared().setStderrOutput(nerivane::LogStore::StderrOutput::always);

    using FrontEnd = nerivane::AppDelegate::FrontEnd;
    const bool snapshot = !variable("NERIVANE_SNAPSHOT").empty();
    std::optional<std::string> consoleReason;
    if (options.console) consoleReason = options.json ? "--json given" : "--console given";
    if (!consoleReason) consoleReason = displayMissing();

    std::unique_ptr<QCoreApplication> application;
    std::unique_ptr<nerivane::SingleInstance> instance;
    if (!consoleReason) {
        auto widgets = std::make_unique<QApplication>(argc, argv);
        // A tray application: no window, nothing in the taskbar, and closing
        // the popup or a dialog does not end it.
        QApplication::setQuitOnLastWindowClosed(false);
        application = std::move(widgets);
        setIdentity();
        if (!waitForTray()) {
            consoleReason = "no system tray on this desktop";
        } else {
            instance = std::make_unique<nerivane::SingleInstance>(QDBusConnection::sessionBus());
            switch (instance->claim()) {
            case nerivane::SingleInstance::Claim::owned: break;
            case nerivane::SingleInstance::Claim::alreadyRunning:
                if (instance->activateRunning()) {
                    std::fprintf(stderr, "nerivane: already running; its popup is open\n");
                    return 0;
                }
                std::fprintf(stderr, "nerivane: already running, but it does not answer on the session bus\n");
                return 1;
            case nerivane::SingleInstance::Claim::noBus:
                // Still a tray application, only without the guard.
                instance.reset();
                break;
            }
        }
    }
    if (consoleReason) {
        sayWhy(*consoleReason);
        if (!application) {
            if (snapshot) {
                // The picture needs fonts and a painter, not a display.
                if (displayMissing()) setenv("QT_QPA_PLATFORM", "offscreen", 1);
                application = std::make_unique<QGuiApplication>(argc, argv);
            } else {
                application = std::make_unique<QCoreApplication>(argc, argv);
            }
            setIdentity();
        }
    }

    nerivane::AppDelegate delegate(options, consoleReason ? FrontEnd::console : FrontEnd::tray, std::move(instance));
    delegate.applicationDidFinishLaunching();
    const int status = QCoreApplication::exec();
    delegate.applicationWillTerminate();
    return status;
}
