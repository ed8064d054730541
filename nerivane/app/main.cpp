// nerivane: the network-quality monitor. Parses the command line, then runs
// the application delegate on Qt's event loop until a quit, SIGTERM, SIGINT
// or --exit-after, and shuts monitoring and history down before returning.

#include <QCoreApplication>
#include <cstdio>
#include <string>
#include <variant>
#include <vector>

#include "NerivaneKit/platform/LogStore.h"
#include "nerivane/app/AppDelegate.h"
#include "nerivane/app/CommandLine.h"
#include "nerivane/app/TerminationSignals.h"

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
    if (options.log) nerivane::LogStore::shared().setStderrOutput(nerivane::LogStore::StderrOutput::always);

    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("nerivane"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("nerivane.org"));
    QCoreApplication::setApplicationVersion(QStringLiteral(NERIVANE_VERSION));

    nerivane::AppDelegate delegate(options);
    delegate.applicationDidFinishLaunching();
    const int status = QCoreApplication::exec();
    delegate.applicationWillTerminate();
    return status;
}
