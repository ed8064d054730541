// Saving the history report, below the file dialog: the spans the history
// card offers with their menu words, the suggested file name, and producing
// the page through the history off the main thread.
// Stateless; produce() may be called from the main thread, the read runs on
// Qt's global thread pool and blocks there on the history queue.
#pragma once

#include <QDate>
#include <QFuture>
#include <QString>
#include <optional>
#include <string>

#include "NerivaneKit/history/HistoryReport.h"
#include "NerivaneKit/history/HistoryReportPage.h"
#include "NerivaneKit/path/NetworkPath.h"

namespace nerivane {

class History;

namespace ReportExport {

inline constexpr HistoryReport::Span allSpans[] = {HistoryReport::Span::day, HistoryReport::Span::week,
                                                   HistoryReport::Span::month, HistoryReport::Span::all};

// "Last 24 Hours", "Last 7 Days", "Last 30 Days", "Everything".
QString label(HistoryReport::Span span);

// "nerivane-report-2026-03-14.html".
QString suggestedFileName(const QDate& today);
QString suggestedFileName();

// What the page says of this machine: its connection kind, this version
// and the local time zone. No Wi-Fi name: the user has not asked for one.
HistoryReportPage::Facts facts(const NetworkPath& path);

// The page, read now on the calling thread (which must not be history's
// queue); none without history or when the read failed, which is logged as
// "history read: ...".
std::optional<std::string> read(History* history, HistoryReport::Span span, double now,
                                const HistoryReportPage::Facts& facts);

// The same on a background thread. The history must outlive the read.
QFuture<std::optional<std::string>> produce(History* history, HistoryReport::Span span, double now,
                                            const HistoryReportPage::Facts& facts);

}  // namespace ReportExport
}  // namespace nerivane
