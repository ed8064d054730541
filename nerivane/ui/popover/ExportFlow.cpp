#include "nerivane/ui/popover/ExportFlow.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QFileDialog>
#include <QGuiApplication>
#include <QMessageBox>
#include <QStandardPaths>

#include "nerivane/export/AtomicFile.h"
#include "nerivane/export/CSVExport.h"

namespace nerivane {
namespace {

QString askWithDialog(const QString& suggestedPath) {
    const bool page = suggestedPath.endsWith(QStringLiteral(".html"));
    return QFileDialog::getSaveFileName(nullptr, QObject::tr("Export History"), suggestedPath,
                                        page ? QObject::tr("Web pages (*.html)") : QObject::tr("CSV files (*.csv)"));
}

void tellWithMessageBox(const QString& text) {
    QMessageBox::warning(nullptr, QStringLiteral("nerivane"), text);
}

}  // namespace

ExportFlow::ExportFlow(History* history, AskPath ask, Tell tell, std::function<double()> now, QObject* parent)
    : QObject(parent),
      history_(history),
      ask_(ask ? std::move(ask) : AskPath(askWithDialog)),
      tell_(tell ? std::move(tell) : Tell(tellWithMessageBox)),
      now_(now ? std::move(now) : [] { return static_cast<double>(QDateTime::currentMSecsSinceEpoch()) / 1000; }) {}

ExportFlow::~ExportFlow() {
    // The read holds the history; it must not outlive the flow's owner.
    if (watcher_) {
        watcher_->disconnect(this);
        watcher_->waitForFinished();
        QGuiApplication::restoreOverrideCursor();
    }
}

void ExportFlow::start(CSVExport::Choice choice) {
    begin(CSVExport::suggestedFileName(choice.kind), [this, choice](double now) {
        return CSVExport::produce(history_, choice.kind, choice.range, now);
    });
}

void ExportFlow::startReport(HistoryReport::Span span, const HistoryReportPage::Facts& facts) {
    begin(ReportExport::suggestedFileName(),
          [this, span, facts](double now) { return ReportExport::produce(history_, span, now, facts); });
}

void ExportFlow::begin(const QString& suggestedName, const Produce& produce) {
    if (isBusy()) return;
    // Many homes have no Documents folder; the dialog would then open in the
    // program's working folder, so start at home instead.
    QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (!QFileInfo(folder).isDir()) folder = QDir::homePath();
    const QString path = ask_(QDir(folder).filePath(suggestedName));
    if (path.isEmpty()) {
        emit finished(false);
        return;
    }
    QGuiApplication::setOverrideCursor(Qt::BusyCursor);
    watcher_ = std::make_unique<QFutureWatcher<std::optional<std::string>>>();
    connect(watcher_.get(), &QFutureWatcherBase::finished, this, [this, path] { complete(path); });
    watcher_->setFuture(produce(now_()));
}

void ExportFlow::complete(const QString& path) {
    const std::optional<std::string> text = watcher_->result();
    QGuiApplication::restoreOverrideCursor();
    watcher_.release()->deleteLater();
    if (!text) {
        tell_(CSVExport::readFailureText());
        emit finished(false);
        return;
    }
    if (const auto reason = AtomicFile::write(path, QByteArray::fromStdString(*text))) {
        tell_(tr("The file could not be saved: %1").arg(*reason));
        emit finished(false);
        return;
    }
    emit finished(true);
}

}  // namespace nerivane
