// What "nerivane --diagnostics" does: asks the running instance for its
// report over the session bus and, when none answers, builds what it can
// from the stored settings and history. Never starts probing. Main thread
// of a short-lived process.
#pragma once

#include <QDBusConnection>
#include <QString>
#include <optional>
#include <ostream>

namespace nerivane {

class Preferences;

namespace DiagnosticsClient {

// The running instance's report; none when no instance answers in time.
std::optional<QString> fetch(QDBusConnection bus, int timeoutMilliseconds = 10000);

// The report without a running instance, from the preferences and the
// history file at historyPath (which is not created when missing).
QString offlineReport(const Preferences& preferences, const std::optional<std::string>& historyPath);

// Prints the summary from the history file, then the report, to out (as
// one JSON object with json) and returns the exit status: the session bus,
// the user's preferences and NERIVANE_HISTORY or the default history file.
int run(std::ostream& out, bool json = false);

}  // namespace DiagnosticsClient
}  // namespace nerivane
