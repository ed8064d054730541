#include "nerivane/export/DiagnosticsClient.h"

#include <QDBusMessage>
#include <QFileInfo>
#include <QJsonDocument>
#include <exception>
#include <memory>
#include <vector>

#include "NerivaneKit/history/History.h"
#include "NerivaneKit/history/HistoryFile.h"
#include "NerivaneKit/history/HistoryQueries.h"
#include "NerivaneKit/history/WriterLock.h"
#include "NerivaneKit/platform/Log.h"
#include "nerivane/core/Preferences.h"
#include "nerivane/export/DiagnosticsReport.h"
#include "nerivane/export/DiagnosticsService.h"
#include "nerivane/export/DiagnosticsSummary.h"

namespace nerivane::DiagnosticsClient {

std::optional<QString> fetch(QDBusConnection bus, int timeoutMilliseconds) {
    if (!bus.isConnected()) return std::nullopt;
    // The tray application first, then a terminal instance.
    for (const char* service : {DiagnosticsService::serviceName, DiagnosticsService::consoleServiceName}) {
        const QDBusMessage call = QDBusMessage::createMethodCall(
            QString::fromUtf8(service), QString::fromUtf8(DiagnosticsService::objectPath),
            QString::fromUtf8(DiagnosticsService::interfaceName), QStringLiteral("Report"));
        const QDBusMessage reply = bus.call(call, QDBus::Block, timeoutMilliseconds);
        if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty())
            return reply.arguments().constFirst().toString();
    }
    return std::nullopt;
}

QString offlineReport(const Preferences& preferences, const std::optional<std::string>& historyPath) {
    std::vector<NetworkEvent> events;
    // Read only: no lock, no roll-up, no retention, no change of mode. The
    // history service would prune with its default retention and take the
    // writer's lock; a missing file is not created either.
    if (historyPath && QFileInfo::exists(QString::fromStdString(*historyPath))) {
        try {
            const HistoryQueries queries(HistoryFile::openReadOnly(*historyPath));
            events = DiagnosticsReport::latestEvents(queries);
        } catch (const std::exception& error) {
            Log("app").error(std::string("history read: ") + error.what());
        }
    }
    // An instance that did not answer still holds the history it writes.
    const std::optional<long> writer = historyPath ? WriterLock::holder(*historyPath) : std::nullopt;
    return DiagnosticsReport::offline(preferences, std::move(events), writer);
}

DiagnosticsSummary summary(const std::optional<std::string>& historyPath) {
    const auto facts = DiagnosticsReport::Facts::current();
    DiagnosticsSummary summary;
    summary.now = facts.now;
    summary.zone = facts.zone;
    if (!historyPath || !QFileInfo::exists(QString::fromStdString(*historyPath))) return summary;
    try {
        const HistoryQueries queries(HistoryFile::openReadOnly(*historyPath));
        summary = DiagnosticsSummary::read(queries, facts.now, facts.zone);
    } catch (const std::exception& error) {
        Log("app").error(std::string("history read: ") + error.what());
    }
    return summary;
}

int run(std::ostream& out, bool json) {
    const auto historyPath = History::configuredPath();
    std::optional<QString> report = fetch(QDBusConnection::sessionBus());
    DiagnosticsSummary first = summary(historyPath);
    if (report) {
        first.verdict = DiagnosticsSummary::verdictOf(*report);
    } else {
        const Preferences preferences;
        report = offlineReport(preferences, historyPath);
    }
    if (json) {
        out << QJsonDocument(first.json(*report)).toJson(QJsonDocument::Indented).toStdString();
    } else {
        out << (first.lines().join(u'\n') + QStringLiteral("\ndetail:\n") + *report).toStdString();
    }
    out.flush();
    return out ? 0 : 1;
}

}  // namespace nerivane::DiagnosticsClient
