#include "nerivane/export/CSVExport.h"

#include <QCoreApplication>
#include <QtConcurrent/QtConcurrentRun>
#include <algorithm>
#include <exception>
#include <limits>

#include "NerivaneKit/history/History.h"
#include "NerivaneKit/history/HistoryQueries.h"
#include "NerivaneKit/platform/Log.h"

namespace nerivane::CSVExport {

QString label(Kind kind) {
    return kind == Kind::aggregates ? QCoreApplication::translate("CSVExport", "Measurements")
                                    : QCoreApplication::translate("CSVExport", "Events");
}

QString label(Range range) {
    switch (range) {
    case Range::hour: return QCoreApplication::translate("CSVExport", "Last Hour");
    case Range::day: return QCoreApplication::translate("CSVExport", "Last 24 Hours");
    case Range::week: return QCoreApplication::translate("CSVExport", "Last 7 Days");
    case Range::all: return QCoreApplication::translate("CSVExport", "Everything");
    }
    return QString();
}

QString readFailureText() {
    return QCoreApplication::translate("CSVExport", "The history could not be read.");
}

QString suggestedFileName(Kind kind, const QDate& today) {
    const QString what = kind == Kind::aggregates ? QStringLiteral("measurements") : QStringLiteral("events");
    return QStringLiteral("nerivane-%1-%2.csv").arg(what, today.toString(QStringLiteral("yyyy-MM-dd")));
}

QString suggestedFileName(Kind kind) {
    return suggestedFileName(kind, QDate::currentDate());
}

std::pair<double, double> window(Range range, double now, int retentionDays) {
    switch (range) {
    case Range::hour: return {now - 3600, now};
    case Range::day: return {now - 86400, now};
    case Range::week: return {now - 604800, now};
    // A retention below one day keeps everything.
    case Range::all:
        return {retentionDays >= 1 ? now - retentionDays * 86400.0 : -std::numeric_limits<double>::infinity(), now};
    }
    return {now, now};
}

std::optional<std::string> read(History* history, Kind kind, Range range, double now) {
    if (!history) return std::nullopt;
    try {
        const int retention = range == Range::all ? history->retentionDays() : 0;
        auto [from, to] = window(range, now, retention);
        if (range == Range::all && kind == Kind::aggregates) {
            // From the oldest stored row (or the current minute), not years of empty minutes.
            const auto oldest = history->withQueries([](const HistoryQueries& queries) { return queries.oldestStart(); });
            from = std::max(from, oldest ? static_cast<double>(*oldest) : now - 60);
        }
        const Date fromDate = dateFromUnixSeconds(from), toDate = dateFromUnixSeconds(to);
        return kind == Kind::aggregates ? history->exportAggregates(fromDate, toDate) : history->exportEvents(fromDate, toDate);
    } catch (const std::exception& error) {
        Log("app").error(std::string("history read: ") + error.what());
        return std::nullopt;
    }
}

QFuture<std::optional<std::string>> produce(History* history, Kind kind, Range range, double now) {
    return QtConcurrent::run([=] { return read(history, kind, range, now); });
}

}  // namespace nerivane::CSVExport
