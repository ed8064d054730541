#include "nerivane/app/AppDelegate.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QTimer>
#include <cmath>
#include <csignal>
#include <cstdio>

#include "NerivaneKit/platform/Log.h"
#include "nerivane/export/DevChecks.h"
#include "nerivane/export/DiagnosticsService.h"

namespace nerivane {

AppDelegate::AppDelegate(CommandLine options, FrontEnd frontEnd, std::unique_ptr<SingleInstance> instance,
                         Desktop* desktop, QObject* parent)
    : QObject(parent),
      options_(std::move(options)),
      frontEnd_(frontEnd),
      desktop_(desktop),
      instance_(std::move(instance)) {}

AppDelegate::~AppDelegate() {
    // The front ends and the metrics watch the model; the model goes before the preferences.
    metrics_.reset();
    tray_.reset();
    readoutPicture_.reset();
    readout_.reset();
    model_.reset();
}

AppModel& AppDelegate::model() {
    if (!model_) model_ = std::make_unique<AppModel>(preferences_);
    return *model_;
}

void AppDelegate::quit() {
    QCoreApplication::quit();
}

void AppDelegate::applicationDidFinishLaunching() {
    terminationSource_ = std::make_unique<TerminationSignals>();
    if (terminationSource_->isWatching()) {
        connect(terminationSource_.get(), &TerminationSignals::received, this, &AppDelegate::handleTerminationSignal);
        if (terminationSource_->mechanism() == TerminationSignals::Mechanism::handlers)
            Log("app").info(Log::format("%s; watching SIGTERM, SIGINT and SIGHUP with signal handlers instead",
                                        terminationSource_->failure().c_str()));
    } else {
        Log("app").error(Log::format("cannot watch SIGTERM, SIGINT and SIGHUP (%s); they will end the program "
                                     "without writing history",
                                     terminationSource_->failure().c_str()));
    }

    // Before probing starts: an address given on the command line that it
    // cannot serve on is a usage error, not a silent off.
    if (options_.metrics) {
        auto endpoint = metricsModule_.start(model(), *options_.metrics);
        if (const auto* error = std::get_if<std::string>(&endpoint)) {
            std::fprintf(stderr, "nerivane: %s\n", error->c_str());
            QTimer::singleShot(0, this, [] { QCoreApplication::exit(2); });
            return;
        }
        metrics_ = std::move(std::get<std::unique_ptr<MetricsEndpoint>>(endpoint));
        model().setMetricsEndpoint("serving " + metrics_->boundAddress());
    } else {
        // The stored setting must not keep an autostarted monitor from running.
        serveStoredMetrics();
        connect(&preferences_, &Preferences::metricsListenChanged, this, &AppDelegate::serveStoredMetrics);
    }

    // Starts history's timer, applies the preferences and starts the monitor.
    model().start();

    if (instance_) connect(instance_.get(), &SingleInstance::activationRequested, this,
                           &AppDelegate::handleActivationRequested);
    if (frontEnd_ != FrontEnd::console) {
        tray_ = desktop_->makeTray(model(), preferences_, &AppDelegate::quit, frontEnd_ == FrontEnd::window);
        // `nerivane --diagnostics` asks the instance that owns the name.
        if (instance_ && instance_->owned() && !DiagnosticsService::registerOn(model(), this, instance_->bus()))
            Log("app").error("cannot offer the diagnostics report on the session bus");
        // A second launch during the tray wait is answered now.
        if (instance_ && instance_->takeEarlyActivation()) handleActivationRequested();
    } else {
        readout_ = std::make_unique<ConsoleReadout>(
            model(), options_.json ? ConsoleReadout::Format::json : ConsoleReadout::Format::text,
            ConsoleReadout::layoutFor(options_.log), ConsoleReadout::standardOutput([] {
                Log("app").info("standard output was closed; quitting");
                AppDelegate::quit();
            }));
        // `nerivane --diagnostics` asks a terminal instance too, where a session bus runs.
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (bus.isConnected() && bus.interface() != nullptr && DiagnosticsService::registerOn(model(), this, bus))
            bus.interface()->registerService(QString::fromUtf8(DiagnosticsService::consoleServiceName),
                                             QDBusConnectionInterface::QueueService,
                                             QDBusConnectionInterface::DontAllowReplacement);
        // The readout's picture needs a GUI application (offscreen without a display).
        if (desktop_ != nullptr) readoutPicture_ = desktop_->makeReadoutPicture(model(), preferences_);
    }

    devChecks_ = DevChecks::fromEnvironment();

    if (options_.exitAfter) {
        QTimer::singleShot(static_cast<int>(std::llround(*options_.exitAfter * 1000)), this, &AppDelegate::quit);
    }
}

void AppDelegate::serveStoredMetrics() {
    // The old endpoint lets go of its port first: the new one may want it.
    metrics_.reset();
    const std::string listen = preferences_.metricsListen().toStdString();
    if (listen.empty()) {
        model().setMetricsEndpoint({});
        return;
    }
    auto endpoint = metricsModule_.start(model(), listen);
    if (const auto* error = std::get_if<std::string>(&endpoint)) {
        const std::string message =
            "setting metricsListen: " + *error + "; monitoring runs on without the metrics endpoint";
        std::fprintf(stderr, "nerivane: %s\n", message.c_str());
        Log("app").error("metrics: " + message);
        model().setMetricsEndpoint("not served: " + *error);
        return;
    }
    metrics_ = std::move(std::get<std::unique_ptr<MetricsEndpoint>>(endpoint));
    model().setMetricsEndpoint("serving " + metrics_->boundAddress());
}

void AppDelegate::applicationWillTerminate() {
    if (terminated_ || !model_) return;
    terminated_ = true;
    if (tray_) tray_->hide();
    model_->stopMonitoring();
    // Blocks until every open minute, the current one included, is written.
    if (auto* history = model_->history()) history->close();
}

void AppDelegate::handleTerminationSignal(int signal) {
    Log("app").info(Log::format("quitting on %s", TerminationSignals::name(signal)));
    quit();
}

QString AppDelegate::name(FrontEnd frontEnd) {
    switch (frontEnd) {
    case FrontEnd::tray: return QStringLiteral("tray");
    case FrontEnd::window: return QStringLiteral("window");
    case FrontEnd::console: return QStringLiteral("console");
    }
    return {};
}

void AppDelegate::handleActivationRequested() {
    // A second launch: show the popup or raise the window, never close it.
    if (tray_) {
        tray_->activate();
    } else {
        Log("app").info("a second launch found this terminal instance running and ended");
    }
}

}  // namespace nerivane
