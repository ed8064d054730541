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
    int failures = 0;
    for (const auto& entry : lookups.servers) failures += entry.failuresLastMinute;
    const QString time = VerdictTexts::millisecondsText(
        named->medianSeconds ? std::optional<double>(*named->medianSeconds * 1000) : std::nullopt);
    const QString failed = failures == 0   ? tr("no failures")
                           : failures == 1 ? tr("1 failure")
                                           : tr("%1 failures").arg(failures);
    return tr("%1 \u00b7 %2 \u00b7 %3").arg(server, time, failed);
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
