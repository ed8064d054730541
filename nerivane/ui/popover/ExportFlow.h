// Saving history as CSV from the events card's menu, and the report from the
// history card's: asks for a file (in the
// Documents folder, under the suggested name), reads the chosen window off
// the main thread under a busy cursor, and writes the file whole or not at
// all; a failure is told with its reason. Owned by the status item; main thread.
#pragma once

#include <QFutureWatcher>
#include <QObject>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "nerivane/export/CSVExport.h"
#include "nerivane/export/ReportExport.h"

namespace nerivane {

class History;

class ExportFlow : public QObject {
    Q_OBJECT

public:
    // Given the suggested path, the path chosen; empty when cancelled.
    using AskPath = std::function<QString(const QString& suggestedPath)>;
    // Shows a failure's text to the user.
    using Tell = std::function<void(const QString& text)>;

    // The history must outlive the flow; now gives Unix seconds. Empty
    // callbacks mean the save dialog, a message box and the wall clock.
    explicit ExportFlow(History* history, AskPath ask = {}, Tell tell = {}, std::function<double()> now = {},
                        QObject* parent = nullptr);
    ~ExportFlow() override;

    // Ignored while an export is under way.
    void start(CSVExport::Choice choice);
    // The history report as one HTML page, the same way.
    void startReport(HistoryReport::Span span, const HistoryReportPage::Facts& facts);
    bool isBusy() const { return watcher_ != nullptr; }

signals:
    // written is false when cancelled or failed.
    void finished(bool written);

private:
    using Produce = std::function<QFuture<std::optional<std::string>>(double now)>;
    void begin(const QString& suggestedName, const Produce& produce);
    void complete(const QString& path);

    History* history_;
    AskPath ask_;
    Tell tell_;
    std::function<double()> now_;
    std::unique_ptr<QFutureWatcher<std::optional<std::string>>> watcher_;
};

}  // namespace nerivane
