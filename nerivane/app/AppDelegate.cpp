#include "nerivane/app/AppDelegate.h"

#include <QCoreApplication>
#include <QTimer>
#include <cmath>
#include <csignal>
#include <cstdio>

#include "NerivaneKit/platform/Log.h"

namespace nerivane {

AppDelegate::AppDelegate(CommandLine options, QObject* parent) : QObject(parent), options_(std::move(options)) {}

AppDelegate::~AppDelegate() {
    // The readout and the metrics watch the model; the model goes before the preferences.
    metrics_.reset();
    readout_.reset();
    model_.reset();
}

AppModel& AppDelegate::model() {
    if (!model_) model_ = std::make_unique<AppModel>(preferences_);
    return *model_;
}

void AppDelegate::applicationDidFinishLaunching() {
    terminationSource_ = std::make_unique<TerminationSignals>();
    if (terminationSource_->isWatching()) {
        connect(terminationSource_.get(), &TerminationSignals::received, this, &AppDelegate::handleTerminationSignal);
    } else {
        Log("app").error("cannot watch SIGTERM and SIGINT; they will end the program without writing history");
    }

    // Before probing starts: an address it cannot serve on is a usage error, not a silent off.
    const std::string metricsListen = options_.metrics.value_or(preferences_.metricsListen().toStdString());
    if (!metricsListen.empty()) {
        auto exporter = MetricsExporter::start(model(), metricsListen);
        if (const auto* error = std::get_if<std::string>(&exporter)) {
            std::fprintf(stderr, "nerivane: %s%s\n", options_.metrics ? "" : "setting metricsListen: ", error->c_str());
            QTimer::singleShot(0, this, [] { QCoreApplication::exit(2); });
            return;
        }
        metrics_ = std::move(std::get<std::unique_ptr<MetricsExporter>>(exporter));
    }

    // Starts history's timer, applies the preferences and starts the monitor.
    model().start();

    // No tray item in this build: the terminal readout is the front end.
    readout_ = std::make_unique<ConsoleReadout>(
        model(), options_.json ? ConsoleReadout::Format::json : ConsoleReadout::Format::text,
        ConsoleReadout::standardOutput());

    if (options_.exitAfter) {
        QTimer::singleShot(static_cast<int>(std::llround(*options_.exitAfter * 1000)), this,
                           [] { QCoreApplication::quit(); });
    }
}

void AppDelegate::applicationWillTerminate() {
    if (terminated_ || !model_) return;
    terminated_ = true;
    model_->stopMonitoring();
    // Blocks until every open minute, the current one included, is written.
    if (auto* history = model_->history()) history->close();
}

void AppDelegate::handleTerminationSignal(int signal) {
    Log("app").info(Log::format("quitting on %s", signal == SIGINT ? "SIGINT" : "SIGTERM"));
    QCoreApplication::quit();
}

}  // namespace nerivane
