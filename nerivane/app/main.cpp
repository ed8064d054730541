// nerivane: the network-quality monitor. Parses the command line, chooses
// the front end (the tray item where a display and a tray host are, a window
// where a display but no tray host is, else the terminal readout, saying
// why), keeps to one monitor per session, then
// runs the application delegate on Qt's event loop until the one quit path
// (the menu's quit, SIGTERM, SIGINT, SIGHUP, a closed output, --exit-after)
// and shuts monitoring and history down before returning.

#include <QCoreApplication>
#include <QDBusConnection>
#include <malloc.h>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "NerivaneKit/platform/LogStore.h"
#include "nerivane/app/AppDelegate.h"
#include "nerivane/app/CommandLine.h"
#include "nerivane/app/DesktopModule.h"
#include "nerivane/app/SingleInstance.h"
#include "nerivane/app/TerminationSignals.h"
#include "nerivane/export/DiagnosticsClient.h"

namespace {

std::string variable(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

// Why no window can be shown here; none when a display answers. Without the
// desktop layer only the environment is read: an X display is asked (before
// Qt, which ends the process when its display does not answer) through it.
std::optional<std::string> displayMissing(nerivane::Desktop* desktop) {
    const std::string platform = variable("QT_QPA_PLATFORM");
    if (platform == "offscreen" || platform == "minimal") return "the " + platform + " platform has no system tray";
    if (!variable("WAYLAND_DISPLAY").empty()) return std::nullopt;
    const std::string display = variable("DISPLAY");
    if (display.empty()) return std::string("no display (DISPLAY and WAYLAND_DISPLAY are unset)");
    if (desktop != nullptr && !desktop->displayAnswers(display)) return "the display " + display + " does not answer";
    return std::nullopt;
}

// The desktop layer's part (the desktop file name) comes with its application objects.
void setIdentity() {
    QCoreApplication::setApplicationName(QStringLiteral("nerivane"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("nerivane.org"));
    QCoreApplication::setApplicationVersion(QStringLiteral(NERIVANE_VERSION));
}

void sayWhy(const std::string& reason) {
    std::fprintf(stderr, "nerivane: %s; the readout goes to this terminal\n", reason.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    // Before any thread exists, so that every thread inherits the mask.
    nerivane::TerminationSignals::blockInThisThread();
    // A few quiet threads share one malloc arena: an arena each would hold
    // its own free pages (a third of a megabyte at the start) and fragment
    // on its own over months of running, for contention these threads
    // never have.
    mallopt(M_ARENA_MAX, 1);

    const std::vector<std::string> arguments(argv + 1, argv + argc);
    const auto parsed = nerivane::CommandLine::parse(arguments);
    if (const auto* error = std::get_if<std::string>(&parsed)) {
        std::fputs(nerivane::CommandHelp::errorLine("nerivane", *error).c_str(), stderr);
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
        return nerivane::DiagnosticsClient::run(std::cout, options.json);
    }
    if (options.log) nerivane::LogStore::shared().setStderrOutput(nerivane::LogStore::StderrOutput::always);

    using FrontEnd = nerivane::AppDelegate::FrontEnd;
    const bool snapshot = !variable("NERIVANE_SNAPSHOT").empty();
    std::optional<std::string> consoleReason;
    if (options.console) consoleReason = options.json ? "--json given" : "--console given";
    // Asked once: X is asked only when the desktop layer is loaded.
    std::optional<std::string> noDisplay = displayMissing(nullptr);

    // Loaded only for a window or a picture: the terminal readout and the
    // metrics service run without Qt Gui, Widgets and X.
    std::unique_ptr<nerivane::Desktop> desktop;
    if ((!consoleReason && !noDisplay) || snapshot) {
        auto loaded = nerivane::DesktopModule::load();
        if (auto* module = std::get_if<std::unique_ptr<nerivane::Desktop>>(&loaded)) {
            desktop = std::move(*module);
            if (!noDisplay) noDisplay = displayMissing(desktop.get());
        } else if (!consoleReason && !noDisplay) {
            consoleReason = "cannot load the desktop front end (" + std::get<std::string>(loaded) + ")";
        }
    }
    if (!consoleReason) consoleReason = noDisplay;

    std::unique_ptr<QCoreApplication> application;
    // Whether the desktop layer made the application object, so has a part in this run.
    bool fromDesktop = false;
    if (!consoleReason) {
        application = desktop->makeTrayApplication(argc, argv);
        fromDesktop = true;
    } else if (snapshot && desktop) {
        // The picture needs fonts and a painter, not a display.
        if (noDisplay) setenv("QT_QPA_PLATFORM", "offscreen", 1);
        application = desktop->makePictureApplication(argc, argv);
        fromDesktop = true;
    } else {
        application = std::make_unique<QCoreApplication>(argc, argv);
    }
    setIdentity();

    // One monitor per session, whatever its front end: a desktop launch that
    // finds one running brings it up and ends; --console runs stand beside
    // others as before, and own the name only when it is free.
    auto instance = std::make_unique<nerivane::SingleInstance>(QDBusConnection::sessionBus());
    instance->setFrontEnd(nerivane::AppDelegate::name(consoleReason ? FrontEnd::console : FrontEnd::tray));
    switch (instance->claim()) {
    case nerivane::SingleInstance::Claim::owned: break;
    case nerivane::SingleInstance::Claim::alreadyRunning: {
        if (options.console) {
            instance.reset();
            break;
        }
        const auto running = instance->activateRunning();
        if (!running) {
            std::fprintf(stderr, "nerivane: already running, but it does not answer on the session bus\n");
            return 1;
        }
        if (*running == nerivane::AppDelegate::name(FrontEnd::console)) {
            std::fprintf(stderr, "nerivane: already running in a terminal (--console); no second monitor starts\n");
            if (fromDesktop && !consoleReason) desktop->tellTerminalInstanceRuns();
            return 0;
        }
        std::fprintf(stderr, "nerivane: already running; its %s is open\n",
                     *running == nerivane::AppDelegate::name(FrontEnd::window) ? "window" : "popup");
        return 0;
    }
    case nerivane::SingleInstance::Claim::noBus:
        // Still runs, only without the guard.
        instance.reset();
        break;
    }

    FrontEnd frontEnd = consoleReason ? FrontEnd::console : FrontEnd::tray;
    if (!consoleReason && !desktop->waitForTray()) {
        frontEnd = FrontEnd::window;
        std::fprintf(stderr, "nerivane: no system tray on this desktop; the readout shows in a window\n");
    }
    if (instance) instance->setFrontEnd(nerivane::AppDelegate::name(frontEnd));
    if (consoleReason) sayWhy(*consoleReason);
    // Lines written into the status area would move it: only errors go there.
    if (consoleReason && !options.json &&
        nerivane::ConsoleReadout::layoutFor(options.log) == nerivane::ConsoleReadout::Layout::statusArea)
        nerivane::LogStore::shared().setStderrOutput(nerivane::LogStore::StderrOutput::errorsWithoutJournal);

    nerivane::AppDelegate delegate(options, frontEnd, std::move(instance),
                                   fromDesktop ? desktop.get() : nullptr);
    delegate.applicationDidFinishLaunching();
    const int status = QCoreApplication::exec();
    delegate.applicationWillTerminate();
    return status;
}
