#include "nerivane/core/LoadTexts.h"

#include <QCoreApplication>
#include <algorithm>
#include <cmath>

#include "NerivaneKit/platform/NumberText.h"

namespace nerivane::LoadTexts {
namespace {

QString tr(const char* text) { return QCoreApplication::translate("LoadTexts", text); }

}  // namespace

QString directionName(LoadDirection direction) {
    return direction == LoadDirection::upload ? tr("Upload") : tr("Download");
}

QString gradeText(LoadGrade grade) {
    const auto stored = text(grade);
    return QString::fromLatin1(stored.data(), static_cast<qsizetype>(stored.size()));
}

QString gradeMeaning(LoadGrade grade) {
    switch (grade) {
    case LoadGrade::aPlus: return tr("no added delay");
    case LoadGrade::a: return tr("barely slower while busy");
    case LoadGrade::b: return tr("a little slower while busy");
    case LoadGrade::c: return tr("noticeably slower while busy");
    case LoadGrade::d: return tr("much slower while busy");
    case LoadGrade::f: return tr("unusable while busy");
    }
    return QString();
}

QString addedText(double milliseconds) {
    // Less than nothing added reads as nothing: a busy link is never faster.
    return QStringLiteral("+") + QString::fromStdString(NumberText::milliseconds(std::max(milliseconds, 0.0)));
}

QString queueText(QueuePlace place) {
    switch (place) {
    case QueuePlace::beyondRouter: return tr("Queue beyond the router");
    case QueuePlace::thisSide: return tr("Queue on this side of the router");
    case QueuePlace::unknown: return tr("Where the queue is not yet known");
    }
    return QString();
}

QString rateText(double bitsPerSecond) { return QString::fromStdString(NumberText::bitRate(bitsPerSecond)); }

QString agoText(double date, const VerdictTexts::Context& context) {
    const double seconds = std::max(context.now - date, 0.0);
    if (seconds < 60) return tr("just now");
    const auto minutes = static_cast<long long>(seconds / 60);
    if (minutes == 1) return tr("1 minute ago");
    if (minutes < 60) return tr("%1 minutes ago").arg(minutes);
    const auto hours = minutes / 60;
    if (hours == 1) return tr("1 hour ago");
    if (hours < 24) return tr("%1 hours ago").arg(hours);
    return VerdictTexts::timeText(date, context);
}

QString lastSeenText(const DirectionLoad& load, LoadDirection direction, const VerdictTexts::Context& context) {
    if (!load.lastBusy) return QString();
    const QString rate = rateText(load.lastBusyBitsPerSecond);
    const QString during = direction == LoadDirection::upload ? tr("during an upload at %1").arg(rate)
                                                              : tr("during a download at %1").arg(rate);
    return tr("%1, %2").arg(during, agoText(*load.lastBusy, context));
}

QString spokenDirection(const DirectionLoad& load, LoadDirection direction, const VerdictTexts::Context& context) {
    if (!load.grade) return tr("%1: not measured yet").arg(directionName(direction));
    QString text = tr("%1: grade %2, %3").arg(directionName(direction), gradeText(*load.grade), gradeMeaning(*load.grade));
    if (load.internet) {
        text += tr(", %1 added").arg(VerdictTexts::spokenMilliseconds(std::max(load.internet->added, 0.0), context));
    }
    text += QStringLiteral(", ") + queueText(load.queue).toLower();
    const QString seen = lastSeenText(load, direction, context);
    if (!seen.isEmpty()) text += QStringLiteral(", ") + seen;
    return text;
}

bool hasGrade(const LoadSnapshot& load) { return load.upload.grade || load.download.grade; }

QString directionText(LoadDirection direction, const DirectionLoad& load, const VerdictTexts::Context& context) {
    const QString name = direction == LoadDirection::upload ? tr("upload") : tr("download");
    const auto& role = load.internet ? load.internet : load.router;
    if (!load.grade || !role) return tr("%1 not graded yet").arg(name);
    QString text = tr("%1 %2 +%3 (%4 idle, %5 busy)")
                       .arg(name, gradeText(*load.grade), VerdictTexts::millisecondsText(std::max(0.0, role->added)),
                            VerdictTexts::millisecondsText(role->idleMedian),
                            VerdictTexts::millisecondsText(role->busyMedian));
    if (load.queue != QueuePlace::unknown) text += QStringLiteral(", ") + queueText(load.queue).toLower();
    if (load.lastBusy) text += tr(", busy at %1").arg(VerdictTexts::timeText(*load.lastBusy, context));
    return text;
}

QString capacityText(const LoadSnapshot& load) {
    if (load.now == LoadClass::idle) return QString();
    if (load.capacity.uploadBitsPerSecond <= 0 && load.capacity.downloadBitsPerSecond <= 0) return QString();
    // Only history's seven days make a capacity; a session's peak is what it is.
    const auto label = [](double remembered) { return remembered > 0 ? tr("capacity") : tr("highest seen"); };
    const QString up = label(load.remembered.uploadBitsPerSecond);
    const QString down = label(load.remembered.downloadBitsPerSecond);
    return tr("%1 %2 / %3").arg(up, rateText(load.capacity.uploadBitsPerSecond),
                                (down == up ? QString() : down + QLatin1Char(' ')) +
                                    rateText(load.capacity.downloadBitsPerSecond));
}

QString rowText(const LoadSnapshot& load, const VerdictTexts::Context& context) {
    QString row = tr("%1 up %2 down %3")
                      .arg(QString::fromStdString(load.interfaceName), rateText(load.uploadBitsPerSecond),
                           rateText(load.downloadBitsPerSecond));
    if (const QString capacity = capacityText(load); !capacity.isEmpty()) row += tr(" (%1)").arg(capacity);
    return row + tr("; %1; %2").arg(directionText(LoadDirection::upload, load.upload, context),
                                    directionText(LoadDirection::download, load.download, context));
}

}  // namespace nerivane::LoadTexts
