#include "nerivane/core/LoadTexts.h"

#include <QCoreApplication>

namespace nerivane::LoadTexts {
namespace {

QString tr(const char* text) {
    return QCoreApplication::translate("LoadTexts", text);
}

QString queueText(QueuePlace place) {
    switch (place) {
    case QueuePlace::thisSide: return tr("queue before the router");
    case QueuePlace::beyondRouter: return tr("queue beyond the router");
    case QueuePlace::unknown: break;
    }
    return QString();
}

}  // namespace

QString rateText(double bitsPerSecond) {
    if (bitsPerSecond >= 1e9) return tr("%1 Gbit/s").arg(bitsPerSecond / 1e9, 0, 'f', 1);
    if (bitsPerSecond >= 1e6) return tr("%1 Mbit/s").arg(bitsPerSecond / 1e6, 0, 'f', 1);
    return tr("%1 kbit/s").arg(bitsPerSecond / 1e3, 0, 'f', 0);
}

QString directionText(LoadDirection direction, const DirectionLoad& load, const VerdictTexts::Context& context) {
    const QString name = direction == LoadDirection::upload ? tr("upload") : tr("download");
    const auto& role = load.internet ? load.internet : load.router;
    if (!load.grade || !role) return tr("%1 not graded yet").arg(name);
    QString text = tr("%1 %2 +%3 (%4 idle, %5 busy)")
                       .arg(name, QString::fromUtf8(nerivane::text(*load.grade)),
                            VerdictTexts::millisecondsText(std::max(0.0, role->added)),
                            VerdictTexts::millisecondsText(role->idleMedian),
                            VerdictTexts::millisecondsText(role->busyMedian));
    if (const QString queue = queueText(load.queue); !queue.isEmpty()) text += QStringLiteral(", ") + queue;
    if (load.lastBusy) text += tr(", busy at %1").arg(VerdictTexts::timeText(*load.lastBusy, context));
    return text;
}

QString rowText(const LoadSnapshot& load, const VerdictTexts::Context& context) {
    return tr("%1 up %2 down %3 (capacity %4 / %5); %6; %7")
        .arg(QString::fromStdString(load.interfaceName), rateText(load.uploadBitsPerSecond),
             rateText(load.downloadBitsPerSecond), rateText(load.capacity.uploadBitsPerSecond),
             rateText(load.capacity.downloadBitsPerSecond),
             directionText(LoadDirection::upload, load.upload, context),
             directionText(LoadDirection::download, load.download, context));
}

}  // namespace nerivane::LoadTexts
