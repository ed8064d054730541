#include "nerivane/export/ReportExport.h"

#include <QCoreApplication>
#include <QtConcurrent/QtConcurrentRun>
#include <exception>

#include "NerivaneKit/history/History.h"
#include "NerivaneKit/platform/Log.h"
#include "nerivane/export/CSVExport.h"

namespace nerivane::ReportExport {

QString label(HistoryReport::Span span) {
    switch (span) {
    case HistoryReport::Span::day: return CSVExport::label(CSVExport::Range::day);
    case HistoryReport::Span::week: return CSVExport::label(CSVExport::Range::week);
    case HistoryReport::Span::month: return QCoreApplication::translate("ReportExport", "Last 30 Days");
    case HistoryReport::Span::all: return CSVExport::label(CSVExport::Range::all);
    }
    return QString();
}

QString suggestedFileName(const QDate& today) {
    return QStringLiteral("nerivane-report-%1.html").arg(today.toString(QStringLiteral("yyyy-MM-dd")));
}

QString suggestedFileName() { return suggestedFileName(QDate::currentDate()); }

HistoryReportPage::Facts facts(const NetworkPath& path) {
    HistoryReportPage::Facts facts;
    if (path.isSatisfied) facts.connection = path.kind;
    facts.version = NERIVANE_VERSION;
    facts.zoneName = HistoryReportPage::localZoneName();
    return facts;
}

std::optional<std::string> read(History* history, HistoryReport::Span span, double now,
                                const HistoryReportPage::Facts& facts) {
    if (!history) return std::nullopt;
    try {
        return HistoryReportPage::html(history->report(span, dateFromUnixSeconds(now)), facts);
    } catch (const std::exception& error) {
        Log("app").error(std::string("history read: ") + error.what());
        return std::nullopt;
    }
}

QFuture<std::optional<std::string>> produce(History* history, HistoryReport::Span span, double now,
                                            const HistoryReportPage::Facts& facts) {
    return QtConcurrent::run([=] { return read(history, span, now, facts); });
}

}  // namespace nerivane::ReportExport
