#include "nerivane/core/LookupTexts.h"

#include <QCoreApplication>

#include "nerivane/core/VerdictTexts.h"

namespace nerivane::LookupTexts {
namespace {

QString tr(const char* text) { return QCoreApplication::translate("LookupTexts", text); }

}  // namespace

QString rowText(const LookupSnapshot& lookups) {
    const auto named = lookups.namedServer();
    if (!named) return tr("no DNS server known");
    QString server = QString::fromStdString(named->server.address);
    if (lookups.servers.size() > 1) server += tr(" +%1").arg(lookups.servers.size() - 1);
    // A server that failed its latest probe gets no median beside it: that
    // was how fast it answered before, not now; how long ago it did says more.
    if (named->latestFailure) return tr("%1 \u00b7 %2").arg(server, lastAnswerText(named->lastAnswerAge));
    const QString time = VerdictTexts::millisecondsText(
        named->medianSeconds ? std::optional<double>(*named->medianSeconds * 1000) : std::nullopt);
    // A mistyped probe name is the one thing to fix then. The row does not
    // wrap: a long name is shortened (the settings show it whole).
    if (!lookups.missingName.empty()) {
        QString name = QString::fromStdString(lookups.missingName);
        if (name.size() > 20) name = name.left(19) + QChar(0x2026);
        return tr("%1 \u00b7 %2 \u00b7 %3 does not exist").arg(server, time, name);
    }
    int failures = 0;
    for (const auto& entry : lookups.servers) failures += entry.failuresLastMinute;
    const QString failed = failures == 0   ? tr("no failures")
                           : failures == 1 ? tr("1 failure")
                                           : tr("%1 failures").arg(failures);
    return tr("%1 \u00b7 %2 \u00b7 %3").arg(server, time, failed);
}

QString lastAnswerText(std::optional<double> age) {
    if (!age) return tr("no answer yet");
    const auto seconds = static_cast<long>(*age);
    if (seconds < 60) return tr("last answer %1 s ago").arg(seconds);
    if (seconds < 3600) return tr("last answer %1 min ago").arg(seconds / 60);
    return tr("last answer %1 h ago").arg(seconds / 3600);
}

QString healthText(LookupSnapshot::Health health) {
    switch (health) {
    case LookupSnapshot::Health::unknown: return tr("Checking");
    case LookupSnapshot::Health::ok: return tr("Fine");
    case LookupSnapshot::Health::slow: return tr("Slow");
    case LookupSnapshot::Health::failing: return tr("Failing");
    }
    return QString();
}

}  // namespace nerivane::LookupTexts
